// The main tree: roots, source nodes and conversation rows with their texts,
// icons, red recovered conversations and row heights; conversation reloads;
// what a removed source node frees; Qt's model contract throughout.
#include "app/idstranslator.h"
#include "store/messagerecycledb.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/testmain.h"
#include "ui/itemmodelmain.h"

#include <QAbstractItemModelTester>
#include <QBuffer>

namespace tst_itemmodelmain {

using testsupport::MsgStoreBuilder;

namespace {

// A message database that only says when it is gone.
class FakeMessageDb : public AbsMessageDb
{
public:
    void open() override {}
    void chats(QSharedPointer<_MsgStore> &) override {}
    void messages(QSharedPointer<_MsgStore> &, qint64) override {}
};

QByteArray photoBytes(QColor colour, const char *format)
{
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage icon(const char *path)
{
    return QImage(QString::fromLatin1(path)).scaledToWidth(18, Qt::FastTransformation);
}

// Moves a store's records into a source node's store: the node makes its own.
void moveInto(_AbsDBItemNode *node, MsgStoreBuilder &b)
{
    std::swap(node->store->chats, b.store->chats);
    std::swap(node->store->handles, b.store->handles);
    std::swap(node->store->messages, b.store->messages);
}

// One conversation per chat: each chat gets its own identifier and date.
_MsgChat *conversation(MsgStoreBuilder &b, const QString &name, const QList<_MsgHandle *> &members, int last,
                       qint64 rowid = 0)
{
    _MsgChat *c = b.chat(members, QStringLiteral("SMS"), rowid);
    c->chat_identifier = QStringLiteral("id-") + name;
    c->display_name = name;
    c->_last = last;
    return c;
}

_MsgHandle *person(MsgStoreBuilder &b, const QString &id, const QString &name, const QByteArray &photo = {})
{
    _MsgHandle *h = b.handle(id);
    h->_ct_name = name;
    h->_photo = photo;
    return h;
}

QModelIndex childNamed(const ItemModelMain &model, AbsTreeItemModel::_ItemNode *parent, const QString &text)
{
    for (AbsTreeItemModel::_ItemNode *child : parent->children)
        if (child->text == text)
            return model.indexOf(child);
    return QModelIndex();
}

} // namespace

class TestItemModelMain : public QObject
{
    Q_OBJECT

    IdsTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }

    void aNewModelHasTheTwoRoots()
    {
        ItemModelMain model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.columnCount(), 1);
        QCOMPARE(model.index(0, 0).data().toString(), QString("Devices"));
        QCOMPARE(model.index(1, 0).data().toString(), QString("Local Databases"));
        QCOMPARE(model.index(0, 0).internalPointer(), static_cast<void *>(model.rootDevice));
        QCOMPARE(model.index(1, 0).internalPointer(), static_cast<void *>(model.rootLocalDB));
        QCOMPARE(model.rowCount(model.index(0, 0)), 0);
        QCOMPARE(model.rowCount(model.index(1, 0)), 0);
        QVERIFY(!model.headerData(0, Qt::Horizontal).isValid());
    }

    void roles_data()
    {
        QTest::addColumn<QString>("row");        // text of the row, under its source
        QTest::addColumn<QString>("icon");       // resource, "photo", or "" for none
        QTest::addColumn<QColor>("photoColour"); // for "photo"
        QTest::addColumn<bool>("red");
        const QColor none;
        QTest::newRow("devices root") << "Devices" << ":res/devices.png" << none << false;
        QTest::newRow("databases root") << "Local Databases" << ":res/databases.png" << none << false;
        QTest::newRow("iPhone") << "Anna's iPhone" << ":res/iphone.png" << none << false;
        QTest::newRow("Android") << "android" << ":res/android.png" << none << false;
        QTest::newRow("local database") << "Family" << ":res/database.png" << none << false;
        QTest::newRow("contact without photo") << "Bea" << ":res/contact.png" << none << false;
        QTest::newRow("no member") << "Nobody" << ":res/contact.png" << none << false;
        QTest::newRow("JPEG photo") << "Carl" << "photo" << QColor(220, 30, 30) << false;
        QTest::newRow("PNG photo") << "Dora" << "photo" << QColor(30, 30, 220) << false;
        QTest::newRow("garbage photo bytes") << "Emil" << ":res/contact.png" << none << false;
        QTest::newRow("group with a photo") << "Book club" << ":res/group.png" << none << false;
        QTest::newRow("recovered: the base") << "Lost 1" << ":res/contact.png" << none << true;
        QTest::newRow("recovered: below the base") << "Lost 2" << ":res/contact.png" << none << true;
        QTest::newRow("one above the base") << "Kept 1" << ":res/contact.png" << none << false;
        QTest::newRow("positive rowid truncating to the base") << "Kept 2" << ":res/contact.png" << none << false;
        QTest::newRow("emoji name") << "Oma \U0001F600" << ":res/contact.png" << none << false;
    }

