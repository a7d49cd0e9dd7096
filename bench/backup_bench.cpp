// Listing the file tree of a large backup of iOS 10 and later.
//
//   backup_bench [rows]   (default 300000)
//
// A backup folder is generated with a Manifest.db of that many Files rows,
// laid out as phones lay them out: HomeDomain's Library, message attachments
// in MediaDomain, a camera roll, and app containers, each file under its
// folders, every row with its MBFile archive. Measured: BackupManifest's
// loadManifestPlist and loadMbdb (the file list read, every archive decoded,
// the tree built), best of three. Floor, in the same run: a plain SELECT of
// the same five columns of every row, each value touched, best of three.
// Prints both, their ratio (the goal is at most 3), and the resident memory
// the finished tree holds per row. Then the same records as a Manifest.mbdb
// (the old layout, which shares the tree) are listed the same way.
#include "bench/benchsetup.h"
#include "ios/backupmanifest.h"
#include "ios/manifestdbfilelist.h"
#include "tests/support/mbdbfixture.h"
#include "tests/support/mbfilearchivefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>

#include <sqlite3.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

using namespace testsupport;

namespace {

void check(int rc, sqlite3 *db)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(sqlite3_errmsg(db));
}

void writeText(const QString &path, const QByteArray &text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        throw std::runtime_error("cannot write a backup file");
}

class ManifestWriter
{
public:
    explicit ManifestWriter(const QString &path)
    {
        check(sqlite3_open(path.toUtf8().constData(), &db), db);
        check(sqlite3_exec(db,
                           "PRAGMA synchronous=OFF;"
                           "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
                           "CREATE INDEX FilesDomainIdx ON Files(domain);"
                           "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
                           "CREATE INDEX FilesFlagsIdx ON Files(flags);"
                           "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
                           "BEGIN;",
                           nullptr, nullptr, nullptr),
              db);
        check(sqlite3_prepare_v2(db, "INSERT INTO Files VALUES(?, ?, ?, ?, ?)", -1, &insert, nullptr), db);
    }
    ~ManifestWriter()
    {
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }

    // The row of one file with its missing folders before it.
    void file(const QString &domain, const QString &path, qint64 size)
    {
        for (qsizetype slash = path.indexOf('/'); slash > 0; slash = path.indexOf('/', slash + 1)) {
            const QString folder = path.left(slash);
            if (!folders.contains(domain + '-' + folder)) {
                folders.insert(domain + '-' + folder);
                row(domain, folder, 2, 040755, 0);
            }
        }
        row(domain, path, 1, 0100644, size);
    }

