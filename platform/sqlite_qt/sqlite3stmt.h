#pragma once
#include "platform/sqlite_qt/sqlite3sql.h"

#include <QHash>
#include <QString>

#include <sqlite3.h>

#include <memory>

class Sqlite3Connection;

// One prepared statement of a connection, with the state of the query running
// on it and its column names resolved once. It lives in its connection's
// cache while idle; cursors share it while they read, and when the last one
// lets go it returns to the cache reset and with its bindings cleared. After
// the connection closes it holds nothing and answers no rows.
class Sqlite3Stmt
{
public:
    Sqlite3Stmt(Sqlite3Connection *conn, sqlite3_stmt *stmt, const QString &sql);
    ~Sqlite3Stmt(); // finalizes
    Sqlite3Stmt(const Sqlite3Stmt &) = delete;
    Sqlite3Stmt &operator=(const Sqlite3Stmt &) = delete;

    sqlite3_stmt *handle() const { return m_stmt; }
    QString sql() const { return m_sql; }

    // Binds the values in order; the number of values must match the
    // placeholders. Throws Sqlite3Exception.
    void bind(const Sqlite3Sql &sql);
    // Runs a statement that does not need a cursor to the end. Throws.
    void execute();
    // Steps to the first row so that errors surface at once. Throws.
    void start();
    // True while a row is current. Throws when SQLite fails between rows, so a
    // broken read is never mistaken for the end of the result.
    bool next();
    bool onRow() const { return m_stmt && m_state == State::Row; }
    // Rows of the whole result, counted on a second statement with the same
    // values so the iteration here is not disturbed. Throws.
    int count();

    // Index of a result column by name, -1 when absent. An exact match wins,
    // else the first column whose name matches ignoring ASCII case, as SQLite
    // itself compares identifiers.
    int columnIndex(const QString &name) const;
    int columnCount() const;

    // The connection closes: finalize the statement and forget it.
    void detach();
    // Back to the cache: reset, bindings cleared, no query running.
    void recycle();

    [[noreturn]] void fail(int rc, const QString &what) const;

private:
    enum class State { Idle, FirstRow, FirstDone, Row, Done };
    void buildNames() const;
    void finish();

    Sqlite3Connection *m_conn; // outlives the statement: the cache or a Sqlite3StmtPtr holds it
    sqlite3_stmt *m_stmt;
    QString m_sql;
    Sqlite3Sql m_bound;
    State m_state = State::Idle;
    int m_count = -1;

    mutable QHash<QString, int> m_exact;
    mutable QHash<QString, int> m_folded;
    mutable int m_namesBuiltAt = -1; // SQLite's re-prepare count when the names were read
};