    void roles()
    {
        QFETCH(QString, row);
        QFETCH(QString, icon);
        QFETCH(QColor, photoColour);
        QFETCH(bool, red);

        ItemModelMain model;
        IOSDevice phone;
        phone.deviceName = "Anna's iPhone";
        model.addIOSDevice(QSharedPointer<AbsMessageDb>(new FakeMessageDb), phone);
        AndroidDevice android;
        model.addAndroidDevice(QSharedPointer<AbsMessageDb>(new FakeMessageDb), android);
        _LocalDBItemNode *family = model.addLocalDatabase(QSharedPointer<AbsMessageDb>(new FakeMessageDb), "Family");

        MsgStoreBuilder b;
        int date = 500000000;
        conversation(b, "Bea", {person(b, "+4915100000001", "Bea")}, ++date);
        conversation(b, "Nobody", {}, ++date);
        conversation(b, "Carl", {person(b, "+4915100000002", "Carl", photoBytes(QColor(220, 30, 30), "JPEG"))}, ++date);
        conversation(b, "Dora", {person(b, "dora@example.org", "Dora", photoBytes(QColor(30, 30, 220), "PNG"))}, ++date);
        conversation(b, "Emil", {person(b, "+4915100000003", "Emil", QByteArray("\xff\xd8 not really", 14))}, ++date);
        conversation(b, "Book club",
                     {person(b, "+4915100000004", "Fritz", photoBytes(Qt::green, "JPEG")),
                      person(b, "+4915100000005", "Gus")},
                     ++date);
        conversation(b, "Lost 1", {person(b, "+4915100000006", "")}, ++date, RECYCLED_CHAT_ID_BASE);
        conversation(b, "Lost 2", {person(b, "+4915100000007", "")}, ++date, RECYCLED_CHAT_ID_BASE - 1000000);
        conversation(b, "Kept 1", {person(b, "+4915100000008", "")}, ++date, RECYCLED_CHAT_ID_BASE + 1);
        // Its low 32 bits read RECYCLED_CHAT_ID_BASE.
        const qint64 truncating = (qint64(1) << 32) + RECYCLED_CHAT_ID_BASE;
        QCOMPARE(qint32(truncating), qint32(RECYCLED_CHAT_ID_BASE));
        conversation(b, "Kept 2", {person(b, "+4915100000009", "")}, ++date, truncating);
        conversation(b, "Oma \U0001F600", {person(b, "oma@example.org", "")}, ++date);
        moveInto(family, b);
        model.loadChatSessions(family);

        QModelIndex at;
        for (AbsTreeItemModel::_ItemNode *node : model.allNodes())
            if (node->text == row || (node->type == ITEM_ANDROID_DEVICE && row == "android"))
                at = model.indexOf(node);
        QVERIFY(at.isValid());
        if (row != "android")
            QCOMPARE(at.data(Qt::DisplayRole).toString(), row);
        QCOMPARE(at.data(Qt::ToolTipRole).toString(), at.data(Qt::DisplayRole).toString());
        QCOMPARE(at.data(Qt::SizeHintRole).toSize(), QSize(0, 25));
        QCOMPARE(at.data(Qt::ForegroundRole).isValid(), red);
        if (red)
            QCOMPARE(at.data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0, 255));
        QVERIFY(!at.data(Qt::EditRole).isValid());

