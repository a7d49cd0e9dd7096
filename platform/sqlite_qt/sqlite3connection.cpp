#include "platform/sqlite_qt/sqlite3connection.h"

#include "platform/sqlite_qt/sqlite3exception.h"
#include "platform/sqlite_qt/sqlite3stmt.h"

#include <QFile>

#include <cctype>

Sqlite3Connection::~Sqlite3Connection()
{
    close();
}

void Sqlite3Connection::open(const QString &path, int sqliteFlags, int busyTimeoutMs)
{
    close();
    sqlite3 *db = nullptr;
    const QByteArray name = QFile::encodeName(path);
    const int rc = sqlite3_open_v2(name.constData(), &db, sqliteFlags, nullptr);
    if (rc != SQLITE_OK) {
        const QString reason = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        throw Sqlite3Exception(QStringLiteral("Cannot open the database \"%1\": %2").arg(path, reason), rc);
    }
    // A short wait rides out a brief lock by another program (a second copy
    // of this one, an sqlite3 shell) instead of failing a whole transfer; a
    // lock held for longer still fails, so the program never hangs on it.
    sqlite3_busy_timeout(db, busyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    m_db = db;
    m_busyTimeoutMs = busyTimeoutMs;
    ++m_openSerial;
}

QString Sqlite3Connection::errorText(int rc) const
{
    const QString reason = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(rc));
    if ((rc & 0xff) != SQLITE_BUSY)
        return reason;
    return QStringLiteral("%1: another program or connection holds a lock on it (waited up to %2 ms)")
        .arg(reason)
        .arg(m_busyTimeoutMs);
}

void Sqlite3Connection::close()
{
    if (!m_db)
        return;
    // Cursors may live on; their statements must not keep the file open or
    // read from a handle that is about to go.
    const QSet<Sqlite3Stmt *> live = m_live;
    for (Sqlite3Stmt *s : live)
        s->detach();
    m_live.clear();
    for (const Idle &idle : std::as_const(m_idle))
        delete idle.stmt;
    m_idle.clear();
    for (sqlite3_stmt *kept : std::as_const(m_kept))
        sqlite3_finalize(kept);
    m_kept.clear();
    if (!sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

sqlite3_stmt *Sqlite3Connection::prepare(const QString &sql)
{
    const QByteArray text = sql.toUtf8();
    const char *begin = text.constData();
    const char *end = begin + text.size();
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    int rc = sqlite3_prepare_v3(m_db, begin, int(text.size()), SQLITE_PREPARE_PERSISTENT, &stmt, &tail);
    if (rc != SQLITE_OK)
        throw Sqlite3Exception(QStringLiteral("%1 (SQLite code %2) in SQL: %3").arg(errorText(rc)).arg(rc).arg(sql), rc);
    ++m_prepared;
    if (!stmt)
        throw Sqlite3Exception(QStringLiteral("No SQL statement in: %1").arg(sql), SQLITE_MISUSE);
    // Only the first statement of a text would run; refuse the rest rather
    // than silently dropping it.
    while (tail && tail < end && (std::isspace(static_cast<unsigned char>(*tail)) || *tail == ';'))
        ++tail;
    if (tail && tail < end) {
        sqlite3_stmt *more = nullptr;
        rc = sqlite3_prepare_v2(m_db, tail, int(end - tail), &more, nullptr);
        sqlite3_finalize(more);
        if (rc != SQLITE_OK || more) {
            sqlite3_finalize(stmt);
            throw Sqlite3Exception(
                QStringLiteral("More than one SQL statement in one call (use exec for scripts): %1").arg(sql),
                SQLITE_MISUSE);
        }
    }
    return stmt;
}

Sqlite3StmtPtr Sqlite3Connection::statement(const QString &sql)
{
    if (!m_db)
        throw Sqlite3Exception(QStringLiteral("The database is not open (SQL: %1)").arg(sql), SQLITE_MISUSE);
    Sqlite3Stmt *stmt = nullptr;
    const auto it = m_idle.find(sql);
    if (it != m_idle.end()) {
        stmt = it->stmt;
        m_idle.erase(it);
    } else {
        stmt = new Sqlite3Stmt(this, prepare(sql), sql);
    }
    m_live.insert(stmt);
    return Sqlite3StmtPtr(stmt, Sqlite3StmtReturn{shared_from_this()});
}

sqlite3_stmt *Sqlite3Connection::keep(const QString &sql)
{
    if (!m_db)
        throw Sqlite3Exception(QStringLiteral("The database is not open (SQL: %1)").arg(sql), SQLITE_MISUSE);
    sqlite3_stmt *stmt = prepare(sql);
    m_kept.append(stmt);
    return stmt;
}

void Sqlite3StmtReturn::operator()(Sqlite3Stmt *stmt) const
{
    conn->giveBack(stmt);
}

void Sqlite3Connection::giveBack(Sqlite3Stmt *stmt)
{
    m_live.remove(stmt);
    if (!m_db || !stmt->handle()) {
        delete stmt;
        return;
    }
    // Reset ends the statement's read or write, so an idle statement holds no
    // lock; clearing drops the values (and the memory of large blobs).
    stmt->recycle();
    if (m_idle.size() >= maxIdle) {
        auto oldest = m_idle.begin();
        for (auto i = m_idle.begin(); i != m_idle.end(); ++i) {
            if (i->lastUse < oldest->lastUse)
                oldest = i;
        }
        delete oldest->stmt;
        m_idle.erase(oldest);
    }
    m_idle.insert(stmt->sql(), Idle{stmt, ++m_tick});
}
