// Sending messages to an Android phone from the main window: the device
// chooser, the batches the fake companion app receives and acknowledges, the
// reload of the target, and a phone that drops the connection or leaves while
// the chooser or the transfer runs. The phone arrives over the fake adb; a
// phone of the "virtual_android" folder is a second candidate.
#include "android/androidconnectwithusbthread.h"
#include "android/androiddevice.h"
#include "android/simpleprotocol.h"
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "store/ios6messagedb.h"
#include "tests/support/countryfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/fakecompanionapp.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/datasourceselform.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui_datasourceselform.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QPushButton>
#include <QTreeView>
#include <memory>

namespace tst_transfertoandroid {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

const QByteArray kAdbHeader = "List of devices attached\n";
const QString kSerial = "R58N91XKZ2A";
const QString kPhone = "samsung SM-A525F";
const QString kHello = "version=31;model=SM-A525F;manufacturer=samsung;imei=356938035643809;uid=f3a9c2e1b7d04a55;"
                       "sdk=13;sdk_id=33;root=0;storage1=/storage/emulated/0;mmc=262;";
const char *const kTip = "Please click \"YES\" to temporarily set our Quillmarten app as your default SMS app";
const int kArchived = 250; // three batches: 100, 100, 50
const int kArchiveConversations = 3;
const int kPhoneConversations = 1;
const int kPhoneMessages = 2;

QString b64(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

QString sms(qint64 ms, bool fromMe, const QString &address, const QString &body)
{
    return QStringList{QString::number(ms), fromMe ? "1" : "0", b64(address), b64("Anna"), b64(body), b64("")}.join(',');
}

MsgFixtureContent archive()
{
    QStringList texts;
    for (int i = 0; i < kArchived; ++i)
        texts << (i % 7 == 0 ? QString::fromUtf8("Grüße aus Köln 🎻 %1").arg(i) : QString("Nachricht %1").arg(i));
    return conversationsWithTexts({"Clara", "David", QString::fromUtf8("Émile 🙂")}, texts);
}

_AndroidDeviceItemNode *phoneNode(MainWindow &window)
{
    for (Node *child : window.treeModel()->rootDevice->children) {
        if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->device.serial == kSerial)
            return static_cast<_AndroidDeviceItemNode *>(child);
    }
    return nullptr;
}

int androidNodeCount(MainWindow &window)
{
    int n = 0;
    for (Node *child : window.treeModel()->rootDevice->children)
        n += child->type == ITEM_ANDROID_DEVICE ? 1 : 0;
    return n;
}

bool idle()
{
    return !QApplication::activeModalWidget();
}

int countOf(const QStringList &lines, const QString &prefix)
{
    return int(std::count_if(lines.cbegin(), lines.cend(), [&prefix](const QString &l) { return l.startsWith(prefix); }));
}

} // namespace

