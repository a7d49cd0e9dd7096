// Swapping a backup's files through a journal: whatever point a swap is cut
// at (a failure or a kill), the folder ends with all old files or all new
// ones; and the leftovers of killed runs are removed, never anything else.
#include "app/datafolder.h"
#include "ios/backupleftovers.h"
#include "ios/backupmanifest.h"
#include "ios/backupswapjournal.h"
#include "tests/support/filefixture.h"
#include "tests/support/testmain.h"

#include <QTemporaryDir>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace tst_backupswapjournal {

using namespace testsupport;

namespace {

const QByteArray kOldDb("old database bytes");
const QByteArray kNewDb("new database, longer than the old one");
const QByteArray kOldList("old list");
const QByteArray kNewList("new list");

// A folder with two files and their replacements beside them.
void writeFolder(const QString &dir)
{
    writeFile(dir + "/db", kOldDb);
    writeFile(dir + "/list", kOldList);
    writeFile(dir + "/db-new7", kNewDb);
    writeFile(dir + "/list-new7", kNewList);
    writeFile(dir + "/db-wal", "stale");
}

BackupSwapJournal swapOf(const QString &dir)
{
    BackupSwapJournal swap{QDir(dir)};
    swap.addMove("db", "db-new7", "db-7");
    swap.addMove("list", "list-new7", "list-7");
    swap.addMove("db-wal", QString(), "db-wal-7");
    return swap;
}

const QMap<QString, QByteArray> oldTree{
    {"db", kOldDb}, {"list", kOldList}, {"db-new7", kNewDb}, {"list-new7", kNewList}, {"db-wal", "stale"}};
// The old files beside the new are kept aside under the stamp.
const QMap<QString, QByteArray> newTree{
    {"db", kNewDb}, {"list", kNewList}, {"db-7", kOldDb}, {"list-7", kOldList}, {"db-wal-7", "stale"}};

} // namespace

