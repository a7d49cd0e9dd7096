// The device backup and restore threads: where the temporary backup root lies
// and how that choice is remembered, which earlier backup is brought up to date
// and which is started afresh, what a failed backup leaves behind, and the
// texts a failed restore shows.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "ios/applelibs.h"
#include "ios/iosdevice.h"
#include "ios/iosmobilebackupthread.h"
#include "ios/iosmobilerestorethread.h"
#include "tests/support/filefixture.h"
#include "tests/support/backupfixture.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/permissionsapply.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"
#include "ui_progressform.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

namespace tst_iosmobilebackup {

using namespace testsupport;

namespace {

using Candidates = QList<QPair<QString, qint64>>;

struct Run
{
    int result = -1;
    QStringList boxes;
    QString status;
};

// The main window's pattern: start, run the dialog, wait; error boxes answered.
Run runUnderDialog(const std::function<QThread *(ProgressForm *)> &make)
{
    ProgressForm form("", nullptr);
    std::unique_ptr<QThread> thread(make(&form));
    DialogDriver driver;
    driver.thenPress(QMessageBox::Ok);
    thread->start();
    Run run;
    run.result = form.exec();
    thread->wait();
    for (const DialogDriver::Seen &seen : driver.seen())
        if (seen.className == "QMessageBox")
            run.boxes << seen.text;
    run.status = form.widgets()->lbStatus->text();
    return run;
}

} // namespace

class TestIOSMobileBackup : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    QMap<QString, qint64> freeSpace; // candidate folder -> figure answered
    QStringList asked;
    HttpRecorder server;
    IdsTranslator translator;
    QTemporaryDir phones;
    QString phoneFolder;
    IOSDevice device;

    QString path(const QString &name) const { return dir->filePath(name); }

    // Candidates in order, each answering its figure.
    void candidates(const Candidates &list)
    {
        QStringList folders;
        for (const auto &c : list) {
            folders << path(c.first);
            freeSpace.insert(QDir(path(c.first)).absolutePath(), c.second);
        }
        IOSMobileBackupThread::setVolumeCandidates(folders, [this](const QDir &d) {
            asked << d.absolutePath();
            return freeSpace.value(d.absolutePath(), -1);
        });
    }

    static QString rootIn(const QString &folder) { return QDir(folder).absoluteFilePath("__quillmarten_iosbk_temp"); }

    // A device backup folder as the backup program leaves one.
    static void writeDeviceBackup(const QString &folder, const QByteArray &status, const QString &version)
    {
        BackupFixture backup;
        backup.productVersion = version;
        backup.addFile("HomeDomain", "Library/Notes/notes.sqlite", "notes");
        backup.write(folder);
        writeFile(folder + "/Status.plist", status);
    }
    static QByteArray status(const QString &state, bool binary = true)
    {
        return plistBytes(QVariantMap{{"SnapshotState", state}, {"Version", "2.4"}}, binary);
    }

private slots:
    void initTestCase()
    {
        setMakerServerUrl(server.url());
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
        VirtualIPhoneSetup setup = typicalIPhone("phone", "8.4");
        setup.messages = generateMsgContent(3, 25, 4);
        phoneFolder = writeVirtualIPhone(phones.path(), setup);
        device.uniqueDeviceId = setup.values["UniqueDeviceID"].toString();
        device.productVersion = "8.4";
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        freeSpace.clear();
        asked.clear();
        QFile::remove(IOSMobileBackupThread::volumeFile());
        IOSMobileBackupThread::setVolumeCandidates({});
    }
    void cleanup()
    {
        IOSMobileBackupThread::setVolumeCandidates({});
        qunsetenv("QP_FAKE_BACKUP_MODE");
    }

    // ---- the temporary backup root ---------------------------------------------------

    void theDataFolderIsTheOnlyDefaultCandidate()
    {
        const QDir root = IOSMobileBackupThread::tempBackupRoot();
        QCOMPARE(root.absolutePath(), rootIn(appDataDir().absolutePath()));
        QCOMPARE(readFile(IOSMobileBackupThread::volumeFile()), appDataDir().absolutePath().toUtf8());
        // Nothing is made on disk: the backup program makes the root.
        QVERIFY(!root.exists());
    }

