#pragma once
#include <QList>
#include <QMultiHash>
#include <QSet>
#include <QString>

#include <sqlite3.h>

#include <memory>

class Sqlite3Connection;
class Sqlite3Stmt;

// Hands a statement back to its connection's cache when its user is done.
// Holding the connection keeps it alive as long as any statement is out.
struct Sqlite3StmtReturn
{
    std::shared_ptr<Sqlite3Connection> conn;
    void operator()(Sqlite3Stmt *stmt) const;
};
using Sqlite3StmtPtr = std::unique_ptr<Sqlite3Stmt, Sqlite3StmtReturn>;

// The part of a connection that its statements share: the raw handle, the
// cache of idle prepared statements and the set of statements that cursors
// still hold. A cursor keeps this object alive, never the Sqlite3DB, so a
// cursor that outlives the close of its database finds its statement
// finalized rather than dangling.
class Sqlite3Connection : public std::enable_shared_from_this<Sqlite3Connection>
{
public:
    Sqlite3Connection() = default;
    ~Sqlite3Connection();
    Sqlite3Connection(const Sqlite3Connection &) = delete;
    Sqlite3Connection &operator=(const Sqlite3Connection &) = delete;

    sqlite3 *handle() const { return m_db; }
    // Throws Sqlite3Exception; an open connection is closed first. Every
    // operation waits up to busyTimeoutMs for a lock that another connection
    // or program holds before it fails.
    void open(const QString &path, int sqliteFlags, int busyTimeoutMs);
    int busyTimeoutMs() const { return m_busyTimeoutMs; }
    // SQLite's text for the last failure of rc, saying for a lock that was
    // not released in time what waited for it.
    QString errorText(int rc) const;
    // Finalizes every statement (live cursors answer no more rows), rolls back
    // an open transaction and closes the handle.
    void close();

    // A statement for exactly this SQL text that nobody else uses: an idle one
    // from the cache, else a newly prepared one. Throws Sqlite3Exception.
    Sqlite3StmtPtr statement(const QString &sql);

    // A statement its caller keeps for the life of this open: prepared once,
    // bound by position and stepped by the caller, finalized by close(). For
    // statements run so often that finding them by their text would cost
    // more than running them. Throws Sqlite3Exception.
    sqlite3_stmt *keep(const QString &sql);
    // Counts the opens: a kept statement belongs to the open it was made in.
    quint64 openSerial() const { return m_openSerial; }

    int preparedCount() const { return m_prepared; }
    int idleCount() const { return int(m_idle.size()); }

    // Most idle statements kept per connection; the least recently used one goes first.
    static constexpr int maxIdle = 64;

private:
    friend struct Sqlite3StmtReturn;
    // The statement comes back reset and unbound into the cache, or is
    // deleted when the connection is gone or the statement was detached.
    void giveBack(Sqlite3Stmt *stmt);
    sqlite3_stmt *prepare(const QString &sql);

    struct Idle
    {
        Sqlite3Stmt *stmt = nullptr; // owned
        quint64 lastUse = 0;
    };
    sqlite3 *m_db = nullptr;
    QMultiHash<QString, Idle> m_idle; // several per text when cursors on one text were nested
    QSet<Sqlite3Stmt *> m_live;
    QList<sqlite3_stmt *> m_kept; // owned
    quint64 m_openSerial = 0;
    quint64 m_tick = 0;
    int m_prepared = 0;
    int m_busyTimeoutMs = 0;
};
