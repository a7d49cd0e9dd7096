// Messages put onto an iPhone through the real window: the phone is backed up
// by the fake backup program, the messages are merged into the backup, and the
// backup is restored onto the virtual phone. Every box and the device chooser
// are answered by the dialog driver; the phones arrive and leave on the
// stand-in's own thread.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/ios6restoremessagesthread.h"
#include "ios/iosmobilebackupthread.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/iphonetransfer.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/itemmodelsms.h"

#include <QElapsedTimer>
#include <memory>
#include <stdexcept>

namespace tst_transfertoios {

using namespace testsupport;

namespace {

const char kIOS6Only[] = "Failed to recover. Only iOS 6 or above is supported.";
const char kIPadQuestion[] = "You can transfer iMessage only to an iPad/iPod. Want to continue?";

// Three messages in two conversations, as a local database holds them.
MsgFixtureContent threeMessages()
{
    return conversationsWithTexts({QString::fromUtf8("Anna Schmidt"), QString::fromUtf8("Bernd M\u00fcller")},
                                  {QString::fromUtf8("Kommst du heute? \U0001F600"),
                                   QString::fromUtf8("Tickets: Reihe 12 <Balkon> & Sitz 3"),
                                   QString::fromUtf8("Bis sp\u00e4ter!")});
}

} // namespace

class TestTransferToIOS : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    QTemporaryDir scratch;
    FakeAdb adb;
    IdsTranslator translator;
    int serial = 0;
    QString virtualFolder;
    // One window for all cases: the device subscription is made once a process.
    std::unique_ptr<MainWindow> shared;

    QString recordFile() const { return scratch.filePath("backup-args.txt"); }

    // A phone with a fresh id, folder and name: cases share no backup.
    VirtualIPhoneSetup nextPhone(const QString &productType = QStringLiteral("iPhone12,1"))
    {
        ++serial;
        return transferPhone(QStringLiteral("phone%1").arg(serial),
                             QStringLiteral("00008030-0019243A1E78%1").arg(serial, 4, 10, QChar('0')),
                             QString::fromUtf8("Target %1 \u2019s iPhone").arg(serial), productType);
    }
    static QString nameOf(const VirtualIPhoneSetup &setup) { return setup.values["DeviceName"].toString(); }
    static QString idOf(const VirtualIPhoneSetup &setup) { return setup.values["UniqueDeviceID"].toString(); }