        const QVariant decoration = at.data(Qt::DecorationRole);
        QCOMPARE(decoration.typeId(), int(QMetaType::QImage));
        const QImage image = decoration.value<QImage>();
        if (icon == "photo") {
            QCOMPARE(image.height(), 18);
            QCOMPARE(image.width(), 24);
            const QColor got = image.pixelColor(image.width() / 2, image.height() / 2);
            QVERIFY2(qAbs(got.red() - photoColour.red()) < 40 && qAbs(got.blue() - photoColour.blue()) < 40,
                     qPrintable(got.name()));
        } else {
            QCOMPARE(image, tst_itemmodelmain::icon(icon.toLatin1().constData()));
            QCOMPARE(image.width(), 18);
        }
    }

    void anEmptySessionHasNoTextAndNoIcon()
    {
        ItemModelMain model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        _LocalDBItemNode *db = model.addLocalDatabase(QSharedPointer<AbsMessageDb>(new FakeMessageDb), "db");
        auto *empty = new _ChatSessionItemNode(db, _ChatSession());
        db->children.append(empty);
        const QModelIndex at = model.indexOf(empty);
        QCOMPARE(at.data().toString(), QString());
        QVERIFY(!at.data(Qt::DecorationRole).isValid());
        QVERIFY(!at.data(Qt::ForegroundRole).isValid());
    }

    void loadChatSessionsReplacesTheRowsNewestFirst()
    {
        ItemModelMain model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        _LocalDBItemNode *db = model.addLocalDatabase(QSharedPointer<AbsMessageDb>(new FakeMessageDb), "db");
        MsgStoreBuilder b;
        conversation(b, "middle", {person(b, "+491", "")}, 300);
        conversation(b, "oldest", {person(b, "+492", "")}, 100);
        conversation(b, "newest", {person(b, "+493", "")}, 900);
        conversation(b, "group", {person(b, "+494", ""), person(b, "+495", "")}, 500);
        moveInto(db, b);

        QSignalSpy layouts(&model, &QAbstractItemModel::layoutChanged);
        QSignalSpy aboutToLayout(&model, &QAbstractItemModel::layoutAboutToBeChanged);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.loadChatSessions(db);
        QCOMPARE(layouts.count(), 1);
        QCOMPARE(aboutToLayout.count(), 1);
        QCOMPARE(removed.count(), 0);

        // Reload after a new conversation arrived: the old rows go first.
        b.store = db->store;
        conversation(b, "brand new", {person(b, "+496", "")}, 1000);
        model.loadChatSessions(db);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(1).toInt(), 0);
        QCOMPARE(removed.at(0).at(2).toInt(), 3);
        QCOMPARE(layouts.count(), 2);
        QStringList texts;
        const QModelIndex parent = model.indexOf(db);
        for (int r = 0; r < model.rowCount(parent); ++r)
            texts << model.index(r, 0, parent).data().toString();
        QCOMPARE(texts, (QStringList{"brand new", "newest", "group", "middle", "oldest"}));
        QCOMPARE(model.parent(model.index(4, 0, parent)), parent);
    }

    void addsReloadsAndRemovalsKeepTheContract()
    {
        ItemModelMain model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        IOSDevice phone;
        phone.deviceName = "iPhone";
        auto *ios = model.addIOSDevice(QSharedPointer<AbsMessageDb>(new FakeMessageDb), phone);
        auto *android = model.addAndroidDevice(QSharedPointer<AbsMessageDb>(new FakeMessageDb), AndroidDevice());
        auto *local = model.addLocalDatabase(QSharedPointer<AbsMessageDb>(new FakeMessageDb), "local");
        QCOMPARE(model.rootDevice->countChildren(ITEM_IOS_DEVICE), 1);
        QCOMPARE(model.rootDevice->countChildren(ITEM_ANDROID_DEVICE), 1);
        for (_AbsDBItemNode *node : {static_cast<_AbsDBItemNode *>(ios), static_cast<_AbsDBItemNode *>(android),
                                     static_cast<_AbsDBItemNode *>(local)}) {
            b.store = node->store;
            for (int i = 0; i < 3; ++i)
                conversation(b, QStringLiteral("%1 %2").arg(node->text).arg(i), {person(b, "+49" + QString::number(i), "")},
                             100 + i);
            model.loadChatSessions(node);
            model.loadChatSessions(node);
        }
        QCOMPARE(model.rowCount(model.indexOf(ios)), 3);
        model.removeNode(ios);
        QCOMPARE(model.indexOf(android).row(), 0);
        QVERIFY(childNamed(model, local, "local 2").isValid());
        model.removeChildren(local);
        model.removeNode(local);
        model.removeNode(android);
        QCOMPARE(model.rowCount(model.indexOf(model.rootDevice)), 0);
        QCOMPARE(model.rowCount(model.indexOf(model.rootLocalDB)), 0);
    }

    void removingASourceFreesWhatNothingElseHolds_data()
    {
        QTest::addColumn<bool>("holdStore");
        QTest::addColumn<bool>("holdDb");
        QTest::newRow("nothing held") << false << false;
        QTest::newRow("a worker holds the store") << true << false;
        QTest::newRow("a worker holds the database") << false << true;
    }

    void removingASourceFreesWhatNothingElseHolds()
    {
        QFETCH(bool, holdStore);
        QFETCH(bool, holdDb);
        ItemModelMain model;
        QSharedPointer<AbsMessageDb> db(new FakeMessageDb);
        auto *node = model.addLocalDatabase(db, "db");
        MsgStoreBuilder b;
        b.store = node->store;
        conversation(b, "chat", {person(b, "+49", "")}, 1);
        model.loadChatSessions(node);
        QWeakPointer<AbsMessageDb> dbSeen = db;
        QWeakPointer<_MsgStore> storeSeen = node->store;
        QSharedPointer<_MsgStore> storeHeld = holdStore ? node->store : nullptr;
        b.store.reset();
        if (!holdDb)
            db.reset();
        model.removeNode(node);
        QCOMPARE(storeSeen.isNull(), !holdStore);
        QCOMPARE(dbSeen.isNull(), !holdDb);
        if (holdStore)
            QCOMPARE(storeHeld->chats.size(), 1);
    }

private:
    MsgStoreBuilder b;
};

QP_TEST_MAIN(TestItemModelMain)

} // namespace tst_itemmodelmain

#include "tst_itemmodelmain.moc"
