#pragma once
// Changes to the file list of a backup of iOS 10 and later, made on a copy of
// its Manifest.db inside one transaction, so that the backup's own list is
// never touched: the caller swaps the finished copy in (or removes it). The
// layout of Manifest.db is set out in ios/manifestdbfilelist.h.
#include <QString>

struct sqlite3;

class ManifestDbEdit
{
public:
    // Copies manifestPath to copyPath (which must not exist) and opens the
    // copy with a transaction begun. Throws std::runtime_error (UTF-8) when
    // the copy cannot be made or is not a backup's file list; the copy is
    // removed then.
    ManifestDbEdit(const QString &manifestPath, const QString &copyPath);
    // Rolls back and closes an edit that was not committed (the copy stays
    // for the caller to remove).
    ~ManifestDbEdit();
    ManifestDbEdit(const ManifestDbEdit &) = delete;
    ManifestDbEdit &operator=(const ManifestDbEdit &) = delete;

    // The row of the file domain/path: an existing one keeps every value of
    // its MBFile but LastModified and, unless keepSize, Size; a missing one is
    // added (flags 1) with a new MBFile, after rows for its missing parent
    // folders (flags 2). Throws when a row's MBFile cannot be rewritten.
    void putFile(const QString &domain, const QString &path, qint64 size, qint64 lastModified, bool keepSize = false);
    // Drops the row of domain/path, if there is one.
    void removeFile(const QString &domain, const QString &path);

    // Commits and closes; the copy is then complete. Throws when the commit
    // fails (rolled back, closed).
    void commit();

private:
    [[noreturn]] void fail(const QString &what) const;
    bool hasRow(const QString &fileId) const;
    void insertRow(const QString &domain, const QString &path, bool folder, qint64 size, qint64 lastModified);

    sqlite3 *db = nullptr;
    QString copy;
    qint64 nextInode = 0;
};
