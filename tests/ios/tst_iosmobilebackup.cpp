// The device backup and restore threads: where the temporary backup root lies
// and how that choice is remembered, which earlier backup is brought up to date
// and which is started afresh, what a failed backup leaves behind, and the
// texts a failed restore shows.
#include "app/datafolder.h"
#include "ios/iosmobilebackupthread.h"
#include "tests/support/testmain.h"

#include <QTemporaryDir>

#include <memory>

namespace {

using Candidates = QList<QPair<QString, qint64>>;

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestIOSMobileBackup : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    QMap<QString, qint64> freeSpace; // candidate folder -> figure answered
    QStringList asked;

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

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        freeSpace.clear();
        asked.clear();
        QFile::remove(IOSMobileBackupThread::volumeFile());
        IOSMobileBackupThread::setVolumeCandidates({});
    }
    void cleanup() { IOSMobileBackupThread::setVolumeCandidates({}); }

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
};

QP_TEST_MAIN(TestIOSMobileBackup)
#include "tst_iosmobilebackup.moc"
