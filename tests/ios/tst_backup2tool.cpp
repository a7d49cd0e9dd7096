// The driver of Apple's backup program, run against the fake program that
// stands where the program is looked for: the command lines it is given, how
// what it prints and how it ends decide success, a cancel that must not wait
// for the program, and the time estimate behind the progress bar.
#include "ios/applelibs.h"
#include "ios/backup2tool.h"
#include "tests/support/testmain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <memory>
#include <thread>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kGiB = 1024 * kMiB;

} // namespace

class TestBackup2Tool : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    const QString udid = QStringLiteral("00008030-001A35E22E38802E");

    QString record() const { return dir->filePath("args.txt"); }
    QDir root() const { return QDir(dir->filePath("backup root")); }

    // Runs op with the fake in mode; the exception's text, or "" when run returned.
    QString runMode(const QString &mode, int op = BACKUP2TOOL_OP_BACKUP)
    {
        qputenv("QP_FAKE_BACKUP_MODE", mode.toUtf8());
        backup2tool tool(nullptr, udid, root());
        try {
            tool.run(backup2tool_options(op));
        } catch (const std::runtime_error &e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        QVERIFY2(QFileInfo(backup2tool::programPath()).isExecutable(), qPrintable(backup2tool::programPath()));
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        qputenv("QP_FAKE_BACKUP_RECORD", QFile::encodeName(record()));
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
    }

    void commandLines_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<QStringList>("expected"); // ROOT stands for the root's path
        QTest::newRow("backup") << int(BACKUP2TOOL_OP_BACKUP)
                                << QStringList{"-u", udid, "--backup", "--target", udid, "--root", "ROOT"};
        QTest::newRow("restore") << int(BACKUP2TOOL_OP_RESTORE)
                                 << QStringList{"-u", udid, "--restore", "--target", udid, "--root", "ROOT",
                                                "--source", udid};
    }
    void commandLines()
    {
        QFETCH(int, op);
        QFETCH(QStringList, expected);
        expected.replaceInStrings("ROOT", root().absolutePath());
        // The root's blank stays inside its one argument.
        QCOMPARE(runMode("stdout:done", op), QString());
        QCOMPARE(QString::fromUtf8(readFile(record())), expected.join('\n') + '\n');
    }

    void anUnknownOperationStartsNothing()
    {
        QCOMPARE(runMode("stdout:done", 2), "unknown backup2tool_op.");
        QVERIFY(!QFileInfo::exists(record()));
    }

    void theWordErrorFailsTheRun_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("message"); // "" : the run succeeds
        QTest::newRow("on standard output") << "stdout:ERROR: device locked" << "\nERROR: device locked";
        QTest::newRow("on standard error") << "stderr:Backup error 13" << "Backup error 13\n";
        QTest::newRow("mixed case inside a word") << "stdout:NoErRoRs found" << "\nNoErRoRs found";
        QTest::newRow("a clean finish") << "stdout:Backup finished." << "";
        QTest::newRow("a non-zero exit without a word") << "silent" << "";
    }
    void theWordErrorFailsTheRun()
    {
        QFETCH(QString, mode);
        QFETCH(QString, message);
        QCOMPARE(runMode(mode), message);
    }

    void aCrashFailsWhateverItPrinted()
    {
        const QString message = runMode("crash");
        QVERIFY2(message.startsWith("AppleMobileBackup process crashed"), qPrintable(message));
    }

    void aMissingProgramCannotStart()
    {
        qputenv(kCommonFilesVar, QFile::encodeName(dir->filePath("no common files")));
        QCOMPARE(runMode("stdout:done"), "can not start AppleMobileBackup process.");
    }

    void aCancelKillsAHungProgramAtOnce()
    {
        qputenv("QP_FAKE_BACKUP_MODE", "hang");
        backup2tool tool(nullptr, udid, root());
        QList<QString> texts;
        connect(&tool, &backup2tool::update, &tool,
                [&](double progress, QString file, QString text) {
                    QVERIFY(progress >= 0 && progress < 2);
                    QVERIFY(file.isEmpty());
                    texts << text;
                },
                Qt::DirectConnection);
        QString thrown = "<none>";
        QElapsedTimer sinceCancel;
        std::thread worker([&] {
            try {
                tool.run(backup2tool_options(BACKUP2TOOL_OP_BACKUP));
                thrown.clear();
            } catch (const std::exception &e) {
                thrown = QString::fromUtf8(e.what());
            }
        });
        // Three polls of the program that never ends.
        QTest::qWait(700);
        sinceCancel.start();
        tool.cancel();
        worker.join();
        const qint64 took = sinceCancel.elapsed();
        QCOMPARE(thrown, QString());
        QVERIFY2(took < 1000, qPrintable(QString::number(took)));
        QVERIFY(texts.size() >= 2);
        for (const QString &text : texts)
            QVERIFY2(QRegularExpression("^[01] seconds passed$").match(text).hasMatch(), qPrintable(text));
    }

    void aStopSetBeforeTheRunIsNotLost()
    {
        // A cancel before run is cleared (the tool serves one run); the
        // dialog's flag still ends the wait.
        qputenv("QP_FAKE_BACKUP_MODE", "hang");
        backup2tool tool(nullptr, udid, root());
        std::atomic<bool> failed{true};
        tool.cancel();
        tool.watch(&failed);
        QElapsedTimer timer;
        timer.start();
        tool.run(backup2tool_options(BACKUP2TOOL_OP_BACKUP));
        QVERIFY(timer.elapsed() < 5000);
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
#include "tst_backup2tool.moc"
