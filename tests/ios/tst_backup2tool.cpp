// The driver of idevicebackup2, run against the stand-in that speaks the
// program's command line and output, and against the real program with no
// phone behind an empty usbmuxd socket: the command lines it is given, how
// what it prints and how it ends decide the outcome, the bar read from the
// program's redraws, a cancel that asks before it kills, and the time
// estimate behind the bar of a program that prints none.
#include "ios/applelibs.h"
#include "ios/backup2tool.h"
#include "ios/mobiledevice.h"
#include "tests/support/emptyusbmuxlistener.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace tst_backup2tool {

using namespace testsupport;

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kGiB = 1024 * kMiB;

// What one run gave: the exception's text ("" when run returned), the bar's
// values and texts as emitted.
struct Outcome
{
    QString thrown = "<none>";
    QList<double> values;
    QStringList texts;
    bool stopped = false;
    qint64 afterCancelMs = -1; // how long the run took to return after the cancel
};

} // namespace

class TestBackup2Tool : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    QTemporaryDir phones;
    QString phoneUdid;
    const QString udid = QStringLiteral("00008030-001A35E22E38802E");

    QString record() const { return dir->filePath("args.txt"); }
    QDir root() const { return QDir(dir->filePath("backup root")); }

    // Runs op on a worker thread, as the backup threads do; cancels from this
    // thread once cancelWhen holds, when given (or does interrupt instead).
    Outcome runTool(const QString &mode, int op = BACKUP2TOOL_OP_BACKUP, const QString &id = QString(),
                    const std::function<bool()> &cancelWhen = {}, void *device = nullptr,
                    const std::function<void()> &interrupt = {})
    {
        qputenv("QP_FAKE_BACKUP_MODE", mode.toUtf8());
        backup2tool tool(device, id.isNull() ? udid : id, root());
        Outcome outcome;
        connect(&tool, &backup2tool::update, &tool,
                [&](double progress, QString file, QString text) {
                    if (!file.isEmpty())
                        outcome.texts << "a file: " + file;
                    outcome.values << progress;
                    outcome.texts << text;
                },
                Qt::DirectConnection);
        std::atomic<bool> finished{false};
        std::thread worker([&] {
            try {
                tool.run(backup2tool_options(op));
                outcome.thrown.clear();
            } catch (const std::exception &e) {
                outcome.thrown = QString::fromUtf8(e.what());
            }
            finished = true;
        });
        QElapsedTimer sinceCancel;
        if (cancelWhen) {
            const bool ready = QTest::qWaitFor(cancelWhen, 20000);
            if (!ready)
                outcome.texts << "the moment to cancel never came";
            sinceCancel.start();
            if (interrupt) {
                interrupt();
                // A run the interruption does not end is cancelled after a
                // while, so the case fails instead of waiting for ever.
                if (!QTest::qWaitFor([&] { return finished.load(); }, 15000))
                    tool.cancel();
            } else {
                tool.cancel();
            }
        }
        worker.join();
        if (cancelWhen)
            outcome.afterCancelMs = sinceCancel.elapsed();
        outcome.stopped = tool.stoppedByUser();
        return outcome;
    }
    QString runMode(const QString &mode, int op = BACKUP2TOOL_OP_BACKUP) { return runTool(mode, op).thrown; }
    // The stand-in has recorded its command line, and so listens for SIGTERM.
    std::function<bool()> started() const
    {
        return [this] { return QFileInfo::exists(record()); };
    }