    void theMostFreeSpaceWins_data()
    {
        QTest::addColumn<Candidates>("list");
        QTest::addColumn<QString>("chosen"); // "" : the data folder
        using L = Candidates;
        QTest::newRow("the larger second") << L{{"a", 100}, {"b", 200}} << "b";
        QTest::newRow("equal space keeps the first") << L{{"a", 300}, {"b", 300}} << "a";
        QTest::newRow("an unknown figure is skipped") << L{{"a", -1}, {"b", 5}} << "b";
        QTest::newRow("below a file no folder can be made") << L{{"file/sub", 1LL << 40}, {"b", 1}} << "b";
        QTest::newRow("no space anywhere falls back") << L{{"a", 0}} << "";
        QTest::newRow("nothing usable falls back") << L{{"file/sub", 9}, {"c", -1}} << "";
    }
    void theMostFreeSpaceWins()
    {
        QFETCH(Candidates, list);
        QFETCH(QString, chosen);
        writeFile(path("file"), "a regular file");
        for (const auto &c : list)
            if (!c.first.startsWith("file/"))
                QVERIFY(QDir().mkpath(path(c.first)));
        candidates(list);
        const QString volume = chosen.isEmpty() ? appDataDir().absolutePath() : QDir(path(chosen)).absolutePath();
        QCOMPARE(IOSMobileBackupThread::tempBackupRoot().absolutePath(), rootIn(volume));
        QCOMPARE(readFile(IOSMobileBackupThread::volumeFile()), volume.toUtf8());
        QVERIFY(!asked.contains(QDir(path("file/sub")).absolutePath()));
        // The probe folders are gone again.
        for (const auto &c : list)
            QCOMPARE(QDir(path(c.first)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    void aRememberedFolderIsUsedWithoutAScan()
    {
        QVERIFY(QDir().mkpath(path("remembered")));
        QVERIFY(QDir().mkpath(path("bigger")));
        candidates({{"bigger", 1LL << 50}});
        writeFile(IOSMobileBackupThread::volumeFile(), QDir(path("remembered")).absolutePath().toUtf8());
        QCOMPARE(IOSMobileBackupThread::tempBackupRoot().absolutePath(), rootIn(path("remembered")));
        QVERIFY(asked.isEmpty());
    }

    void aBadRememberedPathIsChosenAgain_data()
    {
        QTest::addColumn<QByteArray>("remembered");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("a drive letter") << QByteArray("D:/");
        QTest::newRow("relative") << QByteArray("remembered");
        QTest::newRow("a folder that has gone") << QByteArray("/nonexistent/quillmarten/volume");
        QTest::newRow("with a line end") << QByteArray("/\n");
    }
    void aBadRememberedPathIsChosenAgain()
    {
        QFETCH(QByteArray, remembered);
        QVERIFY(QDir().mkpath(path("b")));
        candidates({{"b", 7}});
        writeFile(IOSMobileBackupThread::volumeFile(), remembered);
        QCOMPARE(IOSMobileBackupThread::tempBackupRoot().absolutePath(), rootIn(path("b")));
        QCOMPARE(readFile(IOSMobileBackupThread::volumeFile()), QDir(path("b")).absolutePath().toUtf8());
    }

    void removeTempBackupDeletesTheRootAndTheChoice()
    {
        QVERIFY(QDir().mkpath(path("b")));
        candidates({{"b", 7}});
        // No choice yet: the scan runs, and its root is the one removed.
        writeFile(rootIn(path("b")) + "/some-udid/Manifest.mbdb", "mbdb");
        writeFile(path("b") + "/keep.txt", "beside the root");
        IOSMobileBackupThread::removeTempBackup();
        QVERIFY(!QFileInfo::exists(rootIn(path("b"))));
        QVERIFY(!QFileInfo::exists(IOSMobileBackupThread::volumeFile()));
        QCOMPARE(readFile(path("b") + "/keep.txt"), QByteArray("beside the root"));
        QVERIFY(QFileInfo(appDataDir().absolutePath()).isDir());
    }

    // ---- reuse of an earlier backup ----------------------------------------------------

    void onlyAFinishedBackupOfThisVersionIsReused_data()
    {
        QTest::addColumn<QByteArray>("statusPlist");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("missing");
        QTest::addColumn<bool>("reused");
        QTest::newRow("finished, binary") << status("finished") << "8.4" << "" << true;
        QTest::newRow("finished, XML") << status("finished", false) << "8.4" << "" << true;
        QTest::newRow("Finished") << status("Finished") << "8.4" << "" << false;
        QTest::newRow("new") << status("new") << "8.4" << "" << false;
        QTest::newRow("another version") << status("finished") << "8.3" << "" << false;
        QTest::newRow("no Status.plist") << status("finished") << "8.4" << "Status.plist" << false;
        QTest::newRow("no Manifest.plist") << status("finished") << "8.4" << "Manifest.plist" << false;
        QTest::newRow("no Manifest.mbdb") << status("finished") << "8.4" << "Manifest.mbdb" << false;
        QTest::newRow("an unparsable Status.plist") << QByteArray("bplist00\xff\x01") << "8.4" << "" << false;
        QTest::newRow("a state that is no string") << plistBytes(QVariantMap{{"SnapshotState", 1}}, true) << "8.4"
                                                   << "" << false;
    }
    // A backup of iOS 10 or later keeps Manifest.db instead of Manifest.mbdb.
    void aFinishedNewerBackupIsReused_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<bool>("reused");
        QTest::newRow("complete") << "" << true;
        QTest::newRow("no Manifest.db") << "Manifest.db" << false;
        QTest::newRow("no Status.plist") << "Status.plist" << false;
        QTest::newRow("no Manifest.plist") << "Manifest.plist" << false;
    }
    void aFinishedNewerBackupIsReused()
    {
        QFETCH(QString, missing);
        QFETCH(bool, reused);
        BackupFixture backup;
        backup.productVersion = "16.5";
        backup.addFile("HomeDomain", "Library/Notes/notes.sqlite", "notes");
        const QString folder = writeModernBackup(backup, path("newer"));
        if (!missing.isEmpty())
            QVERIFY(QFile::remove(folder + "/" + missing));
        QCOMPARE(IOSMobileBackupThread::canReuse(QDir(folder), "16.5"), reused);
        QVERIFY(!IOSMobileBackupThread::canReuse(QDir(folder), "16.4"));
    }

    void onlyAFinishedBackupOfThisVersionIsReused()
    {
        QFETCH(QByteArray, statusPlist);
        QFETCH(QString, version);
        QFETCH(QString, missing);
        QFETCH(bool, reused);
        candidates({{"volume", 1000}});
        QVERIFY(QDir().mkpath(path("volume")));
        const QString folder = IOSMobileBackupThread::tempBackupRoot().absoluteFilePath(device.uniqueDeviceId);
        writeDeviceBackup(folder, statusPlist, version);
        if (!missing.isEmpty())
            QVERIFY(QFile::remove(folder + "/" + missing));
        QCOMPARE(IOSMobileBackupThread::canReuse(QDir(folder), "8.4"), reused);

        writeFile(folder + "/marker", "from the earlier backup");
        const Run run = runUnderDialog([&](ProgressForm *form) { return new IOSMobileBackupThread(&device, form); });
        QCOMPARE(run.result, 1);
        QCOMPARE(run.status, "Backing up iPhone...");
        QCOMPARE(QFileInfo::exists(folder + "/marker"), reused);
        // Either way the program has brought the backup up to date.
        QVERIFY(IOSMobileBackupThread::canReuse(QDir(folder), "8.4"));
        const QString smsDb = folder + "/" + backupFileId("HomeDomain", "Library/SMS/sms.db");
        QCOMPARE(readFile(smsDb), readFile(virtualIPhoneRoot(phoneFolder) + "/var/mobile/Library/SMS/sms.db"));
    }

    void aFailedBackupLeavesNoDeviceFolder_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("box");
        QTest::newRow("printed error") << "status:255:ERROR: <lockdown> refused\nBackup Failed (Error Code 1).\n"
                                       << "ERROR: &lt;lockdown&gt; refused<br/>Backup Failed (Error Code 1).<br/><br/>"
                                          "Note: You can restart your device to try again.";
        QTest::newRow("crash") << "crash" << "idevicebackup2 process crashed";
    }
    void aFailedBackupLeavesNoDeviceFolder()
    {
        QFETCH(QString, mode);
        QFETCH(QString, box);
        candidates({{"volume", 1000}});
        QVERIFY(QDir().mkpath(path("volume")));
        const QDir root = IOSMobileBackupThread::tempBackupRoot();
        const QString folder = root.absoluteFilePath(device.uniqueDeviceId);
        writeDeviceBackup(folder, status("finished"), "8.4");
        writeFile(root.absoluteFilePath("other-phone/Manifest.mbdb"), "another phone's backup");
        qputenv("QP_FAKE_BACKUP_MODE", mode.toUtf8());
        const Run run = runUnderDialog([&](ProgressForm *form) { return new IOSMobileBackupThread(&device, form); });
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY2(run.boxes[0].contains(box), qPrintable(run.boxes[0]));
        QVERIFY(!QFileInfo::exists(folder));
        QCOMPARE(readFile(root.absoluteFilePath("other-phone/Manifest.mbdb")), QByteArray("another phone's backup"));
    }

    // Where the device folder cannot go, the box says what stays instead of
    // letting the tool bring a stale or half backup up to date.
    void aDeviceFolderThatCannotGoIsNamed_data()
    {
        QTest::addColumn<QByteArray>("statusPlist");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("box");
        QTest::newRow("an earlier, unfinished backup")
            << status("new") << "" << "The earlier backup in %1 cannot be removed: %1/locked/.keep stays.";
        QTest::newRow("the failed backup") << status("finished") << "stdout:ERROR: refused"
                                           << "The unfinished backup in %1 cannot be removed: %1/locked/.keep stays.";
    }
    void aDeviceFolderThatCannotGoIsNamed()
    {
        QFETCH(QByteArray, statusPlist);
        QFETCH(QString, mode);
        QFETCH(QString, box);
        candidates({{"volume", 1000}});
        QVERIFY(QDir().mkpath(path("volume")));
        const QString folder = IOSMobileBackupThread::tempBackupRoot().absoluteFilePath(device.uniqueDeviceId);
        writeDeviceBackup(folder, statusPlist, "8.4");
        writeFile(folder + "/locked/.keep", "");
        setFolderWritable(QFile::encodeName(folder + "/locked").constData(), false);
        if (!mode.isEmpty())
            qputenv("QP_FAKE_BACKUP_MODE", mode.toUtf8());
        Run run;
        {
            PermissionsApply permissions;
            run = runUnderDialog([&](ProgressForm *form) { return new IOSMobileBackupThread(&device, form); });
        }
        setFolderWritable(QFile::encodeName(folder + "/locked").constData(), true);
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY2(run.boxes[0].contains(box.arg(folder)), qPrintable(run.boxes[0]));
        QVERIFY(QFileInfo::exists(folder + "/locked/.keep"));
        if (mode.isEmpty()) // the tool never ran over what stayed
            QVERIFY(!QFileInfo::exists(folder + "/" + backupFileId("HomeDomain", "Library/SMS/sms.db")));
    }

    void anUnsafeDeviceIdDeletesNothing_data()
    {
        QTest::addColumn<QString>("udid");
        QTest::newRow("empty") << "";
        QTest::newRow("dot") << ".";
        QTest::newRow("dot dot") << "..";
        QTest::newRow("a separator") << "../other-phone";
        QTest::newRow("a deeper path") << "a/b";
    }
    void anUnsafeDeviceIdDeletesNothing()
    {
        QFETCH(QString, udid);
        candidates({{"volume", 1000}});
        QVERIFY(QDir().mkpath(path("volume")));
        const QDir root = IOSMobileBackupThread::tempBackupRoot();
        writeFile(root.absoluteFilePath("other-phone/Manifest.mbdb"), "another phone's backup");
        writeFile(root.absoluteFilePath("Manifest.mbdb"), "in the root");
        writeFile(path("volume/beside.txt"), "beside the root");
        QVERIFY(!IOSMobileBackupThread::isSafeFolderName(udid));
        IOSDevice odd = device;
        odd.uniqueDeviceId = udid;
        // Even a program that fails must not lead to a deletion.
        qputenv("QP_FAKE_BACKUP_MODE", "stdout:error");
        qputenv("QP_FAKE_BACKUP_RECORD", QFile::encodeName(path("args.txt")));
        const Run run = runUnderDialog([&](ProgressForm *form) { return new IOSMobileBackupThread(&odd, form); });
        qunsetenv("QP_FAKE_BACKUP_RECORD");
        QCOMPARE(run.result, 0);
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY(!QFileInfo::exists(path("args.txt")));
        QCOMPARE(readFile(root.absoluteFilePath("other-phone/Manifest.mbdb")), QByteArray("another phone's backup"));
        QCOMPARE(readFile(root.absoluteFilePath("Manifest.mbdb")), QByteArray("in the root"));
        QCOMPARE(readFile(path("volume/beside.txt")), QByteArray("beside the root"));
    }

    void aCancelStopsTheProgramQuietly_data()
    {
        QTest::addColumn<bool>("restore");
        QTest::newRow("backup") << false;
        QTest::newRow("restore") << true;
    }
    void aCancelStopsTheProgramQuietly()
    {
        QFETCH(bool, restore);
        candidates({{"volume", 1000}});
        QVERIFY(QDir().mkpath(path("volume")));
        const QString folder = IOSMobileBackupThread::tempBackupRoot().absoluteFilePath(device.uniqueDeviceId);
        if (restore)
            writeDeviceBackup(path("root/" + device.uniqueDeviceId), status("finished"), "8.4");
        qputenv("QP_FAKE_BACKUP_MODE", "hang");
        qputenv("QP_FAKE_BACKUP_RECORD", QFile::encodeName(path("args.txt")));
        ProgressForm form("", nullptr);
        std::unique_ptr<QThread> thread;
        if (restore)
            thread.reset(new IOSMobileRestoreThread(&device, QDir(path("root")), &form));
        else
            thread.reset(new IOSMobileBackupThread(&device, &form));
        DialogDriver driver;
        // Once the program listens for the request (it records its command
        // line after that): a cancel before would find it not yet listening
        // on a loaded machine.
        QTimer listening;
        listening.setInterval(20);
        connect(&listening, &QTimer::timeout, &form, [&] {
            if (QFileInfo::exists(path("args.txt"))) {
                listening.stop();
                form.cancel();
            }
        });
        driver.then([&](QWidget *) { listening.start(); });
        thread->start();
        QCOMPARE(form.exec(), 0);
        QElapsedTimer afterCancel;
        afterCancel.start();
        QVERIFY(thread->wait(5000));
        QVERIFY2(afterCancel.elapsed() < 1000, qPrintable(QString::number(afterCancel.elapsed())));
        QTest::qWait(50);
        qunsetenv("QP_FAKE_BACKUP_RECORD");
        for (const DialogDriver::Seen &seen : driver.seen())
            QCOMPARE(seen.className, QString("ProgressForm"));
        // Asked to stop, the program stopped by itself.
        QVERIFY(readFile(path("args.txt")).endsWith("\nSIGTERM\n"));
        if (restore) {
            QVERIFY(static_cast<IOSMobileRestoreThread *>(thread.get())->stoppedByUser());
            QVERIFY(QFileInfo::exists(path("root/" + device.uniqueDeviceId + "/Manifest.mbdb")));
        } else {
            // The part it had written is gone: the next backup starts afresh.
            QVERIFY(!QFileInfo::exists(folder));
        }
    }

    void theFormShowsTheProgramsPercentages()
    {
        candidates({{"volume", 1000}});
        QVERIFY(QDir().mkpath(path("volume")));
        qputenv("QP_FAKE_BACKUP_STEP_MS", "150");
        QList<int> shown;
        const Run run = runUnderDialog([&](ProgressForm *form) {
            connect(form->widgets()->progressBar, &QProgressBar::valueChanged, form, [&](int v) { shown << v; });
            return new IOSMobileBackupThread(&device, form);
        });
        qunsetenv("QP_FAKE_BACKUP_STEP_MS");
        QCOMPARE(run.result, 1);
        // Before the program's first bar the clock's may have moved it.
        QCOMPARE(shown.mid(shown.indexOf(25)), (QList<int>{25, 50, 75, 100}));
    }

    // ---- restore ---------------------------------------------------------------------

    void restoreErrorsAreExplained_data()
    {
        const QString note = "<br/><br/>Note: You can restart your device to try again.";
        const QString space = " GB free disk space on your device is required restore data.  Please remove some "
                              "camera roll videos from your device to computer to free up disk space first and "
                              "then try again.";
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << "ERROR: lockdown refused" << "ERROR: lockdown refused" + note;
        QTest::newRow("markup shown literally") << "error <b>bold</b>" << "error &lt;b&gt;bold&lt;/b&gt;" + note;
        QTest::newRow("2 GB") << "ERROR: Insufficient free disk space on device to restore (100 of 2147483648)"
                              << "2" + space;
        QTest::newRow("13 GB in the exponent form")
            << "error: insufficient FREE disk space on device to restore (100 < 13958643712) more" << "1e+01" + space;
        QTest::newRow("no blank before the second number")
            << "ERROR: Insufficient free disk space on device to restore (100 <13958643712)"
            << "ERROR: Insufficient free disk space on device to restore (100 &lt;13958643712)" + note;
        QTest::newRow("a size beyond 64 bits") << "Insufficient free disk space on device to restore (1 > "
                                                  "99999999999999999999999)"
                                               << "9e+13" + space;
    }
    void restoreErrorsAreExplained()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(IOSMobileRestoreThread::restoreErrorText(message), shown);
    }

