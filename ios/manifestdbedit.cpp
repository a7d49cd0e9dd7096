#include "ios/manifestdbedit.h"

#include "ios/mbdb.h"
#include "ios/mbfilearchive.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <stdexcept>

namespace {

// A prepared statement finalized however the caller ends.
struct Statement
{
    sqlite3_stmt *stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

void bindText(sqlite3_stmt *stmt, int index, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    sqlite3_bind_text(stmt, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
}

} // namespace

ManifestDbEdit::ManifestDbEdit(const QString &manifestPath, const QString &copyPath) : copy(copyPath)
{
    if (QFileInfo::exists(copyPath) || !QFile::copy(manifestPath, copyPath))
        throw std::runtime_error(QStringLiteral("can not overwrite %1.").arg(copyPath).toUtf8().toStdString());
    try {
        if (sqlite3_open_v2(copyPath.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            fail(QStringLiteral("open"));
        if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(QStringLiteral("begin"));
        Statement count;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM Files", -1, &count.stmt, nullptr) != SQLITE_OK
            || sqlite3_step(count.stmt) != SQLITE_ROW)
            fail(QStringLiteral("read"));
        // Above any inode a phone hands out, and distinct per added row.
        nextInode = 0x7F000000LL + sqlite3_column_int64(count.stmt, 0);
    } catch (...) {
        sqlite3_close(db);
        db = nullptr;
        QFile::remove(copyPath);
        QFile::remove(copyPath + QStringLiteral("-journal"));
        throw;
    }
}

ManifestDbEdit::~ManifestDbEdit()
{
    if (db) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
}

void ManifestDbEdit::fail(const QString &what) const
{
    const QString detail = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
    throw std::runtime_error(
        QStringLiteral("The file list %1 cannot be changed (%2: %3).").arg(copy, what, detail).toUtf8().toStdString());
}

bool ManifestDbEdit::hasRow(const QString &fileId) const
{
    Statement s;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM Files WHERE fileID = ?", -1, &s.stmt, nullptr) != SQLITE_OK)
        fail(QStringLiteral("read"));
    bindText(s.stmt, 1, fileId);
    const int rc = sqlite3_step(s.stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        fail(QStringLiteral("read"));
    return rc == SQLITE_ROW;
}

void ManifestDbEdit::insertRow(const QString &domain, const QString &path, bool folder, qint64 size,
                               qint64 lastModified)
{
    const QByteArray blob = mbfile_new(path, folder, size, lastModified, quint64(nextInode++));
    Statement s;
    if (sqlite3_prepare_v2(db, "INSERT INTO Files(fileID, domain, relativePath, flags, file) VALUES(?, ?, ?, ?, ?)",
                           -1, &s.stmt, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("insert"));
    bindText(s.stmt, 1, mbdb_file_id(domain, path));
    bindText(s.stmt, 2, domain);
    bindText(s.stmt, 3, path);
    sqlite3_bind_int(s.stmt, 4, folder ? 2 : 1);
    sqlite3_bind_blob(s.stmt, 5, blob.constData(), int(blob.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s.stmt) != SQLITE_DONE)
        fail(QStringLiteral("insert"));
}

void ManifestDbEdit::putFile(const QString &domain, const QString &path, qint64 size, qint64 lastModified,
                             bool keepSize)
{
    const QString id = mbdb_file_id(domain, path);
    Statement s;
    if (sqlite3_prepare_v2(db, "SELECT file FROM Files WHERE fileID = ?", -1, &s.stmt, nullptr) != SQLITE_OK)
        fail(QStringLiteral("read"));
    bindText(s.stmt, 1, id);
    const int rc = sqlite3_step(s.stmt);
    if (rc == SQLITE_ROW) {
        const QByteArray blob(static_cast<const char *>(sqlite3_column_blob(s.stmt, 0)), sqlite3_column_bytes(s.stmt, 0));
        sqlite3_reset(s.stmt);
        const QByteArray updated = mbfile_with_size_and_time(blob, keepSize ? -1 : size, lastModified);
        if (updated.isEmpty())
            throw std::runtime_error(QStringLiteral("The file list's entry of %1 is not a file's information; it "
                                                    "cannot be updated.")
                                         .arg(path)
                                         .toUtf8()
                                         .toStdString());
        Statement u;
        if (sqlite3_prepare_v2(db, "UPDATE Files SET file = ? WHERE fileID = ?", -1, &u.stmt, nullptr) != SQLITE_OK)
            fail(QStringLiteral("update"));
        sqlite3_bind_blob(u.stmt, 1, updated.constData(), int(updated.size()), SQLITE_TRANSIENT);
        bindText(u.stmt, 2, id);
        if (sqlite3_step(u.stmt) != SQLITE_DONE)
            fail(QStringLiteral("update"));
        return;
    }
    if (rc != SQLITE_DONE)
        fail(QStringLiteral("read"));
    // Missing parents first, top down, as the phone lists them.
    QStringList missing;
    for (qsizetype slash = path.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = path.lastIndexOf(QLatin1Char('/'), slash - 1)) {
        const QString folder = path.left(slash);
        if (hasRow(mbdb_file_id(domain, folder)))
            break;
        missing.prepend(folder);
    }
    for (const QString &folder : std::as_const(missing))
        insertRow(domain, folder, true, 0, lastModified);
    insertRow(domain, path, false, size, lastModified);
}

void ManifestDbEdit::removeFile(const QString &domain, const QString &path)
{
    Statement s;
    if (sqlite3_prepare_v2(db, "DELETE FROM Files WHERE fileID = ?", -1, &s.stmt, nullptr) != SQLITE_OK)
        fail(QStringLiteral("delete"));
    bindText(s.stmt, 1, mbdb_file_id(domain, path));
    if (sqlite3_step(s.stmt) != SQLITE_DONE)
        fail(QStringLiteral("delete"));
}

void ManifestDbEdit::commit()
{
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const QString detail = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        db = nullptr;
        throw std::runtime_error(
            QStringLiteral("The file list %1 cannot be changed (commit: %2).").arg(copy, detail).toUtf8().toStdString());
    }
    const int rc = sqlite3_close(db);
    db = nullptr;
    if (rc != SQLITE_OK)
        throw std::runtime_error(QStringLiteral("The file list %1 cannot be closed.").arg(copy).toUtf8().toStdString());
}
