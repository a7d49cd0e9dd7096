// Screenshots of the main tree and the message list as a person sees them,
// rendered offscreen at fixed sizes and checked region by region: the icon of
// each row, the tint of sent rows, red recovered rows.
#include "app/idstranslator.h"
#include "store/messagerecycledb.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mytreeview.h"

#include <QBuffer>
#include <QHeaderView>

namespace tst_viewshots {

using testsupport::countPixels;
using testsupport::MsgStoreBuilder;
using testsupport::near;

namespace {

class FakeMessageDb : public AbsMessageDb
{
public:
    void open() override {}
    void chats(QSharedPointer<_MsgStore> &) override {}
    void messages(QSharedPointer<_MsgStore> &, qint64) override {}
};

QByteArray jpeg(QColor colour)
{
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

bool isRed(QColor p)
{
    return p.red() > 150 && p.green() < 110 && p.blue() < 110;
}

// The decoration area of a row: left of its text, the height of the row.
QRect iconArea(QTreeView &view, const QModelIndex &index)
{
    const QRect r = view.visualRect(index);
    return QRect(view.viewport()->mapTo(&view, r.topLeft()), QSize(22, r.height()));
}

QRect textArea(QTreeView &view, const QModelIndex &index)
{
    const QRect r = view.visualRect(index);
    return QRect(view.viewport()->mapTo(&view, r.topLeft() + QPoint(24, 0)), QSize(r.width() - 24, r.height()));
}

} // namespace

class TestViewShots : public QObject
{
    Q_OBJECT

    IdsTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }

    void tree()
    {
        ItemModelMain model;
        IOSDevice phone;
        phone.deviceName = "Anna's iPhone";
        auto *ios = model.addIOSDevice(QSharedPointer<AbsMessageDb>(new FakeMessageDb), phone);
        auto *family = model.addLocalDatabase(QSharedPointer<AbsMessageDb>(new FakeMessageDb), "Family");
        MsgStoreBuilder b;
        b.store = family->store;
        _MsgHandle *photo = b.handle("+4915100000001");
        photo->_ct_name = "Carla";
        photo->_photo = jpeg(QColor(230, 0, 230));
        _MsgHandle *plain = b.handle("bert@example.org", "iMessage");
        _MsgHandle *other = b.handle("+4915100000002");
        _MsgChat *withPhoto = b.chat({photo});
        withPhoto->_last = 400;
        _MsgChat *group = b.chat({plain, other}, "iMessage");
        group->display_name = "Book club \U0001F4DA";
        group->_last = 300;
        _MsgChat *contact = b.chat({plain}, "iMessage");
        contact->_last = 200;
        _MsgChat *lost = b.chat({other}, "SMS", RECYCLED_CHAT_ID_BASE - 3);
        lost->chat_identifier = "recovered-1";
        lost->display_name = "Recovered chat";
        lost->_last = 100;
        b.store.reset();
        model.loadChatSessions(family);
        model.loadChatSessions(ios);

        MyTreeView view;
        view.setModel(&model);
        view.setHeaderHidden(true);
        view.expandAll();
        const QImage shot = testsupport::renderWidget(&view, QSize(320, 260));
        testsupport::saveShot(shot, "main_tree");
        QCOMPARE(shot.size(), QSize(320, 260));
        QVERIFY(testsupport::notBlank(shot, shot.rect()));

        const QModelIndex fam = model.indexOf(family);
        auto row = [&](int r) { return model.index(r, 0, fam); };
        QCOMPARE(row(0).data().toString(), QString("Carla"));
        QCOMPARE(row(3).data().toString(), QString("Recovered chat"));
        // Every row has its icon drawn, left of its text.
        for (const QModelIndex &at : {model.index(0, 0), model.indexOf(ios), model.index(1, 0), fam, row(0), row(1),
                                      row(2), row(3)}) {
            QVERIFY2(view.visualRect(at).height() == 25, qPrintable(at.data().toString()));
            QVERIFY2(testsupport::notBlank(shot, iconArea(view, at)), qPrintable(at.data().toString()));
        }
        // The photo in its row only; the group and contact icons as drawn.
        auto magenta = [](QColor p) { return near(p, QColor(230, 0, 230), 40); };
        QVERIFY(countPixels(shot, iconArea(view, row(0)), magenta) > 100);
        for (int r = 1; r < 4; ++r)
            QCOMPARE(countPixels(shot, iconArea(view, row(r)), magenta), 0);
        auto groupBlue = [](QColor p) { return near(p, QColor(50, 90, 160), 30); };
        QVERIFY(countPixels(shot, iconArea(view, row(1)), groupBlue) > 20);
        auto contactGrey = [](QColor p) { return near(p, QColor(110, 118, 130), 20); };
        QVERIFY(countPixels(shot, iconArea(view, row(2)), contactGrey) > 20);
        auto orange = [](QColor p) { return p.red() > 180 && p.green() > 90 && p.green() < 200 && p.blue() < 100; };
        QVERIFY(countPixels(shot, iconArea(view, fam), orange) > 20);
        // Red text for the recovered conversation alone.
        QVERIFY(countPixels(shot, textArea(view, row(3)), isRed) > 20);
        for (int r = 0; r < 3; ++r)
            QCOMPARE(countPixels(shot, textArea(view, row(r)), isRed), 0);
    }