    void findMyIPhoneLinksTheTutorial()
    {
        const QString shown = IOSMobileRestoreThread::restoreErrorText("ERROR: find my iphone MUST be disabled <now>");
        QCOMPARE(shown, QString("Please follow <a href=\"%1/tutorial/how-to-disable-find-my-iphone.html\"> this "
                                "tutorial</a> to disable \"Find my iPhone\" first and then restart your iPhone to "
                                "try again.<br/><br/>")
                            .arg(makerServerBase()));
        QVERIFY(shown.startsWith("Please follow <a href=\"http://127.0.0.1:"));
    }

    void aFailedRestoreKeepsTheBackup_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("box");
        // The phone's figures: 21474836480 free of 63966400512.
        QTest::newRow("no space") << "diskspace" << "6e+01 GB free disk space on your device is required";
        QTest::newRow("find my iphone") << "findmyiphone" << "Please follow <a href=";
        QTest::newRow("crash") << "crash" << "idevicebackup2 process crashed";
        QTest::newRow("an unfinished backup") << "unfinished"
                                              << "ERROR: Cannot ensure we restore from a successful backup. Aborting.";
    }
    void aFailedRestoreKeepsTheBackup()
    {
        QFETCH(QString, mode);
        QFETCH(QString, box);
        const QString folder = path("root/" + device.uniqueDeviceId);
        // The program puts only a backup whose snapshot finished onto a phone.
        writeDeviceBackup(folder, status(mode == "unfinished" ? "uploading" : "finished"), "8.4");
        const QMap<QString, QByteArray> before{{"Manifest.mbdb", readFile(folder + "/Manifest.mbdb")}};
        qputenv("QP_FAKE_BACKUP_MODE", mode == "unfinished" ? QByteArray() : mode.toUtf8());
        const Run run = runUnderDialog(
            [&](ProgressForm *form) { return new IOSMobileRestoreThread(&device, QDir(path("root")), form); });
        QCOMPARE(run.result, 0);
        // Before the phone restarts, the user is told it will.
        QCOMPARE(run.status,
                 "Restoring iPhone... It restarts when the restore is done: keep it connected until it has.");
        QCOMPARE(run.boxes.size(), 1);
        QVERIFY2(run.boxes[0].contains(box), qPrintable(run.boxes[0]));
        QCOMPARE(readFile(folder + "/Manifest.mbdb"), before["Manifest.mbdb"]);
    }
};

QP_TEST_MAIN(TestIOSMobileBackup)

} // namespace tst_iosmobilebackup

#include "tst_iosmobilebackup.moc"
