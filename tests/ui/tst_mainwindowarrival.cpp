// A plugged-in iPhone in the real window: read through the file relay or a
// full backup by the fake backup program, it appears as a selected node with
// its conversations and messages. Every box is answered by the dialog driver;
// the virtual phones arrive and leave on the stand-in's own thread.
#include "app/messagebox.h"
#include "ios/iosmobilebackupthread.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"

#include "ui_mainwindow.h"

#include <QProcess>
#include <QTranslator>
#include <memory>

namespace tst_mainwindowarrival {

using namespace testsupport;

namespace {

const char kNote[] = "<p><b>Notes:</b> If your iPhone is protected with a passcode, please enter your passcode on "
                     "iPhone first.</p>";

MainWindow::Node *phoneNode(MainWindow &window, const QString &udid)
{
    for (MainWindow::Node *child : window.treeModel()->rootDevice->children) {
        if (child->type == ITEM_IOS_DEVICE && static_cast<_IOSDeviceItemNode *>(child)->device.uniqueDeviceId == udid)
            return child;
    }
    return nullptr;
}

} // namespace

class TestMainWindowArrival : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    QTemporaryDir scratch;
    FakeAdb adb;
    QTranslator translator;
    int serial = 0;
    // One window for all cases: the device subscription is made once a process.
    std::unique_ptr<MainWindow> shared;