class TestTransferToAndroid : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<FakeAdb> adb;
    std::unique_ptr<FakeCompanionApp> app;
    std::unique_ptr<MainWindow> window;
    QStringList offered;

    void listDevices(bool phone)
    {
        adb->answer("devices", kAdbHeader + (phone ? kSerial.toUtf8() + "\tdevice\n" : QByteArray()) + "\n");
    }

    // Picks the candidate of that text in the chooser (after noting every
    // candidate offered), then confirms it.
    DialogDriver::Action choose(const QString &text, std::function<void()> meanwhile = {})
    {
        return [this, text, meanwhile](QWidget *w) {
            auto *chooser = static_cast<DataSourceSelForm *>(w);
            QComboBox *box = chooser->widgets()->cbDevice;
            offered.clear();
            for (int i = 0; i < box->count(); ++i)
                offered << box->itemText(i);
            if (meanwhile)
                meanwhile();
            box->setCurrentIndex(box->findText(text));
            QTest::mousePress(chooser->widgets()->btnOK, Qt::LeftButton);
        };
    }

    void selectArchive()
    {
        Node *archive = window->treeModel()->rootLocalDB->children.value(0);
        QVERIFY(archive);
        window->widgets()->treeViewDS->setCurrentIndex(window->treeModel()->indexOf(archive));
        QTRY_COMPARE(window->messageModel()->rowCount(), kArchived);
    }

    void sendArchive()
    {
        QMetaObject::invokeMethod(window.get(), "miDb2AAll", Qt::QueuedConnection);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QApplication::installTranslator(&translator);
        setMakerServerUrl(server.url());
        MainWindow::setUsbTipsDelay(-1);
        for (qint64 i = QCoreApplication::applicationPid() % 97; i > 0; --i)
            nextServicePort();
    }

    // A window with the archive database, a "virtual_android" phone and the
    // phone of the fake app, arrived and loaded.
    void init()
    {
        const QString data = appDataDir().absolutePath();
        clearWindowData(data);
        QVERIFY(markUpdateCheckDone(data));
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
        writeWindowDb(data, "local_databases", "Archiv", archive());
        writeWindowDb(data, "virtual_android", "Pixel", conversationsWithTexts({"Zoe"}, {"hi"}));
        adb.reset(new FakeAdb);
        app.reset(new FakeCompanionApp);
        adb->handUrlsTo(app->controlPort());
        adb->answer("start-server", "", "* daemon started successfully\n");
        adb->answer("pm", "package:com.quillmarten.smssync\r\n");
        listDevices(true);
        app->setHello(kHello);
        app->setBackup({{sms(1700000000123, false, "+491701234567", QString::fromUtf8("Bis gleich 👋")),
                         sms(1700000060456, true, "+491701234567", "Ok")}},
                       kPhoneMessages);
        AndroidDevice::waits.usbConnect = 1000;
        AndroidDevice::waits.usbReady = 1000;
        AndroidDevice::waits.usbPause = 50;
        AndroidConnectWithUSBThread::installPauseMs = 50;
        offered.clear();
        window.reset(new MainWindow);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNode(*window), 30000);
        // The arrival's selection is queued behind it.
        QTRY_COMPARE(window->widgets()->treeViewDS->currentIndex(), window->treeModel()->indexOf(phoneNode(*window)));
        QTRY_VERIFY(idle());
        QCOMPARE(phoneNode(*window)->children.size(), kPhoneConversations);
        QCOMPARE(androidNodeCount(*window), 2);
    }

    void cleanup()
    {
        window.reset();
        app.reset();
        adb.reset();
        AndroidDevice::waits = AndroidDevice::Waits();
        AndroidConnectWithUSBThread::installPauseMs = 5000;
    }

    void aDatabaseGoesToThePhoneInAcknowledgedBatches_data()
    {
        QTest::addColumn<bool>("tip");
        QTest::newRow("the app is the default SMS app") << false;
        QTest::newRow("the default-app tip is answered") << true;
    }
    void aDatabaseGoesToThePhoneInAcknowledgedBatches()
    {
        QFETCH(bool, tip);
        if (tip)
            app->setDefSmsApp(1);
        selectArchive();
        DialogDriver driver;
        driver.then(choose(kPhone));
        if (tip)
            driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        sendArchive();
        QTRY_VERIFY_WITH_TIMEOUT(driver.pending() == 0 && idle(), 60000);

        // Every Android phone is offered when a database is the source.
        QCOMPARE(offered, (QStringList{"Pixel", kPhone})); // tree order
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), tip ? 2 : 1);
        if (tip)
            QVERIFY2(boxes[0].text.startsWith(kTip), qPrintable(boxes[0].text));
        QCOMPARE(boxes.last().text, QString("Successfully Transferred %1 SMS").arg(kArchived));
        QCOMPARE(boxes.last().icon, int(QMessageBox::Information));

        QVERIFY(app->waitForReceived("restore2", kArchived + 3 * 2 + 1 + (tip ? 1 : 0)));
        QStringList lines = app->received("restore2");
        if (tip)
            QCOMPARE(lines.takeFirst(), QString("$defsmsapp:"));
        QCOMPARE(lines.last(), QString("$bye:"));
        // Batch by batch: the next one only after the app's acknowledgement.
        int at = 0;
        for (int size : {100, 100, 50}) {
            QCOMPARE(lines.value(at), QString("$batch:"));
            QCOMPARE(countOf(lines.mid(at + 1, size), "$sms:"), size);
            QCOMPARE(lines.value(at + 1 + size), QString("$end:"));
            at += size + 2;
        }
        QCOMPARE(at, int(lines.size()) - 1);

        // The target is reloaded with the new conversations and selected.
        _AndroidDeviceItemNode *target = phoneNode(*window);
        QVERIFY(target);
        QCOMPARE(target->children.size(), kPhoneConversations + kArchiveConversations);
        QStringList rows;
        for (Node *row : target->children)
            rows << row->text;
        QVERIFY2(rows.contains("Clara") && rows.contains("David") && rows.contains(QString::fromUtf8("Émile 🙂")),
                 qPrintable(rows.join(", ")));
        QTRY_COMPARE(window->widgets()->treeViewDS->currentIndex(), window->treeModel()->indexOf(target));
        QTRY_COMPARE(window->messageModel()->rowCount(), kPhoneMessages + kArchived);

        // What the user then looks at: the phone with the sent conversations.
        const QImage shot = renderWidget(window.get(), QSize(1000, 700));
        QVERIFY(!saveShot(shot, tip ? "android-after-transfer-tip" : "android-after-transfer").isEmpty());
        QTreeView *tree = window->widgets()->treeViewDS;
        const QRect lastRow = tree->visualRect(window->treeModel()->indexOf(target->children.last()));
        QVERIFY(lastRow.isValid());
        QVERIFY(notBlank(shot, QRect(tree->viewport()->mapTo(window.get(), lastRow.topLeft()), lastRow.size())));
    }

    // A database of one-to-one and group conversations: what the user sent
    // to one person goes with that person's address, although the database
    // (as phones do) names no handle for it; what was sent to a group and a
    // group event cannot go, and the box says so on a line of its own.
    void leftOutMessagesAreToldOfOnALineOfTheirOwn()
    {
        MsgFixtureContent content;
        const QList<std::pair<qint64, QString>> people = {
            {1, "+4915112345678"}, {2, "+33612345678"}, {3, QString::fromUtf8("émile@example.org")}};
        for (const auto &[rowid, id] : people) {
            MsgFixtureHandle h;
            h.rowid = rowid;
            h.id = id;
            h.ctName = rowid == 1 ? "Clara" : rowid == 2 ? "David" : QString::fromUtf8("Émile");
            content.handles << h;
        }
        MsgFixtureChat clara;
        clara.rowid = 1;
        clara.guid = "SMS;-;+4915112345678";
        clara.identifier = "+4915112345678";
        clara.handles = {1};
        MsgFixtureChat group;
        group.rowid = 2;
        group.guid = "iMessage;+;chat551204";
        group.style = 43;
        group.identifier = "chat551204";
        group.service = "iMessage";
        group.handles = {2, 3};
        content.chats = {clara, group};
        // rowid, chat, handle, from me, item type, text
        const QList<std::tuple<qint64, qint64, qint64, int, int, QString>> rows = {
            {1, 1, 0, 1, 0, QString::fromUtf8("Bin unterwegs 🚲")},
            {2, 1, 1, 0, 0, "Gut, bis gleich"},
            {3, 2, 0, 1, 0, "Wer bringt den Kuchen?"},
            {4, 2, 2, 0, 0, "Ich!"},
            {5, 2, 3, 0, 1, QString()}};
        for (const auto &[rowid, chat, handle, fromMe, itemType, text] : rows) {
            MsgFixtureMessage m;
            m.rowid = rowid;
            m.guid = QString("5D0C1E2F-3A4B-4C5D-8E9F-00000000000%1").arg(rowid);
            m.text = text;
            m.handleId = handle;
            m.isFromMe = fromMe;
            m.isSent = fromMe;
            m.itemType = itemType;
            m.date = 700000000 + int(rowid) * 60;
            m.chats = {chat};
            content.messages << m;
        }
        const QString folder = writeWindowDb(appDataDir().absolutePath(), "local_databases", "Gemischt", content);
        Node *mixed = window->treeModel()->addLocalDatabase(
            QSharedPointer<AbsMessageDb>(new IOS6MessageDb(QDir(folder), QString(), true)), "Gemischt");
        window->widgets()->treeViewDS->setCurrentIndex(window->treeModel()->indexOf(mixed));
        QTRY_COMPARE(window->messageModel()->rowCount(), 5);

        DialogDriver driver;
        driver.then(choose(kPhone));
        QImage shot;
        driver.thenBox([&shot](QWidget *box) {
            shot = renderWidget(box, box->size());
            DialogDriver::press(box, QMessageBox::Ok);
        });
        QMetaObject::invokeMethod(window.get(), "miDb2AAll", Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(driver.pending() == 0 && idle(), 60000);

        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QString("Successfully Transferred 3 SMS<br/>2 group messages or system messages "
                                        "can't be transferred."));
        QVERIFY(app->waitForReceived("restore2", 3 + 2 + 1));
        QStringList addresses;
        for (const QString &line : app->received("restore2")) {
            if (line.startsWith("$sms:"))
                addresses << line.section(',', 1, 1) + " " + QString::fromUtf8(QByteArray::fromBase64(line.section(',', 2, 2).toLatin1()));
        }
        QCOMPARE(addresses, (QStringList{"1 +4915112345678", "0 +4915112345678", "0 +33612345678"}));

        // The box as the user sees it: two lines, the second under the first.
        QVERIFY(!saveShot(shot, "android-transfer-left-out").isEmpty());
        QVERIFY(notBlank(shot, shot.rect()));
    }

    void aPhoneIsNotOfferedItsOwnMessages()
    {
        window->widgets()->treeViewDS->setCurrentIndex(window->treeModel()->indexOf(phoneNode(*window)));
        QTRY_COMPARE(window->messageModel()->rowCount(), kPhoneMessages);
        DialogDriver driver;
        driver.then([this](QWidget *w) {
            auto *chooser = static_cast<DataSourceSelForm *>(w);
            for (int i = 0; i < chooser->widgets()->cbDevice->count(); ++i)
                offered << chooser->widgets()->cbDevice->itemText(i);
            QTest::mousePress(chooser->widgets()->btnClose, Qt::LeftButton);
        });
        QMetaObject::invokeMethod(window.get(), "miA2AAll", Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(driver.pending() == 0 && idle(), 20000);
        QCOMPARE(offered, QStringList{"Pixel"});
        QCOMPARE(app->connections("restore2"), 0);
    }

    void aDropMidBatchKeepsTheRows()
    {
        app->setRestoreDrop(150);
        selectArchive();
        _AndroidDeviceItemNode *target = phoneNode(*window);
        const QSharedPointer<_MsgStore> store = target->store;
        const QList<Node *> rows = target->children;
        DialogDriver driver;
        driver.then(choose(kPhone));
        driver.thenPress(QMessageBox::Ok);
        sendArchive();
        QTRY_VERIFY_WITH_TIMEOUT(driver.pending() == 0 && idle(), 60000);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].icon, int(QMessageBox::Critical));
        QCOMPARE(phoneNode(*window), target);
        QCOMPARE(target->store, store);
        QCOMPARE(target->children, rows);
        // The source stays shown as it was.
        QCOMPARE(window->messageModel()->rowCount(), kArchived);
    }

    void thePhoneLeavesWhileTheChooserIsOpen()
    {
        selectArchive();
        DialogDriver driver;
        driver.then(choose(kPhone, [this]() { window->androidDeviceDisconnected(kSerial); }));
        sendArchive();
        QTRY_VERIFY_WITH_TIMEOUT(driver.pending() == 0 && idle(), 20000);
        QVERIFY(!phoneNode(*window));
        QCOMPARE(driver.seenBoxes().size(), 0);
        QCOMPARE(app->connections("restore2"), 0);
        QCOMPARE(window->messageModel()->rowCount(), kArchived);
    }

    // The phone is unplugged while the tip holds the transfer: the operation
    // finishes on its own copies, and nothing reloads a node that is gone.
    void thePhoneLeavesDuringTheTransfer()
    {
        app->setDefSmsApp(1);
        selectArchive();
        DialogDriver driver;
        driver.then(choose(kPhone));
        driver.thenBox([this](QWidget *tipBox) {
            listDevices(false);
            QTRY_VERIFY_WITH_TIMEOUT(!phoneNode(*window), 15000);
            DialogDriver::press(tipBox, QMessageBox::Ok);
        });
        driver.thenPress(QMessageBox::Ok);
        sendArchive();
        QTRY_VERIFY_WITH_TIMEOUT(driver.pending() == 0 && idle(), 60000);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].text, QString("Successfully Transferred %1 SMS").arg(kArchived));
        QVERIFY(app->waitForReceived("restore2", 1 + kArchived + 3 * 2 + 1));
        QCOMPARE(countOf(app->received("restore2"), "$sms:"), kArchived);
        QVERIFY(!phoneNode(*window));
        QCOMPARE(androidNodeCount(*window), 1);
        QCOMPARE(window->messageModel()->rowCount(), kArchived);
    }
};

QP_TEST_MAIN(TestTransferToAndroid)

} // namespace tst_transfertoandroid

#include "tst_transfertoandroid.moc"