private slots:
    void initTestCase()
    {
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        // Real phones get the program on PATH; virtual ones the stand-in.
        qunsetenv("QP_VIRTUAL_IPHONES_DIR");
        QCOMPARE(backup2tool::programPath(), QStandardPaths::findExecutable("idevicebackup2"));
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
        QVERIFY2(QFileInfo(backup2tool::programPath()).isExecutable(), qPrintable(backup2tool::programPath()));
        QVERIFY(backup2tool::programPath().startsWith(QP_COMMON_FILES));
        const VirtualIPhoneSetup setup = typicalIPhone("phone", "8.4");
        writeVirtualIPhone(phones.path(), setup);
        phoneUdid = setup.values["UniqueDeviceID"].toString();
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        qputenv("QP_FAKE_BACKUP_RECORD", QFile::encodeName(record()));
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        qunsetenv("QP_FAKE_BACKUP_STEP_MS");
        backup2tool::setStopGracePeriod(10000);
    }

    void commandLines_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<QStringList>("expected"); // ROOT stands for the root's path
        QTest::newRow("backup") << int(BACKUP2TOOL_OP_BACKUP) << QStringList{"-u", udid, "backup", "ROOT"};
        QTest::newRow("restore") << int(BACKUP2TOOL_OP_RESTORE)
                                 << QStringList{"-u", udid, "-s", udid, "restore", "--system", "ROOT"};
    }
    void commandLines()
    {
        QFETCH(int, op);
        QFETCH(QStringList, expected);
        expected.replaceInStrings("ROOT", root().absolutePath());
        // The root's blank stays inside its one argument; the program refuses
        // a root that does not exist, so the run makes it.
        QVERIFY(!root().exists());
        const QString success = op == BACKUP2TOOL_OP_BACKUP ? "Backup Successful.\n" : "Restore Successful.\n";
        QCOMPARE(runMode("stdout:" + success, op), QString());
        QCOMPARE(QString::fromUtf8(readFile(record())), expected.join('\n') + '\n');
        // The other operation's line is no success.
        const QString other = op == BACKUP2TOOL_OP_BACKUP ? "Restore Successful.\n" : "Backup Successful.\n";
        QCOMPARE(runMode("stdout:" + other, op),
                 "idevicebackup2 ended without reporting success (exit status 0).");
    }

    void anUnknownOperationStartsNothing()
    {
        QCOMPARE(runMode("stdout:Backup Successful.\n", 2), "unknown backup2tool_op.");
        QVERIFY(!QFileInfo::exists(record()));
    }

    // The program's output and exit status against the outcome.
    void theProgramsOutputDecides_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("device"); // "phone": the virtual phone; else an id no phone has
        QTest::addColumn<QString>("message"); // "" : the run succeeds
        const QString bar = "\r[=========================                         ]  50% (1.0 kB/2.0 kB)     ";
        QTest::newRow("usage text, 255: the command line is refused")
            << "" << "" << "idevicebackup2 did not accept its command line (exit status 255).";
        QTest::newRow("no phone, 255") << "" << "unplugged" << "No device found with udid unplugged.";
        QTest::newRow("a file named error, then success")
            << "status:0:Sending '" + udid + "/Library/Failed/error.txt' (1.2 kB)\n" + bar
                   + "\nBackup Successful.\n"
            << "phone" << "";
        QTest::newRow("the snapshot did not finish, 0")
            << "status:0:Received 3 files from device.\nBackup Failed (Error Code 0).\n" << "phone"
            << "Backup Failed (Error Code 0).";
        QTest::newRow("ERROR: at exit status 0")
            << "status:0:ERROR: Could not start service com.apple.mobilebackup2.\nBackup Successful.\n" << "phone"
            << "ERROR: Could not start service com.apple.mobilebackup2.";
        QTest::newRow("aborted at exit status 0") << "status:0:Backup Aborted.\n" << "phone" << "Backup Aborted.";
        QTest::newRow("the phone's error, 45")
            << "status:45:Starting Restore...\nErrorCode 211: Find My iPhone must be disabled (MBErrorDomain/211)\n"
               "Restore Failed (Error Code 211).\n"
            << "phone"
            << "ErrorCode 211: Find My iPhone must be disabled (MBErrorDomain/211)\nRestore Failed (Error Code 211).";
        QTest::newRow("a success line, but a non-zero exit")
            << "status:1:Backup Successful.\n" << "phone" << "idevicebackup2 failed with exit status 1.";
        QTest::newRow("no word, 3") << "silent" << "phone" << "idevicebackup2 failed with exit status 3.";
        QTest::newRow("no word, 0") << "status:0:" << "phone"
                                    << "idevicebackup2 ended without reporting success (exit status 0).";
        QTest::newRow("a success line after a bar that stopped short")
            << "status:0:" + bar + "Received 3 files from device.\nBackup Successful.\n" << "phone" << "";
        QTest::newRow("errors on standard error") << "stderr:ERROR: could not lock file! error code: -1\n"
                                                  << "phone" << "ERROR: could not lock file! error code: -1";
    }
    void theProgramsOutputDecides()
    {
        QFETCH(QString, mode);
        QFETCH(QString, device);
        QFETCH(QString, message);
        const QString id = device == "phone" ? phoneUdid : device;
        QCOMPARE(runTool(mode, BACKUP2TOOL_OP_BACKUP, id).thrown, message);
    }

    void aWholeBackupShowsTheProgramsPercentages()
    {
        // A pause after each redraw: each reaches the bar before the next.
        qputenv("QP_FAKE_BACKUP_STEP_MS", "150");
        const Outcome outcome = runTool("", BACKUP2TOOL_OP_BACKUP, phoneUdid);
        QCOMPARE(outcome.thrown, QString());
        QList<double> shown;
        for (double v : outcome.values)
            if (shown.isEmpty() || shown.last() != v)
                shown << v;
        // Before the program's first bar (while it writes the backup) the
        // clock's estimate stands in.
        QCOMPARE(shown.mid(shown.indexOf(25.0)), (QList<double>{25, 50, 75, 100}));
        QVERIFY(outcome.texts.contains("75%"));
        QVERIFY(QFileInfo::exists(root().absoluteFilePath(phoneUdid + "/Manifest.mbdb")));
    }

    void aCrashFailsWhateverItPrinted()
    {
        const QString message = runMode("crash");
        QVERIFY2(message.startsWith("idevicebackup2 process crashed"), qPrintable(message));
    }

    void aMissingProgramCannotStart()
    {
        qputenv(kCommonFilesVar, QFile::encodeName(dir->filePath("no common files")));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(dir->path()));
        const QString message = runMode("stdout:Backup Successful.\n");
        qputenv("PATH", path);
        QCOMPARE(message, "can not start idevicebackup2 process (package libimobiledevice-utils).");
    }

    void aCancelAsksTheProgramToStop()
    {
        // The stand-in stops on SIGTERM as the program does, and says so.
        const Outcome outcome = runTool("hang", BACKUP2TOOL_OP_BACKUP, phoneUdid, started());
        QCOMPARE(outcome.thrown, QString());
        QVERIFY(outcome.stopped);
        QVERIFY(readFile(record()).endsWith("\nSIGTERM\n"));
        QVERIFY2(outcome.afterCancelMs < 5000, qPrintable(QString::number(outcome.afterCancelMs)));
    }

    void aProgramDeafToTheRequestIsKilledAfterTheGracePeriod()
    {
        backup2tool::setStopGracePeriod(300);
        const Outcome outcome = runTool("deaf", BACKUP2TOOL_OP_BACKUP, phoneUdid, started());
        QCOMPARE(outcome.thrown, QString());
        QVERIFY(outcome.stopped);
        QVERIFY(!readFile(record()).contains("SIGTERM"));
        const qint64 took = outcome.afterCancelMs;
        QVERIFY2(took >= 300 && took < 5000, qPrintable(QString::number(took)));
    }

    // The phone is reported unplugged while the program waits for it (the
    // real one spins on the dead connection for ever): the program is asked
    // to stop, or killed, and the run fails saying why; no user stopped it.
    void aPhoneThatLeavesStopsTheProgramAndFailsTheRun_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("op");
        QTest::addColumn<QString>("text");
        QTest::newRow("backup, program stops") << "hang" << int(BACKUP2TOOL_OP_BACKUP)
                                               << "The iPhone was disconnected before the backup was done. Plug it "
                                                  "in again and keep it connected until the backup is done.";
        QTest::newRow("restore, program killed") << "deaf" << int(BACKUP2TOOL_OP_RESTORE)
                                                 << "The iPhone was disconnected before the restore was done. Plug "
                                                    "it in again and keep it connected until the restore is done.";
    }
    void aPhoneThatLeavesStopsTheProgramAndFailsTheRun()
    {
        QFETCH(QString, mode);
        QFETCH(int, op);
        QFETCH(QString, text);
        backup2tool::setStopGracePeriod(300);
        // A handle the library reports removed, as it does from its thread.
        static char handle;
        _DeviceNotifyTarget target{nullptr, nullptr, nullptr};
        const auto report = [&](unsigned int message) {
            AMDeviceNotificationCallbackInfo info{};
            info.device = reinterpret_cast<AMDeviceRef>(&handle);
            info.message = message;
            mobiledevice_notification_callback(&info, &target);
        };
        report(kAMDeviceAttached);
        QVERIFY(!mobiledevice_has_left(&handle));
        const Outcome outcome =
            runTool(mode, op, phoneUdid, started(), &handle, [&] { report(kAMDeviceDetached); });
        QCOMPARE(outcome.thrown, text);
        QVERIFY(!outcome.stopped);
        QCOMPARE(readFile(record()).endsWith("\nSIGTERM\n"), mode == "hang");
        QVERIFY2(outcome.afterCancelMs < 5000, qPrintable(QString::number(outcome.afterCancelMs)));
        // Plugged in again, the same handle is no longer gone.
        report(kAMDeviceAttached);
        QVERIFY(!mobiledevice_has_left(&handle));
    }

    void aCancelOfAProgramThatPrintsNothingIsPrompt()
    {
        // Three polls of the program that never ends.
        const Outcome outcome = runTool("hang", BACKUP2TOOL_OP_RESTORE, phoneUdid, [] {
            QTest::qWait(700);
            return true;
        });
        QCOMPARE(outcome.thrown, QString());
        QVERIFY(outcome.stopped);
        QVERIFY2(outcome.afterCancelMs < 1000, qPrintable(QString::number(outcome.afterCancelMs)));
        // No bar from the program: the clock's, from the first poll on.
        QVERIFY(outcome.texts.size() >= 2);
        for (const QString &text : outcome.texts)
            QVERIFY2(QRegularExpression("^[01] seconds passed$").match(text).hasMatch(), qPrintable(text));
    }

    void aStopSetBeforeTheRunIsNotLost()
    {
        // A cancel before run is cleared (the tool serves one run); the
        // dialog's flag still ends the wait.
        qputenv("QP_FAKE_BACKUP_MODE", "hang");
        backup2tool tool(nullptr, phoneUdid, root());
        std::atomic<bool> failed{true};
        tool.cancel();
        tool.watch(&failed);
        QElapsedTimer timer;
        timer.start();
        tool.run(backup2tool_options(BACKUP2TOOL_OP_BACKUP));
        QVERIFY(timer.elapsed() < 5000);
        QVERIFY(tool.stoppedByUser());
    }

    // The real program, no phone: it takes the command lines, asks usbmuxd
    // for the phone and says it found none.
    void theRealProgramTakesTheCommandLines_data()
    {
        QTest::addColumn<int>("op");
        QTest::newRow("backup") << int(BACKUP2TOOL_OP_BACKUP);
        QTest::newRow("restore") << int(BACKUP2TOOL_OP_RESTORE);
    }
    void theRealProgramTakesTheCommandLines()
    {
        QFETCH(int, op);
        qputenv(kCommonFilesVar, QFile::encodeName(dir->filePath("no common files")));
        const QString program = backup2tool::programPath();
        QVERIFY2(!program.isEmpty(), "idevicebackup2 is not on PATH (package libimobiledevice-utils)");
        QCOMPARE(program, QStandardPaths::findExecutable("idevicebackup2"));
        EmptyUsbmuxListener muxer(dir->filePath("usbmuxd"));
        QVERIFY(muxer.isListening());
        qputenv("USBMUXD_SOCKET_ADDRESS", muxer.address().toUtf8());
        const QString thrown = runMode(QString(), op);
        qunsetenv("USBMUXD_SOCKET_ADDRESS");
        QCOMPARE(thrown, "No device found with udid " + udid + ".");
        QVERIFY(muxer.listRequests() >= 1);
    }

    void theEstimateFollowsTheUsedSpace_data()
    {
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("available");
        QTest::addColumn<int>("seconds");
        QTest::newRow("32768 MiB in use") << 64 * kGiB << 32 * kGiB << 983;
        QTest::newRow("34 MiB: one second") << 34 * kMiB << qint64(0) << 1;
        QTest::newRow("33 MiB would give 0") << 33 * kMiB << qint64(0) << 60;
        QTest::newRow("no values") << qint64(0) << qint64(0) << 60;
        QTest::newRow("less than a MiB") << kMiB - 1 << qint64(0) << 60;
        QTest::newRow("more free than total") << kGiB << 2 * kGiB << 60;
    }
    void theEstimateFollowsTheUsedSpace()
    {
        QFETCH(qint64, total);
        QFETCH(qint64, available);
        QFETCH(int, seconds);
        QCOMPARE(backup2tool::estimateSeconds(total, available), seconds);
    }

    void theBarStopsShortOf100()
    {
        QVERIFY(qAbs(backup2tool::progressAfter(491, 983) - 49.45) < 0.01);
        QCOMPARE(backup2tool::progressAfter(983, 983), 99.0);
        QCOMPARE(backup2tool::progressAfter(5000, 983), 99.0);
        QCOMPARE(backup2tool::progressAfter(0, 60), 0.0);
        QCOMPARE(backup2tool::progressAfter(30, 0), 49.5);
    }

    void freeSpaceOfAMissingFolderIsUnknown()
    {
        QCOMPARE(diskFreeSpace(QDir(dir->filePath("missing/folder"))), qint64(-1));
        QVERIFY(diskFreeSpace(QDir(dir->path())) > 0);
    }

    // Where QStorageInfo finds no volume for the folder (a chroot, whose mount
    // table describes the host), the folder's file system still answers.
    void freeSpaceWithoutAMountTableEntry()
    {
        const QStorageInfo none; // what QStorageInfo answers without an entry
        QVERIFY(!none.isValid());
        const qint64 free = diskFreeSpaceOf(QDir(dir->path()), none);
        QVERIFY(free > 0);
        // The folder's own volume: what QStorageInfo says where it can.
        const QStorageInfo real(dir->path());
        if (real.isValid())
            QVERIFY(qAbs(free - real.bytesAvailable()) < qint64(1) << 30);
        QCOMPARE(diskFreeSpaceOf(QDir(dir->filePath("missing/folder")), none), qint64(-1));
        QFile file(dir->filePath("a-file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QCOMPARE(diskFreeSpaceOf(QDir(dir->filePath("a-file")), none), qint64(-1));
    }
};

QP_TEST_MAIN(TestBackup2Tool)

} // namespace tst_backup2tool

#include "tst_backup2tool.moc"