    // A phone of the given version with the typical conversations, a fresh
    // id and folder each time so cases share no cache.
    VirtualIPhoneSetup phone(const QString &version)
    {
        return numberedIPhone(++serial, QStringLiteral("phone"), QStringLiteral("00008030-001A35E22E3880"), version);
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator, phones.path(), QP_COMMON_FILES);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        shared = std::make_unique<MainWindow>();
    }
    void cleanupTestCase() { shared.reset(); }

    void init()
    {
        qunsetenv("QP_FAKE_BACKUP_MODE");
        qputenv("QP_FAKE_BACKUP_RECORD", QFile::encodeName(scratch.filePath("backup-args.txt")));
        QFile::remove(scratch.filePath("backup-args.txt"));
    }
    // A case that failed halfway leaves no phone behind to arrive in the next.
    void cleanup()
    {
        for (const QString &name : QDir(phones.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeVirtualIPhone(phones.filePath(name));
        QTest::qWait(100);
    }

    void aPhoneArrivesWithItsConversations_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("throughBackup");
        QTest::newRow("no version: file relay") << "" << false;
        QTest::newRow("5.1: file relay") << "5.1" << false;
        QTest::newRow("7.1: file relay") << "7.1" << false;
        QTest::newRow("8.0: backup") << "8.0" << true;
        QTest::newRow("16.5: backup with Manifest.db") << "16.5" << true;
        QTest::newRow("4.3: backup") << "4.3" << true;
    }
    void aPhoneArrivesWithItsConversations()
    {
        QFETCH(QString, version);
        QFETCH(bool, throughBackup);
        const VirtualIPhoneSetup setup = phone(version);
        const QString udid = setup.values["UniqueDeviceID"].toString();
        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(phoneNode(window, udid), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(udid), 20000);

        MainWindow::Node *node = phoneNode(window, udid);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QString(kNote));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Information));
        QCOMPARE(node->text, setup.values["DeviceName"].toString());
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
        // The selection is queued behind the slot.
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(node));
        QTRY_COMPARE(window.messageModel()->rowCount(), int(typicalConversations().messages.size()));
        // Dates (stored in nanoseconds) and texts (every other one only in
        // attributedBody) as the phone holds them.
        QStringList shown, expected;
        for (const _MsgMessage *m : window.messageModel()->messages)
            shown << QStringLiteral("%1 %2").arg(m->date).arg(m->text);
        for (const MsgFixtureMessage &m : typicalConversations().messages)
            expected << QStringLiteral("%1 %2").arg(m.date).arg(m.text);
        shown.sort();
        expected.sort();
        QCOMPARE(shown, expected);
        // Only the backup road runs the backup program, which leaves the
        // layout of the phone's version.
        QCOMPARE(QFile::exists(scratch.filePath("backup-args.txt")), throughBackup);
        if (throughBackup) {
            const QDir backup(IOSMobileBackupThread::tempBackupRoot().absoluteFilePath(udid));
            const bool newer = version.section('.', 0, 0).toInt() >= 10;
            QCOMPARE(backup.exists("Manifest.db"), newer);
            QCOMPARE(backup.exists("Manifest.mbdb"), !newer);
        }

        const QImage shot = renderWidget(&window, QSize(1000, 700));
        QVERIFY(shot.save(scratch.filePath(QStringLiteral("arrival-%1.png").arg(serial))));
        QVERIFY(notBlank(shot, shot.rect()));

        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(!phoneNode(window, udid), 20000);
    }

    void withCloudBackupOnOnlyItsWarningShows()
    {
        VirtualIPhoneSetup setup = phone("8.0");
        setup.domains["com.apple.mobile.backup"] = {{"CloudBackupEnabled", true}, {"WillEncrypt", false}};
        const QString udid = setup.values["UniqueDeviceID"].toString();
        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QVERIFY(driver.waitForSeen(2, 30000));
        QTRY_VERIFY_WITH_TIMEOUT(!window.iosDevices().isEmpty() && !window.isDeviceBusy(udid), 20000);
        QCoreApplication::processEvents();
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].icon, int(QMessageBox::Warning));
        QVERIFY(!phoneNode(window, udid));
        QVERIFY(!QFile::exists(scratch.filePath("backup-args.txt")));
        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(window.iosDevices().isEmpty(), 20000);
    }

    // The worker's form tells of the failure; the window adds nothing to it.
    void aFailedWorkerAddsNoNodeAndNoBox_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("trouble");
        QTest::newRow("file relay refused") << "7.1" << "relay";
        QTest::newRow("backup program fails") << "8.0" << "backup";
    }
    void aFailedWorkerAddsNoNodeAndNoBox()
    {
        QFETCH(QString, version);
        QFETCH(QString, trouble);
        VirtualIPhoneSetup setup = phone(version);
        if (trouble == "relay")
            setup.serviceFailures.insert("com.apple.mobile.file_relay", -402653150);
        else
            qputenv("QP_FAKE_BACKUP_MODE", "silent");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        driver.thenPress(QMessageBox::Ok);
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(driver.seenBoxes().size() == 2, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(udid), 20000);
        QCoreApplication::processEvents();
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        QVERIFY(!phoneNode(window, udid));
        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(window.iosDevices().isEmpty(), 20000);
    }

    // What `./dev.sh try` shows: the sample phone arrives through a backup
    // with every conversation, its texts read also where only the
    // attributedBody holds them, and the people of its numbers named from
    // its address book.
    void theSamplePhoneArrivesWhole()
    {
        QProcess maker;
        maker.start(QP_SAMPLE_IPHONE, {scratch.filePath("made")});
        QVERIFY(maker.waitForFinished(30000));
        QCOMPARE(maker.exitCode(), 0);
        const QString made = QString::fromUtf8(maker.readAllStandardOutput()).trimmed();
        QCOMPARE(made, scratch.filePath("made/sample-iphone"));
        const QString folder = phones.filePath("sample-iphone");
        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QVERIFY(QDir().rename(made, folder));
        const QString udid = "00008030-001A35E22E38802E";
        QTRY_VERIFY_WITH_TIMEOUT(phoneNode(window, udid), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(udid), 20000);
        QVERIFY(QFile::exists(scratch.filePath("backup-args.txt")));

        MainWindow::Node *node = phoneNode(window, udid);
        QStringList conversations;
        for (const MainWindow::Node *child : node->children)
            conversations << child->text;
        conversations.sort();
        QCOMPARE(conversations, QStringList({"Anna Schmidt", QString::fromUtf8("Bergtour \U0001F3D4"),
                                             "bernd.mueller@example.org"}));
        QTRY_COMPARE(window.messageModel()->rowCount(), 8);
        QStringList texts;
        for (int row = 0; row < 8; ++row)
            texts << window.messageModel()->index(row, 3).data().toString();
        // Kept only in attributedBody on the phone (an even rowid).
        QVERIFY2(texts.contains(QString::fromUtf8("Yes \u2013 row 12, seats 3 & 4 <balcony>")),
                 qPrintable(texts.join('|')));
        QVERIFY2(texts.contains("Hallo! Kommst du heute Abend? [EMOJI]"), qPrintable(texts.join('|')));
        QVERIFY(!texts.contains(QString()));

        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(!phoneNode(window, udid), 20000);
    }

    // A message file of neither layout (here only a message and a handle
    // table) is refused with a box that names the file, not with the reader's
    // SQL error.
    void aMessageFileOfNoKnownLayoutIsRefusedByName()
    {
        VirtualIPhoneSetup setup = phone("7.1");
        const QString udid = setup.values["UniqueDeviceID"].toString();
        // Made aside and moved in whole: the stand-in must never see the
        // phone before its database is replaced.
        QTemporaryDir aside;
        const QString made = writeVirtualIPhone(aside.path(), setup);
        const QString smsDb = virtualIPhoneRoot(made) + "/var/mobile/Library/SMS/sms.db";
        QVERIFY(QFile::remove(smsDb));
        {
            SqliteFixture db(smsDb);
            db.exec("CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT, text TEXT);"
                    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT);"
                    "INSERT INTO message (guid, text) VALUES ('A1', 'hello');");
        }
        const QString folder = phones.filePath(setup.folderName);
        QVERIFY(QDir().rename(made, folder));

        MainWindow &window = *shared;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QImage shot;
        driver.thenBox([&shot](QWidget *box) {
            shot = box->grab().toImage();
            DialogDriver::press(box, QMessageBox::Ok);
        });
        QTRY_VERIFY_WITH_TIMEOUT(driver.seenBoxes().size() == 2, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(udid), 20000);
        QCoreApplication::processEvents();
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        QVERIFY(!saveShot(shot, "unknown-message-file-box").isEmpty());
        QVERIFY(notBlank(shot, shot.rect()));
        QVERIFY2(boxes[1].text.contains("The message file /")
                     && boxes[1].text.contains("/file-relay/var/mobile/Library/SMS/sms.db is not laid out as any "
                                               "iPhone message database this program knows"),
                 qPrintable(boxes[1].text));
        QVERIFY2(!boxes[1].text.contains("no such table"), qPrintable(boxes[1].text));
        QVERIFY(!phoneNode(window, udid));
        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(window.iosDevices().isEmpty(), 20000);
    }
};

QP_TEST_MAIN(TestMainWindowArrival)

} // namespace tst_mainwindowarrival

#include "tst_mainwindowarrival.moc"