    // Selects the local database "home" with its messages shown.
    void selectHome()
    {
        MainWindow &window = *shared;
        selectNode(window, localDbNode(window, "home"));
        QTRY_COMPARE(window.messageModel()->rowCount(), 3);
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator, phones.path(), QP_COMMON_FILES);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        const QString data = appDataDir().absolutePath();
        clearWindowData(data);
        writeWindowDb(data, "local_databases", "home", threeMessages());
        virtualFolder = writeWindowDb(data, "virtual_ios", "Spare iPhone", typicalConversations());
        writeWindowDb(data, "virtual_android", "Pixel", conversationsWithTexts({"Zoe"}, {"hi"}));
        shared = std::make_unique<MainWindow>();
        QCOMPARE(shared->treeModel()->rootDevice->children.size(), 2);
    }
    void cleanupTestCase() { shared.reset(); }

    void init()
    {
        qunsetenv("QP_FAKE_BACKUP_MODE");
        qputenv("QP_FAKE_BACKUP_RECORD", QFile::encodeName(recordFile()));
        QFile::remove(recordFile());
        IOS6RestoreMessagesThread::setStepHook({});
    }
    // A case that failed halfway leaves no phone behind for the next.
    void cleanup()
    {
        IOS6RestoreMessagesThread::setStepHook({});
        for (const QString &name : QDir(phones.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeVirtualIPhone(phones.filePath(name));
        QTRY_VERIFY_WITH_TIMEOUT(shared->iosDevices().isEmpty(), 20000);
        QFile::remove(appDataDir().absoluteFilePath("itunes_cache"));
    }

    // Main road: every message arrives once, also when the same set is put
    // onto the phone a second time, and the box counts what the merge took.
    void fromALocalDatabaseEachMessageArrivesOnce()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup target = nextPhone();
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        const QByteArray spareBefore = fileDigest(messageDbPath(virtualFolder));
        QVERIFY(!spareBefore.isEmpty());
        const QStringList expected = [] {
            QStringList all = fixtureGuids(typicalConversations()) + fixtureGuids(threeMessages());
            all.sort();
            return all;
        }();

        for (int run = 0; run < 2; ++run) {
            selectHome();
            QStringList offered;
            QString prompt;
            bool busyDuringRun = false;
            const int before = int(driver.seenBoxes().size());
            driver.then(chooseTarget(&offered, nameOf(target), &prompt));
            driver.thenBox([&](QWidget *box) {
                busyDuringRun = window.isDeviceBusy(idOf(target));
                DialogDriver::press(box, QMessageBox::Yes);
            });
            driver.thenPress(QMessageBox::Ok);
            window.miDb2IAll();

            // The data folder's phone is no target; only the plugged one is.
            QCOMPARE(offered, QStringList{nameOf(target)});
            QCOMPARE(prompt, QString("Please select an iPhone:"));
            const QList<DialogDriver::Seen> boxes = driver.seenBoxes().mid(before);
            QCOMPARE(boxes.size(), 2);
            QCOMPARE(boxes[0].icon, int(QMessageBox::Question));
            QVERIFY(boxes[0].text.contains("Find My iPhone"));
            // The guide link points at the maker's site, as the window's other links do.
            QVERIFY2(boxes[0].text.contains("<a href=\"" + makerServerBase()
                                            + "/tutorial/how-to-disable-find-my-iphone.html\">detail</a>"),
                     qPrintable(boxes[0].text));
            QCOMPARE(boxes[1].icon, int(QMessageBox::Information));
            // What the phone took: the second transfer finds all three there.
            QCOMPARE(boxes[1].text, QString("Successfully recovered %1 SMS to iPhone.").arg(run == 0 ? 3 : 0));
            QVERIFY(busyDuringRun);
            QVERIFY(!window.isDeviceBusy(idOf(target)));
            QVERIFY(lastBackupCommand(recordFile()).contains("\nrestore\n"));
            QCOMPARE(phoneMessageGuids(folder), expected);
        }
        // The phone's node is as it was: nothing of the transfer shows there.
        QCOMPARE(iphoneNodes(window, idOf(target)).size(), 1);
        QCOMPARE(iphoneNodes(window, idOf(target)).first()->children.size(), typicalConversations().chats.size());
        QCOMPARE(fileDigest(messageDbPath(virtualFolder)), spareBefore);
    }

    // A phone of iOS 10 or later: its backup keeps Manifest.db, into which
    // the messages merge before the restore. Each arrives once, also when
    // the set is put onto the phone a second time, dated in the phone's unit.
    void intoANewerPhoneEachMessageArrivesOnce()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        VirtualIPhoneSetup target = nextPhone();
        target.values["ProductVersion"] = "16.5";
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        QStringList expected = fixtureGuids(typicalConversations()) + fixtureGuids(threeMessages());
        expected.sort();
        for (int run = 0; run < 2; ++run) {
            selectHome();
            QStringList offered;
            const int before = int(driver.seenBoxes().size());
            driver.then(chooseTarget(&offered, nameOf(target)));
            driver.thenPress(QMessageBox::Yes);
            driver.thenPress(QMessageBox::Ok);
            window.miDb2IAll();
            const QList<DialogDriver::Seen> boxes = driver.seenBoxes().mid(before);
            QCOMPARE(boxes.size(), 2);
            // The second time every message is on the phone already.
            QCOMPARE(boxes[1].text, QString("Successfully recovered %1 SMS to iPhone.").arg(run == 0 ? 3 : 0));
            QVERIFY(lastBackupCommand(recordFile()).contains("\nrestore\n"));
            QCOMPARE(phoneMessageGuids(folder), expected);
        }
        const QDir backup(IOSMobileBackupThread::tempBackupRoot().absoluteFilePath(idOf(target)));
        QVERIFY(backup.exists("Manifest.db"));
        QVERIFY(!backup.exists("Manifest.mbdb"));
        for (const MsgFixtureMessage &m : threeMessages().messages)
            QCOMPARE(queryValue(phoneMessageDb(folder), "select date from message where guid='" + m.guid + "'")
                         .toLongLong(),
                     qint64(m.date) * 1000000000LL);
    }

    // After a transfer from one plugged iPhone to the other (whose chooser
    // offered, and so preselected, the one), the Android phone's chooser
    // offers both.
    void androidToIPhoneAfterAnIPhoneTransferOffersBoth()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup first = nextPhone();
        const VirtualIPhoneSetup second = nextPhone();
        QVERIFY(plugIPhone(window, driver, phones.path(), first));
        QVERIFY(plugIPhone(window, driver, phones.path(), second));

        selectNode(window, iphoneNodes(window, idOf(first)).first());
        QTRY_VERIFY(window.messageModel()->rowCount() > 0);
        QStringList offered;
        driver.then(chooseTarget(&offered, nameOf(second)));
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        const int before = int(driver.seenBoxes().size());
        window.miI2IAll();
        QCOMPARE(offered, QStringList{nameOf(second)});
        QCOMPARE(driver.seenBoxes().size(), before + 2);
        QVERIFY2(driver.seenBoxes().last().text.startsWith("Successfully recovered"),
                 qPrintable(driver.seenBoxes().last().text));
        QTRY_VERIFY_WITH_TIMEOUT(!window.isDeviceBusy(idOf(first)) && !window.isDeviceBusy(idOf(second)), 60000);

        MainWindow::Node *android = nullptr;
        for (MainWindow::Node *child : window.treeModel()->rootDevice->children) {
            if (child->type == ITEM_ANDROID_DEVICE)
                android = child;
        }
        QVERIFY(android);
        selectNode(window, android);
        QTRY_VERIFY(window.messageModel()->rowCount() > 0);
        QVERIFY(window.operationActions().at(2)->isEnabled()); // A>I
        offered.clear();
        driver.then(chooseTarget(&offered, QString()));
        window.miA2IAll();
        QCOMPARE(offered, (QStringList{nameOf(first), nameOf(second)}));
    }

    // Neither the source phone nor another node of its id is a target; every
    // other phone is.
    void fromAnIPhoneItsOwnIdIsNotOffered_data()
    {
        QTest::addColumn<bool>("fromConversation");
        QTest::newRow("the phone's node") << false;
        QTest::newRow("one of its conversations") << true;
    }
    void fromAnIPhoneItsOwnIdIsNotOffered()
    {
        QFETCH(bool, fromConversation);
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup source = nextPhone();
        VirtualIPhoneSetup again = source;
        again.folderName += "-again";
        again.values["DeviceName"] = nameOf(source) + " (again)";
        const VirtualIPhoneSetup other = nextPhone();
        QVERIFY(plugIPhone(window, driver, phones.path(), source));
        QVERIFY(plugIPhone(window, driver, phones.path(), again, nullptr, 2));
        QVERIFY(plugIPhone(window, driver, phones.path(), other));

        MainWindow::Node *node = iphoneNodes(window, idOf(source)).first();
        selectNode(window, fromConversation ? node->children.first() : node);
        QTRY_VERIFY(window.messageModel()->rowCount() > 0);
        QStringList offered;
        driver.then(chooseTarget(&offered, QString()));
        const int seen = int(driver.seen().size());
        if (fromConversation)
            window.miI2IChat();
        else
            window.miI2IAll();
        QCOMPARE(offered, QStringList{nameOf(other)});
        // Closing the chooser ends the operation without a word.
        QCOMPARE(driver.seen().size(), seen + 1);
        QVERIFY(!QFile::exists(recordFile()));
    }

    void anIOS5TargetIsRefusedBeforeAnyQuestion()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        // The phone's database is of the iOS 5 layout; it is finished in a
        // folder of its own and moved in whole, so the stand-in never sees
        // half of it.
        VirtualIPhoneSetup old = nextPhone("iPhone4,1");
        old.values["ProductVersion"] = "5.1.1";
        QTemporaryDir staging;
        const QString staged = writeVirtualIPhone(staging.path(), old);
        Ios5Content content;
        content.withIMessage = false;
        content.groups = {{1, 0, 1, {{1, "+4915112345678", "de"}}}};
        Ios5Message message;
        message.rowid = 1;
        message.address = "+4915112345678";
        message.date = 1700000000;
        message.text = QString::fromUtf8("Gr\u00fc\u00dfe aus Berlin");
        message.groupId = 1;
        content.messages = {message};
        QTemporaryDir cache;
        const QString ios5 = writeIos5MessageDb(cache.path(), content);
        QFile::remove(phoneMessageDb(staged));
        QVERIFY(QFile::copy(ios5, phoneMessageDb(staged)));
        const QByteArray before = fileDigest(phoneMessageDb(staged));
        const QString folder = phones.filePath(old.folderName);
        driver.thenPress(QMessageBox::Ok);
        QVERIFY(QDir().rename(staged, folder));
        QTRY_VERIFY_WITH_TIMEOUT(iphoneNodes(window, idOf(old)).size() == 1 && !window.isDeviceBusy(idOf(old)),
                                 60000);

        selectHome();
        QStringList offered;
        driver.then(chooseTarget(&offered, nameOf(old)));
        driver.thenPress(QMessageBox::Ok);
        const QList<DialogDriver::Seen> boxes = driver.boxesDuring([&]() { window.miDb2IAll(); });
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QString(kIOS6Only));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        QVERIFY(!QFile::exists(recordFile()));
        QCOMPARE(fileDigest(phoneMessageDb(folder)), before);
    }

    // The questions come before any backup; No to either ends the run.
    void questionsBeforeAnyBackup_data()
    {
        QTest::addColumn<QString>("productType");
        QTest::addColumn<QStringList>("answers"); // "yes"/"no", one per question in order
        QTest::addColumn<bool>("iPadAsked");
        QTest::newRow("iPad: asked, No ends") << "iPad4,1" << QStringList{"no"} << true;
        QTest::newRow("iPod: Yes, then No to the notes") << "iPod5,1" << QStringList{"yes", "no"} << true;
        QTest::newRow("IPHONE in capitals counts as an iPhone") << "IPHONE5,2" << QStringList{"no"} << false;
        QTest::newRow("iPhone: No to the notes") << "iPhone12,1" << QStringList{"no"} << false;
    }
    void questionsBeforeAnyBackup()
    {
        QFETCH(QString, productType);
        QFETCH(QStringList, answers);
        QFETCH(bool, iPadAsked);
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup target = nextPhone(productType);
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        const QByteArray before = fileDigest(phoneMessageDb(folder));
        selectHome();
        QStringList offered;
        driver.then(chooseTarget(&offered, nameOf(target)));
        for (const QString &answer : answers)
            driver.thenPress(answer == "yes" ? QMessageBox::Yes : QMessageBox::No);
        const QList<DialogDriver::Seen> boxes = driver.boxesDuring([&]() { window.miDb2IAll(); });
        QCOMPARE(boxes.size(), answers.size());
        for (const DialogDriver::Seen &box : boxes)
            QCOMPARE(box.icon, int(QMessageBox::Question));
        QCOMPARE(boxes[0].text == QLatin1String(kIPadQuestion), iPadAsked);
        if (answers.size() == 2)
            QVERIFY(boxes[1].text.contains("Find My iPhone"));
        QVERIFY(!QFile::exists(recordFile()));
        QCOMPARE(fileDigest(phoneMessageDb(folder)), before);
        QVERIFY(!window.isDeviceBusy(idOf(target)));
    }

    // A worker that fails has said so in its form: the run ends there, no
    // other box follows, and nothing reaches the phone.
    void aFailedStepEndsAfterItsOwnBox_data()
    {
        QTest::addColumn<QString>("step");
        QTest::newRow("backup") << "backup";
        QTest::newRow("cache") << "cache";
        QTest::newRow("merge") << "merge";
        QTest::newRow("restore") << "restore";
    }
    void aFailedStepEndsAfterItsOwnBox()
    {
        QFETCH(QString, step);
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup target = nextPhone();
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        const QByteArray before = fileDigest(phoneMessageDb(folder));

        if (step == "backup") {
            qputenv("QP_FAKE_BACKUP_MODE", "silent");
        } else if (step == "cache") {
            // The backups' cache cannot be made: a file stands in its place.
            QDir(appDataDir().absoluteFilePath("itunes_cache")).removeRecursively();
            QFile blocker(appDataDir().absoluteFilePath("itunes_cache"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else if (step == "merge") {
            IOS6RestoreMessagesThread::setStepHook([](const char *name) {
                if (qstrcmp(name, "merge") == 0)
                    throw std::runtime_error("the disk is full");
            });
        } else {
            // The merge has written the backup; the phone then refuses it.
            IOS6RestoreMessagesThread::setStepHook([](const char *name) {
                if (qstrcmp(name, "swap manifest") == 0)
                    qputenv("QP_FAKE_BACKUP_MODE", "findmyiphone");
            });
        }

        selectHome();
        QStringList offered;
        driver.then(chooseTarget(&offered, nameOf(target)));
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        const QList<DialogDriver::Seen> boxes = driver.boxesDuring([&]() { window.miDb2IAll(); });
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0].icon, int(QMessageBox::Question));
        QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        QCOMPARE(lastBackupCommand(recordFile()).contains("\nrestore\n"), step == "restore");
        QCOMPARE(fileDigest(phoneMessageDb(folder)), before);
        QVERIFY(!window.isDeviceBusy(idOf(target)));
    }

    // The chosen phone leaves while the chooser is open: its node is gone
    // when the choice comes back, and the run ends without a word.
    void thePhoneLeavesWhileTheChooserIsOpen()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup target = nextPhone();
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        selectHome();
        QStringList offered;
        bool gone = false;
        const DialogDriver::Action choose = chooseTarget(&offered, nameOf(target));
        driver.then([&](QWidget *chooser) {
            removeVirtualIPhone(folder);
            gone = QTest::qWaitFor([&]() { return iphoneNodes(window, idOf(target)).isEmpty(); }, 20000);
            choose(chooser);
        });
        const int seen = int(driver.seen().size());
        window.miDb2IAll();
        QCoreApplication::processEvents();

        QVERIFY(gone);
        QCOMPARE(offered, QStringList{nameOf(target)});
        QCOMPARE(driver.seen().size(), seen + 1);
        QVERIFY(!QFile::exists(recordFile()));
        QVERIFY(!window.isDeviceBusy(idOf(target)));
    }

    // The phone leaves while the notes are open: the run goes on with its own
    // copy of the phone's record, and the backup's error ends it.
    void thePhoneLeavesWhileTheNotesAreOpen()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup target = nextPhone();
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        selectHome();
        QStringList offered;
        bool gone = false;
        driver.then(chooseTarget(&offered, nameOf(target)));
        driver.thenBox([&](QWidget *box) {
            removeVirtualIPhone(folder);
            gone = QTest::qWaitFor([&]() { return iphoneNodes(window, idOf(target)).isEmpty(); }, 20000);
            DialogDriver::press(box, QMessageBox::Yes);
        });
        driver.thenPress(QMessageBox::Ok);
        const int seen = int(driver.seenBoxes().size());
        window.miDb2IAll();

        QVERIFY(gone);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes().mid(seen);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
        QVERIFY(!lastBackupCommand(recordFile()).contains("\nrestore\n"));
        QVERIFY(!window.isDeviceBusy(idOf(target)));
    }

    // The same phone arrives again while the transfer to it runs: its load
    // starts once the transfer has ended and adds its node; the transfer is
    // not held up meanwhile.
    void anArrivalOfTheTargetWaitsForTheRun()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup target = nextPhone();
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        VirtualIPhoneSetup again = target;
        again.folderName += "-again";
        selectHome();
        QStringList offered;
        QString againFolder;
        driver.then(chooseTarget(&offered, nameOf(target)));
        driver.thenBox([&](QWidget *box) {
            againFolder = writeVirtualIPhone(phones.path(), again);
            DialogDriver::press(box, QMessageBox::Yes);
        });
        driver.thenPress(QMessageBox::Ok); // the arrival's note
        // A stalled run is let go after a while: the second phone leaves.
        bool letGo = false;
        QTimer stall;
        stall.setSingleShot(true);
        connect(&stall, &QTimer::timeout, this, [&]() {
            letGo = true;
            removeVirtualIPhone(againFolder);
        });
        stall.start(20000);
        bool secondNodeDuringRun = false;
        driver.thenBox([&](QWidget *box) {
            secondNodeDuringRun = iphoneNodes(window, idOf(target)).size() > 1;
            DialogDriver::press(box, QMessageBox::Ok);
        });
        const int seen = int(driver.seenBoxes().size());
        window.miDb2IAll();
        stall.stop();

        QVERIFY(!letGo);
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes().mid(seen);
        QCOMPARE(boxes.size(), 3);
        QCOMPARE(boxes[2].text, QString("Successfully recovered 3 SMS to iPhone."));
        QVERIFY(!secondNodeDuringRun);
        QTRY_COMPARE_WITH_TIMEOUT(iphoneNodes(window, idOf(target)).size(), 2, 30000);
    }

    // The phone leaves while the backup program restores onto it: the
    // program is stopped (it would wait for the phone for ever) and the run
    // fails with a text saying so; the phone's node and records go in the
    // modal loop, and the run goes on with its own copies (the sanitizers
    // catch a use of anything freed).
    void aPhoneDetachedDuringTheRestore()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        const VirtualIPhoneSetup target = nextPhone();
        QString folder;
        QVERIFY(plugIPhone(window, driver, phones.path(), target, &folder));
        IOS6RestoreMessagesThread::setStepHook([](const char *name) {
            if (qstrcmp(name, "swap manifest") == 0)
                qputenv("QP_FAKE_BACKUP_MODE", "hang");
        });

        // Once the restore runs, the phone goes.
        bool detached = false;
        QTimer watcher;
        watcher.setInterval(10);
        connect(&watcher, &QTimer::timeout, this, [&]() {
            if (!detached && lastBackupCommand(recordFile()).contains("\nrestore\n")) {
                detached = true;
                removeVirtualIPhone(folder);
            }
        });
        watcher.start();

        selectHome();
        QStringList offered;
        driver.then(chooseTarget(&offered, nameOf(target)));
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        const int seen = int(driver.seenBoxes().size());
        QElapsedTimer clock;
        clock.start();
        window.miDb2IAll();
        watcher.stop();

        QVERIFY(detached);
        // Well before the program's own grace period had to run out.
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(driver.seenBoxes().size(), seen + 2);
        QCOMPARE(driver.seenBoxes().last().icon, int(QMessageBox::Critical));
        QVERIFY2(driver.seenBoxes().last().text.contains(
                     "<br/><br/>The iPhone was disconnected before the restore was done. Plug it in again"),
                 qPrintable(driver.seenBoxes().last().text));
        QTRY_VERIFY(iphoneNodes(window, idOf(target)).isEmpty());
        QVERIFY(!window.isDeviceBusy(idOf(target)));
        // The window goes on: the source's list is still there.
        QCOMPARE(localDbNode(window, "home")->children.size(), 2);
    }

    // After a transfer the phone's message file is newer than the copy the
    // window keeps of it: plugged in again, the phone shows what arrived,
    // without the cache being cleared by hand.
    void aReplugShowsWhatTheTransferBrought()
    {
        MainWindow &window = *shared;
        DialogDriver driver;
        // A phone the window reads through a backup, as from iOS 8 on.
        VirtualIPhoneSetup target = nextPhone();
        target.values["ProductVersion"] = "9.3.5";
        // The phone's own message file dates from well before the transfer,
        // as on a phone in use, so no clock tick can hide the change.
        QTemporaryDir aside;
        const QString made = writeVirtualIPhone(aside.path(), target);
        {
            QFile db(virtualIPhoneRoot(made) + "/var/mobile/Library/SMS/sms.db");
            QVERIFY(db.open(QIODevice::ReadWrite));
            QVERIFY(db.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        const QString folder = phones.filePath(target.folderName);
        driver.thenPress(QMessageBox::Ok); // the arrival note
        QVERIFY(QDir().rename(made, folder));
        const auto loaded = [&](int conversations) {
            return QTest::qWaitFor(
                [&]() {
                    const QList<MainWindow::Node *> nodes = iphoneNodes(window, idOf(target));
                    return nodes.size() == 1 && !window.isDeviceBusy(idOf(target))
                           && nodes.first()->children.size() == conversations;
                },
                60000);
        };
        const int before = int(typicalConversations().chats.size());
        QVERIFY(loaded(before));

        selectHome();
        QStringList offered;
        driver.then(chooseTarget(&offered, nameOf(target)));
        driver.thenPress(QMessageBox::Yes);
        driver.thenPress(QMessageBox::Ok);
        window.miDb2IAll();
        QVERIFY(lastBackupCommand(recordFile()).contains("\nrestore\n"));
        QCOMPARE(phoneMessageGuids(folder).size(),
                 typicalConversations().messages.size() + threeMessages().messages.size());

        // Unplugged and plugged in again: the phone stays as it is on disk.
        const QString plist = folder + "/device.plist";
        QVERIFY(QFile::rename(plist, folder + "/device.plist.away"));
        QTRY_VERIFY_WITH_TIMEOUT(iphoneNodes(window, idOf(target)).isEmpty(), 20000);
        driver.thenPress(QMessageBox::Ok);
        QVERIFY(QFile::rename(folder + "/device.plist.away", plist));
        QVERIFY2(loaded(before + int(threeMessages().chats.size())),
                 qPrintable(QString::number(iphoneNodes(window, idOf(target)).value(0)
                                                ? iphoneNodes(window, idOf(target)).first()->children.size()
                                                : -1)));
    }
};

QP_TEST_MAIN(TestTransferToIOS)

} // namespace tst_transfertoios

#include "tst_transfertoios.moc"
