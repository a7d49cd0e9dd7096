#pragma once
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "platform/sqlite_qt/sqlitecol.h"

#include <QHash>
#include <QString>

#include <sqlite3.h>

#include <memory>

class Sqlite3Connection;

// One connection to one SQLite database file, used by one thread at a time.
// Statements are prepared once per SQL text and kept in a cache; values are
// always bound. Every failure of a Throw operation, and of beginTran and
// commitTran, throws Sqlite3Exception (a std::runtime_error with a UTF-8 text
// that names SQLite's message and the SQL).
//
// When another connection or program holds a lock, an operation waits for it
// up to the busy timeout (2 s unless changed) and then throws, its text saying
// that the database is locked.
class Sqlite3DB
{
public:
    static constexpr int kDefaultBusyTimeoutMs = 2000;
    // The busy timeout of every connection opened from now on, in
    // milliseconds (negative counts as 0: fail at once). Tests shorten it.
    static void setBusyTimeout(int ms);
    static int busyTimeout();

    Sqlite3DB();
    virtual ~Sqlite3DB(); // closes
    Sqlite3DB(const Sqlite3DB &) = delete;
    Sqlite3DB &operator=(const Sqlite3DB &) = delete;

    sqlite3 *handle() const; // nullptr while closed
    bool isOpen() const;
    QString path() const { return m_path; } // of the last open

    // flags: 1 read-only, 2 read/write (the file must exist), 6 read/write and
    // create (SQLite's own flag values). An open connection is closed first.
    void openThrow(const QString &path, int flags);
    // Finalizes every statement (live cursors then answer no rows), rolls back
    // an open transaction and closes. Harmless when closed.
    void close();

    void beginTran();
    // A COMMIT that fails (another connection holds a lock, a constraint
    // deferred to the end) rolls the transaction back and then throws.
    void commitTran();
    // Never throws; does nothing when no transaction is open.
    void rollbackTran() noexcept;
    bool inTransaction() const;

    // Runs a script of any number of statements (schema scripts); no values
    // can be bound. 0 on success, else SQLite's result code and error holds
    // the text.
    int exec(const QString &sql, QString &error);
    void executeThrow(const Sqlite3Sql &sql);
    Sqlite3Cursor queryThrow(const Sqlite3Sql &sql);

    // The table's columns keyed by their names exactly as declared; empty for
    // a table that does not exist. Throws when the database cannot be read.
    QHash<QString, _SqliteCol> tbInfo(const QString &table);

    // Statements for the hottest paths: prepared once per open and kept until
    // close() (see Sqlite3Connection::keep). The caller binds by position and
    // runs them with step/stepFirstInt64, never finalizes them, and prepares
    // them anew once openSerial() has changed.
    sqlite3_stmt *keptStatement(const QString &sql);
    quint64 openSerial() const;
    // Steps a kept statement to its end, then resets it and clears its
    // values. Throws Sqlite3Exception (naming the SQL) when it fails.
    void step(sqlite3_stmt *stmt);
    // The first column of its first row as an integer (0 without a row), then
    // resets and clears it. Throws like step.
    qint64 stepFirstInt64(sqlite3_stmt *stmt);

    qint64 lastInsertId() const;
    int changes() const;

    // Statements this object has prepared so far (over all its opens), and
    // those waiting idle in the cache: the cache keeps the first small however
    // many statements run.
    int preparedCount() const;
    int cachedCount() const;

private:
    void runSimple(const char *sql);
    [[noreturn]] void failKept(sqlite3_stmt *stmt, int rc);
    std::shared_ptr<Sqlite3Connection> m_conn;
    QString m_path;
};