class TestBackupSwapJournal : public QObject
{
    Q_OBJECT

private slots:
    void everyCutEndsWholeOldOrWholeNew_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("kill");
        QTest::addColumn<bool>("forward");
        const char *steps[] = {"db aside", "db in", "list aside", "list in", "db-wal aside", "done"};
        // A failure is undone at once; after a kill the journal is on disk and
        // every new file whole, so the next look finishes the swap.
        for (const char *step : steps) {
            QTest::newRow(qPrintable(QString("failure before %1").arg(step))) << step << false << false;
            QTest::newRow(qPrintable(QString("kill before %1").arg(step))) << step << true << true;
        }
    }
    void everyCutEndsWholeOldOrWholeNew()
    {
        QFETCH(QString, step);
        QFETCH(bool, kill);
        QFETCH(bool, forward);
        QTemporaryDir dir;
        writeFolder(dir.path());
        auto hook = [&](const QString &at) {
            if (at != step)
                return;
            if (kill)
                raise(SIGKILL);
            throw std::runtime_error("forced");
        };
        if (kill) {
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                try {
                    swapOf(dir.path()).commit(hook);
                } catch (...) {
                }
                _exit(0);
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
            QVERIFY(QFileInfo::exists(dir.filePath(BackupSwapJournal::fileName())));
            QCOMPARE(BackupSwapJournal::recover(QDir(dir.path())), BackupSwapJournal::Outcome::RolledForward);
        } else {
            QVERIFY_THROWS_EXCEPTION(std::runtime_error, swapOf(dir.path()).commit(hook));
        }
        QMap<QString, QByteArray> expected = forward ? newTree : oldTree;
        if (!forward) {
            // A swap undone drops the new files it was given.
            expected.remove("db-new7");
            expected.remove("list-new7");
        }
        QCOMPARE(fileTree(dir.path()), expected);
        QCOMPARE(BackupSwapJournal::recover(QDir(dir.path())), BackupSwapJournal::Outcome::NoJournal);
    }

    void aSwapWithoutCutsLeavesNoJournal()
    {
        QTemporaryDir dir;
        writeFolder(dir.path());
        swapOf(dir.path()).commit();
        QCOMPARE(fileTree(dir.path()), newTree);
    }

    // A journal whose new file is no longer whole cannot go forward: the old
    // files come back, wherever the swap stood.
    void aDamagedNewFileRollsBack_data()
    {
        QTest::addColumn<QString>("killAt");
        QTest::newRow("nothing moved") << "db aside";
        QTest::newRow("the database aside") << "db in";
        QTest::newRow("the database in") << "list aside";
    }
    void aDamagedNewFileRollsBack()
    {
        QFETCH(QString, killAt);
        QTemporaryDir dir;
        writeFolder(dir.path());
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            swapOf(dir.path()).commit([&](const QString &at) {
                if (at == killAt)
                    raise(SIGKILL);
            });
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        writeFile(dir.filePath("list-new7"), "new li"); // cut short by someone
        QCOMPARE(BackupSwapJournal::recover(QDir(dir.path())), BackupSwapJournal::Outcome::RolledBack);
        QMap<QString, QByteArray> expected = oldTree;
        expected.remove("db-new7");
        expected.remove("list-new7");
        QCOMPARE(fileTree(dir.path()), expected);
    }

    void aJournalThatCannotBeReadChangesNothing_data()
    {
        QTest::addColumn<QByteArray>("journal");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut short") << QByteArray("swap-journal 1\nmove\tdb\tdb-new7\tdb-7\t1\t37\t");
        QTest::newRow("a name outside the folder")
            << QByteArray("swap-journal 1\nmove\t../db\tdb-new7\tdb-7\t1\t5\t"
                          "0000000000000000000000000000000000000000\nend\n");
        QTest::newRow("a name climbing out of a subfolder")
            << QByteArray("swap-journal 1\nmove\tab/../../db\tdb-new7\tdb-7\t1\t5\t"
                          "0000000000000000000000000000000000000000\nend\n");
        QTest::newRow("a name from the root")
            << QByteArray("swap-journal 1\nmove\t/tmp/db\tdb-new7\tdb-7\t1\t5\t"
                          "0000000000000000000000000000000000000000\nend\n");
    }
    void aJournalThatCannotBeReadChangesNothing()
    {
        QFETCH(QByteArray, journal);
        QTemporaryDir dir;
        writeFolder(dir.path());
        writeFile(dir.filePath(BackupSwapJournal::fileName()), journal);
        const QMap<QString, QByteArray> before = fileTree(dir.path());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, BackupSwapJournal::recover(QDir(dir.path())));
        QCOMPARE(fileTree(dir.path()), before);
    }

    // A newer backup keeps its files one folder down: a swap of those is cut
    // and finished like one of the folder's own, and a subfolder that is a
    // link (which would lead the moves outside) is refused before anything
    // moves.
    void movesOneFolderDownAreFinished()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("ab")));
        writeFile(dir.filePath("ab/db"), kOldDb);
        writeFile(dir.filePath("ab/db-new7"), kNewDb);
        writeFile(dir.filePath("list"), kOldList);
        writeFile(dir.filePath("list-new7"), kNewList);
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            BackupSwapJournal swap{QDir(dir.path())};
            swap.addMove("ab/db", "ab/db-new7", "ab/db-7");
            swap.addMove("list", "list-new7", "list-7");
            swap.commit([](const QString &at) {
                if (at == QLatin1String("list aside"))
                    raise(SIGKILL);
            });
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(BackupSwapJournal::recover(QDir(dir.path())), BackupSwapJournal::Outcome::RolledForward);
        QCOMPARE(fileTree(dir.path()), (QMap<QString, QByteArray>{{"ab", "<dir>"},
                                                                   {"ab/db", kNewDb},
                                                                   {"ab/db-7", kOldDb},
                                                                   {"list", kNewList},
                                                                   {"list-7", kOldList}}));

        QTemporaryDir outside;
        writeFile(outside.filePath("db"), kOldDb);
        writeFile(outside.filePath("db-new7"), kNewDb);
        QVERIFY(QFile::link(outside.path(), dir.filePath("cd")));
        BackupSwapJournal linked{QDir(dir.path())};
        linked.addMove("cd/db", "cd/db-new7", "cd/db-7");
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, linked.commit());
        QCOMPARE(readFile(outside.filePath("db")), kOldDb);
        QVERIFY(!QFileInfo::exists(dir.filePath(BackupSwapJournal::fileName())));
    }

    void leftoversGoAndNothingElse()
    {
        const QString sms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
        QTemporaryDir backup;
        const QStringList kept{sms,
                               sms + "-1700000000",
                               "Manifest.mbdb",
                               "Manifest.mbdb-1700000000",
                               "Manifest.plist",
                               "Manifest.mbdb-newer",
                               sms + "-new",
                               "0123456789abcdef0123456789abcdef01234567-new1700000000",
                               "Manifest.db",
                               "Manifest.db-1700000000",
                               "3d/" + sms,
                               "3d/" + sms + "-1700000000",
                               "01/0123456789abcdef0123456789abcdef01234567-new1700000000"};
        const QStringList ours{sms + "-new1700000001", "Manifest.mbdb-new1700000001",
                               "Manifest.mbdb-new1700000002.tmp-a1B2c3", "Manifest.mbdb.tmp-XyZ123",
                               "Manifest.db-new1700000003", "Manifest.db-new1700000003-journal",
                               "Manifest.db.tmp-Ab12Cd", "3d/" + sms + "-new1700000003",
                               "3d/" + sms + "-new1700000004.tmp-q1W2e3"};
        for (const QString &name : kept + ours)
            writeFile(backup.filePath(name), name.toUtf8());
        QStringList removed = BackupLeftovers::removeInBackup(QDir(backup.path()));
        removed.sort();
        QStringList expected = ours;
        expected.sort();
        QCOMPARE(removed, expected);
        QStringList left = fileTree(backup.path()).keys();
        QStringList keptSorted = kept + QStringList{"01", "3d"};
        keptSorted.sort();
        QCOMPARE(left, keptSorted);

        QTemporaryDir cache;
        const QString sub = cache.filePath("file-relay/var/mobile/Library/SMS/");
        for (const char *name : {"sms.db", "sms.db-wal", "sms.db1700000000", "sms.db1700000000-journal",
                                    "sms.db1700000000-wal", "sms.dbx1", "sms.db.bak"})
            writeFile(sub + QLatin1String(name), "x");
        removed = BackupLeftovers::removeInCache(QDir(cache.path()));
        removed.sort();
        QCOMPARE(removed, QStringList({"sms.db1700000000", "sms.db1700000000-journal", "sms.db1700000000-wal"}));
        QCOMPARE(QDir(sub).entryList(QDir::Files), QStringList({"sms.db", "sms.db-wal", "sms.db.bak", "sms.dbx1"}));
    }

    // A journal present means the "-new" files are a swap in progress: they
    // are moved in, not removed.
    void leftoversFinishAPendingSwapFirst()
    {
        QTemporaryDir dir;
        writeFolder(dir.path());
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            swapOf(dir.path()).commit([](const QString &at) {
                if (at == "list in")
                    raise(SIGKILL);
            });
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        BackupLeftovers::removeInBackup(QDir(dir.path()));
        QCOMPARE(fileTree(dir.path()), newTree);
    }

    // The start-up sweep reaches every cache of the data folder and every
    // backup below the default root, and finishes a pending swap there.
    void theStartUpSweepReachesEveryCacheAndBackup()
    {
        const QString sms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
        const QString data = appDataDir().absolutePath();
        for (const char *cache : {"itunes_cache/0a1b", "ios_cache/udid1"})
            writeFile(data + "/" + cache + "/file-relay/var/mobile/Library/SMS/sms.db1700000000", "work");
        const QString backups = BackupManifest::defaultBackupRoot().absolutePath();
        writeFile(backups + "/one/" + sms + "-new1700000000", "cut short");
        writeFile(backups + "/one/Manifest.mbdb", "list");
        writeFolder(backups + "/two");
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            swapOf(backups + "/two").commit([](const QString &at) {
                if (at == "db in")
                    raise(SIGKILL);
            });
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);

        BackupLeftovers::removeAtStartup();
        for (const char *cache : {"itunes_cache/0a1b", "ios_cache/udid1"})
            QCOMPARE(QDir(data + "/" + cache + "/file-relay/var/mobile/Library/SMS").entryList(QDir::Files),
                     QStringList());
        QCOMPARE(fileTree(backups + "/one"), (QMap<QString, QByteArray>{{"Manifest.mbdb", "list"}}));
        QCOMPARE(fileTree(backups + "/two"), newTree);
    }

    void onlyTheNewestSetAsidePairStays()
    {
        QTemporaryDir dir;
        for (const char *name : {"db", "db-100", "db-200", "db-300", "list", "list-100", "list-300", "other-100",
                                 "db-new100", "db-300x"})
            writeFile(dir.filePath(name), name);
        BackupLeftovers::removeOlderSetAside(QDir(dir.path()), {"db", "list"}, "300");
        QCOMPARE(fileTree(dir.path()).keys(),
                 QStringList({"db", "db-300", "db-300x", "db-new100", "list", "list-300", "other-100"}));
    }
};

QP_TEST_MAIN(TestBackupSwapJournal)

} // namespace tst_backupswapjournal

#include "tst_backupswapjournal.moc"
