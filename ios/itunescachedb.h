#pragma once
// "manifest.db" in a backup's cache folder: the modification time of every
// backed-up file at its last copy, so that a file whose time has not changed
// is not copied again. Its one table, made by ":/res/cache_db.sql":
//
//   manifest(file_name VARCHAR PRIMARY KEY, last_date INTEGER NOT NULL)
//     file_name  the file id (40 lower-case hex digits, ios/mbdb.h)
//     last_date  the record's mtime at the copy, as a signed 32-bit number
//
// The connection opens with the first query and then holds one transaction,
// which the destructor commits and close drops: all dates of one run are
// written together or not at all. Nothing
// here fails loudly: a database that cannot be opened or read answers "no
// date", so every file counts as changed and is copied.
#include "platform/sqlite_qt/sqlite3db.h"

#include <QString>

#include <optional>

class ITunesCacheDb
{
public:
    // Stores the path; opens nothing.
    explicit ITunesCacheDb(const QString &path);
    // Commits the dates of the run and closes; never throws.
    ~ITunesCacheDb();
    ITunesCacheDb(const ITunesCacheDb &) = delete;
    ITunesCacheDb &operator=(const ITunesCacheDb &) = delete;

    // Opens the file, or creates it with the schema, and begins the
    // transaction; does nothing when open. Throws std::runtime_error when the
    // file can be neither opened nor created (a creation that fails leaves
    // no file behind); a transaction that cannot begin is left out.
    void open();
    // Creates the file and runs the schema script; throws std::runtime_error.
    void create();

    // The date stored for fileId; none when there is no row or the database
    // cannot be read. A stored 0 is a date like any other.
    std::optional<qint32> lastDate(const QString &fileId);
    // Stores date for fileId; a failure is swallowed (the file is copied
    // again next time).
    void setLastDate(const QString &fileId, qint32 date);

    // Drops the dates of this run (rolls back) and closes, so that the file
    // can be removed. The next query opens it again.
    void close();

    QString path;
    Sqlite3DB db;
};
