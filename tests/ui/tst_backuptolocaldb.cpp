// Backing a phone's messages up into a local database through the real
// window: a virtual iPhone arrives through the MobileDevice stand-in, the
// backup commands ask for the database by name, write through the worker and
// show the database's node. Every window is answered by its class.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/progressform.h"
#include "store/localdbselform.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/modalresponder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "tests/support/windownodes.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"

#include "ui_localdbselform.h"
#include "ui_mainwindow.h"
#include "ui_progressform.h"

#include <QAction>
#include <QComboBox>
#include <memory>

namespace tst_backuptolocaldb {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

const int kBigCount = 4000;

Node *phoneNode(MainWindow &window, const QString &udid)
{
    for (Node *child : window.treeModel()->rootDevice->children) {
        if (child->type == ITEM_IOS_DEVICE && static_cast<_IOSDeviceItemNode *>(child)->device.uniqueDeviceId == udid)
            return child;
    }
    return nullptr;
}

void select(MainWindow &window, Node *node)
{
    window.widgets()->treeViewDS->setCurrentIndex(window.treeModel()->indexOf(node));
    QCoreApplication::processEvents();
}

QString dbFile(const QString &name)
{
    return messageDbPath(localDatabasesDir().absoluteFilePath(name));
}

int messageCount(const QString &name)
{
    if (!QFile::exists(dbFile(name)))
        return 0;
    return queryValue(dbFile(name), "select count(*) from message").toInt();
}

// Answers the name dialog: records the name it proposes, then confirms name
// (a null name presses Close).
ModalResponder::Handler answerName(const QString &name, QString *proposed)
{
    return [name, proposed](QWidget *w) {
        auto *form = qobject_cast<LocalDbSelForm *>(w);
        QVERIFY2(form, qPrintable(w->metaObject()->className()));
        if (proposed)
            *proposed = form->widgets()->cbLocalDbNames->currentText();
        if (name.isNull()) {
            QTest::mousePress(form->widgets()->btnClose, Qt::LeftButton);
            return;
        }
        form->widgets()->cbLocalDbNames->setEditText(name);
        QTest::mousePress(form->widgets()->btnOK, Qt::LeftButton);
    };
}

} // namespace