    void messageList()
    {
        MsgStoreBuilder b;
        _MsgHandle *tom = b.handle("+4915112345678");
        tom->_ct_name = "Tom";
        _MsgChat *chat = b.chat({tom});
        _MsgMessage *sent = b.message(chat, nullptr, "See you at 8 \U0001F37B", 600000000);
        _MsgMessage *received = b.message(chat, tom, "Fine, bring the map", 600000060);
        received->service = "iMessage";
        _MsgMessage *recovered = b.message(chat, tom, "deleted but back", 600000120);
        recovered->isRecovered = true;

        ItemModelSms model;
        model.setMessages({sent, received, recovered});
        MyTreeView view;
        view.setRootIsDecorated(false);
        view.setModel(&model);
        view.header()->resizeSection(0, 180);
        view.header()->resizeSection(1, 50);
        view.header()->resizeSection(2, 200);
        const QImage shot = testsupport::renderWidget(&view, QSize(700, 140));
        testsupport::saveShot(shot, "message_list");
        QCOMPARE(shot.size(), QSize(700, 140));
        QVERIFY(testsupport::notBlank(shot, shot.rect()));

        auto rowArea = [&](int r) {
            QRect area;
            for (int c = 0; c < 4; ++c)
                area |= view.visualRect(model.index(r, c));
            return QRect(view.viewport()->mapTo(&view, area.topLeft()), area.size());
        };
        auto tint = [](QColor p) { return p == QColor(245, 255, 226); };
        auto white = [](QColor p) { return p == QColor(255, 255, 255); };
        const int rowPixels = rowArea(0).width() * rowArea(0).height();
        QVERIFY(countPixels(shot, rowArea(0), tint) > rowPixels / 2);
        QCOMPARE(countPixels(shot, rowArea(1), tint), 0);
        QVERIFY(countPixels(shot, rowArea(1), white) > rowPixels / 2);
        QCOMPARE(countPixels(shot, rowArea(2), tint), 0);
        // Red text in every column of the recovered row, none elsewhere.
        for (int c = 0; c < 4; ++c) {
            const QRect cell = view.visualRect(model.index(2, c)).translated(view.viewport()->pos());
            QVERIFY2(countPixels(shot, cell, isRed) > 5, qPrintable(QString::number(c)));
        }
        QCOMPARE(countPixels(shot, rowArea(0), isRed), 0);
        QCOMPARE(countPixels(shot, rowArea(1), isRed), 0);
        // Each row's service icon: green for SMS, blue for iMessage.
        auto smsGreen = [](QColor p) { return p.green() > p.red() + 40 && p.green() > p.blue() + 40; };
        auto iMessageBlue = [](QColor p) { return p.blue() > 180 && p.blue() > p.green() + 40 && p.red() < 170; };
        for (int r = 0; r < 3; ++r) {
            const QRect icon = iconArea(view, model.index(r, 0));
            QVERIFY(testsupport::notBlank(shot, icon));
            QCOMPARE(countPixels(shot, icon, smsGreen) > 10, r != 1);
            QCOMPARE(countPixels(shot, icon, iMessageBlue) > 10, r == 1);
        }
    }
};

QP_TEST_MAIN(TestViewShots)

} // namespace tst_viewshots

#include "tst_viewshots.moc"