    int rows = 0;

private:
    void row(const QString &domain, const QString &path, int flags, quint16 mode, qint64 size)
    {
        MbFileFields f;
        f.relativePath = path;
        f.lastModified = 1687990000 - rows;
        f.birth = f.lastStatusChange = f.lastModified - 3600;
        f.mode = mode;
        f.inode = quint64(100000 + rows);
        f.size = size;
        f.protectionClass = flags == 2 ? 0 : 3;
        const QByteArray id = backupFileId(domain, path).toLatin1();
        const QByteArray d = domain.toUtf8(), p = path.toUtf8(), blob = mbFileArchive(f);
        sqlite3_bind_text(insert, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, d.constData(), int(d.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, p.constData(), int(p.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 4, flags);
        sqlite3_bind_blob(insert, 5, blob.constData(), int(blob.size()), SQLITE_TRANSIENT);
        check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
        ++rows;
    }

    sqlite3 *db = nullptr;
    sqlite3_stmt *insert = nullptr;
    QSet<QString> folders;
};

void writeBackup(const QString &folder, int rows)
{
    QDir().mkpath(folder);
    const QByteArray plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        "<key>Date</key><date>2023-06-29T00:53:20Z</date><key>IsEncrypted</key><false/>"
        "<key>Lockdown</key><dict><key>DeviceName</key><string>Bench iPhone</string>"
        "<key>ProductVersion</key><string>16.5</string><key>UniqueDeviceID</key>"
        "<string>00008110-001C195A3C38801E</string></dict></dict></plist>";
    writeText(folder + "/Manifest.plist", plist);
    writeText(folder + "/Status.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>SnapshotState</key>"
              "<string>finished</string></dict></plist>");
    ManifestWriter m(folder + "/Manifest.db");
    for (int i = 0; m.rows < rows; ++i) {
        switch (i % 4) {
        case 0:
            m.file("HomeDomain", QString("Library/Caches/com.apple.cache%1/part%2/entry-%3.dat").arg(i % 37).arg(i % 11).arg(i),
                   4096 + i % 1000);
            break;
        case 1:
            m.file("MediaDomain", QString("Library/SMS/Attachments/%1/%2/%3-4C55-A1E2/IMG_%4.HEIC")
                                      .arg(i % 256, 2, 16, QChar('0'))
                                      .arg(i % 100, 2, 10, QChar('0'))
                                      .arg(i, 8, 16, QChar('0'))
                                      .arg(i),
                   1500000 + i);
            break;
        case 2:
            m.file("CameraRollDomain", QString("Media/DCIM/%1APPLE/IMG_%2.HEIC").arg(100 + i % 40).arg(i), 2500000 + i);
            break;
        default:
            m.file(QString("AppDomain-com.example.app%1").arg(i % 60),
                   QString("Documents/store/%1/blob-%2").arg(i % 23).arg(i), 700 + i % 5000);
            break;
        }
    }
}

double selectSeconds(const QString &path, quint64 *checksum)
{
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    check(sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr), db);
    sqlite3_stmt *stmt = nullptr;
    check(sqlite3_prepare_v2(db, "SELECT fileID, domain, relativePath, flags, file FROM Files", -1, &stmt, nullptr), db);
    quint64 sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int c : {0, 1, 2}) {
            const unsigned char *text = sqlite3_column_text(stmt, c);
            sum += quint64(sqlite3_column_bytes(stmt, c)) + (text ? text[0] : 0);
        }
        sum += quint64(sqlite3_column_int64(stmt, 3));
        const auto *blob = static_cast<const unsigned char *>(sqlite3_column_blob(stmt, 4));
        const int bytes = sqlite3_column_bytes(stmt, 4);
        sum += quint64(bytes) + (bytes > 0 ? blob[bytes - 1] : 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    *checksum += sum;
    return timer.nsecsElapsed() / 1e9;
}

qint64 countNodes(const _BackupFileNode &root)
{
    qint64 count = 0;
    QList<const _BackupFileNode *> pending{&root};
    while (!pending.isEmpty()) {
        const _BackupFileNode *node = pending.takeLast();
        ++count;
        for (const _BackupFileNode *child : node->children)
            pending.append(child);
    }
    return count - 1;
}

double listSeconds(const QString &folder, qint64 *nodes)
{
    QElapsedTimer timer;
    timer.start();
    BackupManifest m(folder);
    m.loadManifestPlist();
    m.loadMbdb();
    const double seconds = timer.nsecsElapsed() / 1e9;
    *nodes = countNodes(m.root);
    return seconds;
}

qint64 residentBytes()
{
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * 4096 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    useBenchHome(home);
    QCoreApplication app(argc, argv);
    const int rows = app.arguments().size() > 1 ? app.arguments().at(1).toInt() : 300000;
    try {
        const QString folder = home.filePath("Backup/00008110-001C195A3C38801E");
        QElapsedTimer made;
        made.start();
        writeBackup(folder, rows);
        std::printf("backup of %d Files rows written in %.1f s (Manifest.db %.1f MB)\n", rows, made.elapsed() / 1000.0,
                    QFile(folder + "/Manifest.db").size() / 1e6);

        quint64 checksum = 0;
        selectSeconds(folder + "/Manifest.db", &checksum); // warm the page cache

        // Memory first, before any other run has grown the heap.
        qint64 nodes = 0;
        {
            const qint64 before = residentBytes();
            BackupManifest m(folder);
            m.loadManifestPlist();
            m.loadMbdb();
            const qint64 after = residentBytes();
            nodes = countNodes(m.root);
            std::printf("memory: %.0f bytes per row held by the tree (%lld nodes)\n",
                        double(after - before) / rows, static_cast<long long>(nodes));
        }

        double floor = 1e9, listing = 1e9;
        for (int run = 0; run < 3; ++run) {
            floor = qMin(floor, selectSeconds(folder + "/Manifest.db", &checksum));
            listing = qMin(listing, listSeconds(folder, &nodes));
        }
        // Where the time goes: the list read and decoded, the tree built.
        double readOnly = 1e9, treeOnly = 1e9;
        for (int run = 0; run < 3; ++run) {
            BackupManifest m(folder);
            m.loadManifestPlist();
            QElapsedTimer timer;
            timer.start();
            // As loadMbdb reads them: each record into a node of its own.
            std::vector<std::unique_ptr<_BackupFileNode>> records;
            m.fileList()->readEach(
                [&](const QString &fileId, _MbdbRecord &&record) {
                    auto node = std::make_unique<_BackupFileNode>();
                    node->record = std::move(record);
                    node->fileId = fileId;
                    records.push_back(std::move(node));
                },
                [&](qint64 count) { records.reserve(size_t(count)); });
            readOnly = qMin(readOnly, timer.nsecsElapsed() / 1e9);
            timer.restart();
            _BackupFileNode root;
            root.buildTreeFromNodes(std::move(records));
            treeOnly = qMin(treeOnly, timer.nsecsElapsed() / 1e9);
        }
        std::printf("plain SELECT of every row:  %.3f s\n", floor);
        std::printf("file tree (list + tree):    %.3f s (list read %.3f s, tree built %.3f s)\n", listing, readOnly,
                    treeOnly);
        std::printf("ratio: %.2f (goal <= 3)   [checksum %llu]\n", listing / floor,
                    static_cast<unsigned long long>(checksum % 1000));

        // The old layout, which shares the tree: the same records written as
        // a Manifest.mbdb, listed the same way, against the same floor.
        const QString oldFolder = home.filePath("Backup/old-layout");
        QDir().mkpath(oldFolder);
        {
            QHash<QString, _MbdbRecord> records = ManifestDbFileList(QDir(folder)).read();
            QList<_MbdbRecord> list;
            list.reserve(records.size());
            for (auto it = records.begin(); it != records.end(); ++it)
                list.append(std::move(it.value()));
            mbdb_write(list, oldFolder + "/Manifest.mbdb");
        }
        for (const char *name : {"/Manifest.plist", "/Status.plist"})
            QFile::copy(folder + name, oldFolder + name);
        double oldListing = 1e9;
        for (int run = 0; run < 3; ++run) {
            floor = qMin(floor, selectSeconds(folder + "/Manifest.db", &checksum));
            qint64 oldNodes = 0;
            oldListing = qMin(oldListing, listSeconds(oldFolder, &oldNodes));
            if (oldNodes != nodes)
                throw std::runtime_error("the old layout lists another tree");
        }
        std::printf("old layout (Manifest.mbdb):  %.3f s (%.2f times the plain SELECT)\n", oldListing,
                    oldListing / floor);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "backup_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