class TestBackupToLocalDb : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    QTemporaryDir scratch;
    FakeAdb adb;
    IdsTranslator translator;
    // One window for all cases: the device subscription is made once a process.
    std::unique_ptr<MainWindow> shared;
    QString phoneUdid;
    QString phoneName;
    QString bigFolder;
    QString bigUdid;

    // Brings a phone in through the stand-in and waits until its load ended.
    void arrive(const VirtualIPhoneSetup &setup, QString *folder)
    {
        const QString udid = setup.values["UniqueDeviceID"].toString();
        ModalResponder responder; // Ok to the passcode note
        *folder = writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNode(*shared, udid), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid), 20000);
        QCoreApplication::processEvents();
    }

    // The phone of many later-phone messages (dates in nanoseconds, every
    // other text only in attributedBody, groups and e-mail handles).
    void ensureBigPhone()
    {
        if (!bigFolder.isEmpty())
            return;
        VirtualIPhoneSetup setup = typicalIPhone("bigphone");
        setup.values["UniqueDeviceID"] = QStringLiteral("00008030-001A35E22E388099");
        setup.values["DeviceName"] = QString::fromUtf8("Big \xF0\x9F\x93\xB1");
        setup.messages = generateMsgContent(40, kBigCount, 25, 0);
        bigUdid = setup.values["UniqueDeviceID"].toString();
        arrive(setup, &bigFolder);
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator, phones.path(), QP_COMMON_FILES);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // A phone of the data folder without a single message.
        writeWindowDb(appDataDir().absolutePath(), "virtual_ios", "Empty Phone", MsgFixtureContent());
        shared = std::make_unique<MainWindow>();

        VirtualIPhoneSetup setup = typicalIPhone("phone1");
        setup.messages = typicalConversations();
        phoneUdid = setup.values["UniqueDeviceID"].toString();
        phoneName = setup.values["DeviceName"].toString();
        QString folder;
        arrive(setup, &folder);
        QVERIFY(phoneNode(*shared, phoneUdid));
    }
    void cleanupTestCase()
    {
        shared.reset();
        for (const QString &name : QDir(phones.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeVirtualIPhone(phones.filePath(name));
    }

    void theWholePhoneGoesIntoANewDatabaseOnce()
    {
        MainWindow &window = *shared;
        Node *phone = phoneNode(window, phoneUdid);
        select(window, phone);
        QVERIFY(window.operationActions().first()->isEnabled());
        QCOMPARE(window.operationActions().first()->text(), "Backup SMS to Local Database");

        const QString name = phoneName + "_Backup";
        QString proposed;
        ModalResponder responder;
        responder.on("LocalDbSelForm", answerName(name, &proposed));
        window.operationActions().first()->trigger();

        QCOMPARE(proposed, name);
        QCOMPARE(responder.boxTexts(), QStringList{"Successfully Backup 8 SMS to local Database."});
        Node *node = childNamed(window.treeModel()->rootLocalDB, name);
        QVERIFY(node);
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(node));
        QTRY_COMPARE(window.messageModel()->rowCount(), int(typicalConversations().messages.size()));

        // What the later phone kept in nanoseconds and attributedBody arrives
        // as seconds and text.
        QCOMPARE(messageCount(name), 8);
        QCOMPARE(queryValue(dbFile(name), "select count(*) from message where text is null or text = ''").toInt(), 0);
        QCOMPARE(queryValue(dbFile(name), "select min(date) from message").toLongLong(), 600000000LL);
        QCOMPARE(queryValue(dbFile(name), "select max(date) from message").toLongLong(), 600000000LL + 7 * 3600);
        QCOMPARE(queryValue(dbFile(name), "select count(*) from message where text like '%\U0001F370%'").toInt(), 1);
        QCOMPARE(queryValue(dbFile(name), "select count(*) from handle where id = 'bernd.mueller@example.org'").toInt(),
                 1);
        QCOMPARE(queryValue(dbFile(name), "select display_name from chat where style = 43").toString(),
                 QString::fromUtf8("Bergtour \U0001F3D4"));

        const QImage shot = renderWidget(&window, QSize(1000, 700));
        QVERIFY(shot.save(scratch.filePath("backup.png")));
        QVERIFY(notBlank(shot, shot.rect()));
        // The tree's rows and the list's rows are drawn.
        QVERIFY(notBlank(shot, window.widgets()->treeViewDS->geometry()));

        // The same messages again: the database keeps one of each.
        select(window, phoneNode(window, phoneUdid));
        ModalResponder again;
        again.on("LocalDbSelForm", answerName(name, nullptr));
        window.operationActions().first()->trigger();
        QCOMPARE(again.boxTexts().size(), 1);
        QCOMPARE(messageCount(name), 8);
        QCOMPARE(localDbNames(window).count(name), 1);
        node = childNamed(window.treeModel()->rootLocalDB, name);
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(node));
        QTRY_COMPARE(window.messageModel()->rowCount(), 8);
    }

    // A conversation proposes its phone's name; the whole phone then goes
    // into the same database under a name in other letter case.
    void otherLetterCaseMergesIntoTheDatabase()
    {
        MainWindow &window = *shared;
        Node *phone = phoneNode(window, phoneUdid);
        select(window, phone->children.first());
        const int shown = window.messageModel()->rowCount();
        QVERIFY2(shown > 0 && shown < 8, qPrintable(QString::number(shown)));

        QString proposed;
        ModalResponder responder;
        responder.on("LocalDbSelForm", answerName("Family Archive", &proposed));
        window.miBackupChat();
        QCOMPARE(proposed, phoneName + "_Backup");
        QCOMPARE(messageCount("Family Archive"), shown);
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(),
                     window.treeModel()->indexOf(childNamed(window.treeModel()->rootLocalDB, "Family Archive")));
        const int databases = int(localDbNames(window).size());

        select(window, phoneNode(window, phoneUdid));
        ModalResponder merge;
        merge.on("LocalDbSelForm", answerName("FAMILY archive", nullptr));
        window.miBackupAll();
        QCOMPARE(localDbNames(window).size(), databases);
        QVERIFY(!localDbNames(window).contains("FAMILY archive"));
        QVERIFY(!QFileInfo::exists(localDatabasesDir().absoluteFilePath("FAMILY archive")));
        QCOMPARE(messageCount("Family Archive"), 8);
        Node *node = childNamed(window.treeModel()->rootLocalDB, "Family Archive");
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
    }

    void aCancelledNameChangesNothing()
    {
        MainWindow &window = *shared;
        select(window, phoneNode(window, phoneUdid));
        const QStringList before = localDbNames(window);
        const QStringList folders = localDatabasesDir().entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        ModalResponder responder;
        responder.on("LocalDbSelForm", answerName(QString(), nullptr));
        window.miBackupAll();
        QCOMPARE(responder.seen(), QStringList{"LocalDbSelForm"});
        QCOMPARE(localDbNames(window), before);
        QCOMPARE(localDatabasesDir().entryList(QDir::Dirs | QDir::NoDotAndDotDot), folders);
    }

    void allOnAPhoneWithoutMessagesAsksNothing()
    {
        MainWindow &window = *shared;
        Node *empty = childNamed(window.treeModel()->rootDevice, "Empty Phone");
        QVERIFY(empty);
        select(window, empty);
        const QStringList before = localDbNames(window);
        ModalResponder responder;
        window.miBackupAll();
        QCoreApplication::processEvents();
        QCOMPARE(responder.seen(), QStringList());
        QCOMPARE(localDbNames(window), before);
    }

    void noSelectedRowStillAsksAndWritesNothing()
    {
        MainWindow &window = *shared;
        select(window, phoneNode(window, phoneUdid));
        QTRY_COMPARE(window.messageModel()->rowCount(), 8);
        window.widgets()->treeViewSMS->selectionModel()->clearSelection();
        QString proposed;
        ModalResponder responder;
        responder.on("LocalDbSelForm", answerName("Nothing Chosen", &proposed));
        window.miBackupSel();
        QCOMPARE(proposed, phoneName + "_Backup");
        QCOMPARE(responder.boxTexts(), QStringList{"Successfully Backup 0 SMS to local Database."});
        Node *node = childNamed(window.treeModel()->rootLocalDB, "Nothing Chosen");
        QVERIFY(node);
        QVERIFY(node->children.isEmpty());
        QCOMPARE(messageCount("Nothing Chosen"), 0);
    }

    void aCancelledRunLeavesAnEmptyNode()
    {
        ensureBigPhone();
        MainWindow &window = *shared;
        select(window, phoneNode(window, bigUdid));
        QString progress;
        ModalResponder responder;
        responder.on("LocalDbSelForm", answerName("Half Way", nullptr));
        responder.on("ProgressForm", [&progress](QWidget *w) {
            auto *form = qobject_cast<ProgressForm *>(w);
            QVERIFY(form);
            const QRegularExpression started("^SMS: \\d+/");
            QTRY_VERIFY_WITH_TIMEOUT(started.match(form->widgets()->lbProgress->text()).hasMatch(), 20000);
            progress = form->widgets()->lbProgress->text();
            QTest::mousePress(form->widgets()->btnCancel, Qt::LeftButton);
        });
        window.miBackupAll();
        QVERIFY2(progress != QString("SMS: %1/%1").arg(kBigCount), qPrintable(progress));
        QCOMPARE(responder.boxTexts(), QStringList());
        Node *node = childNamed(window.treeModel()->rootLocalDB, "Half Way");
        QVERIFY(node);
        QVERIFY(node->children.isEmpty());
        QCOMPARE(messageCount("Half Way"), 0);
        // The phone is untouched and still selected.
        QCOMPARE(window.widgets()->treeViewDS->currentIndex(),
                 window.treeModel()->indexOf(phoneNode(window, bigUdid)));
    }

    // The phone leaves while the name is asked for: its node and store go
    // from the tree, yet every record the backup was handed is written.
    void aPhoneDetachedDuringTheNameLosesNothing()
    {
        ensureBigPhone();
        MainWindow &window = *shared;
        select(window, phoneNode(window, bigUdid));
        const int sessions = int(phoneNode(window, bigUdid)->children.size());
        const QString udid = bigUdid;
        MainWindow *w = &window;
        bool gone = false;
        ModalResponder responder;
        responder.on("LocalDbSelForm", [this, w, udid, &gone](QWidget *dialog) {
            removeVirtualIPhone(bigFolder);
            QTRY_VERIFY_WITH_TIMEOUT(!phoneNode(*w, udid), 20000);
            gone = true;
            answerName("Left Behind", nullptr)(dialog);
        });
        window.miBackupAll();
        bigFolder.clear();
        QVERIFY(gone);
        QCOMPARE(responder.boxTexts(),
                 QStringList{QString("Successfully Backup %1 SMS to local Database.").arg(kBigCount)});
        QCOMPARE(messageCount("Left Behind"), kBigCount);
        QCOMPARE(queryValue(dbFile("Left Behind"), "select count(*) from message where text is null or text = ''")
                     .toInt(),
                 0);
        Node *node = childNamed(window.treeModel()->rootLocalDB, "Left Behind");
        QVERIFY(node);
        QCOMPARE(node->children.size(), sessions);
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(node));
        QTRY_COMPARE(window.messageModel()->rowCount(), kBigCount);
        (void)window.grab();
    }
};

QP_TEST_MAIN(TestBackupToLocalDb)

} // namespace tst_backuptolocaldb

#include "tst_backuptolocaldb.moc"
