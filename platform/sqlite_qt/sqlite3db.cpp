#include "platform/sqlite_qt/sqlite3db.h"

#include "platform/sqlite_qt/sqlite3connection.h"
#include "platform/sqlite_qt/sqlite3exception.h"
#include "platform/sqlite_qt/sqlite3stmt.h"

#include <atomic>

namespace {

std::atomic<int> g_busyTimeoutMs{Sqlite3DB::kDefaultBusyTimeoutMs};

} // namespace

void Sqlite3DB::setBusyTimeout(int ms)
{
    g_busyTimeoutMs = ms < 0 ? 0 : ms;
}

int Sqlite3DB::busyTimeout()
{
    return g_busyTimeoutMs;
}

Sqlite3DB::Sqlite3DB() : m_conn(std::make_shared<Sqlite3Connection>()) {}

Sqlite3DB::~Sqlite3DB()
{
    close();
}

sqlite3 *Sqlite3DB::handle() const
{
    return m_conn->handle();
}

bool Sqlite3DB::isOpen() const
{
    return m_conn->handle() != nullptr;
}

void Sqlite3DB::openThrow(const QString &path, int flags)
{
    m_path = path;
    m_conn->open(path, flags, busyTimeout());
}

void Sqlite3DB::close()
{
    m_conn->close();
}

void Sqlite3DB::runSimple(const char *sql)
{
    Sqlite3StmtPtr stmt = m_conn->statement(QString::fromLatin1(sql));
    stmt->execute();
}

void Sqlite3DB::beginTran()
{
    runSimple("BEGIN");
}

void Sqlite3DB::commitTran()
{
    try {
        runSimple("COMMIT");
    } catch (const Sqlite3Exception &e) {
        // A failed COMMIT can leave the transaction open (a lock held
        // elsewhere); end it so that nothing reports the writes as kept.
        const bool wasOpen = inTransaction();
        rollbackTran();
        const QString what = wasOpen ? QStringLiteral("The transaction could not be committed and was rolled back: %1")
                                     : QStringLiteral("The transaction could not be committed: %1");
        throw Sqlite3Exception(what.arg(e.message()), e.code());
    }
}

void Sqlite3DB::rollbackTran() noexcept
{
    if (!inTransaction())
        return;
    try {
        runSimple("ROLLBACK");
    } catch (...) {
        // Nothing more to do here: the transaction ends with the connection at the latest.
    }
}

bool Sqlite3DB::inTransaction() const
{
    sqlite3 *db = m_conn->handle();
    return db && !sqlite3_get_autocommit(db);
}

int Sqlite3DB::exec(const QString &sql, QString &error)
{
    sqlite3 *db = m_conn->handle();
    if (!db) {
        error = QStringLiteral("The database is not open");
        return SQLITE_MISUSE;
    }
    char *message = nullptr;
    const int rc = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK)
        error = (rc & 0xff) == SQLITE_BUSY ? m_conn->errorText(rc) : QString::fromUtf8(message ? message : sqlite3_errstr(rc));
    sqlite3_free(message);
    return rc;
}

void Sqlite3DB::executeThrow(const Sqlite3Sql &sql)
{
    Sqlite3StmtPtr stmt = m_conn->statement(sql.sql());
    stmt->bind(sql);
    stmt->execute();
}

Sqlite3Cursor Sqlite3DB::queryThrow(const Sqlite3Sql &sql)
{
    std::shared_ptr<Sqlite3Stmt> stmt = m_conn->statement(sql.sql());
    stmt->bind(sql);
    stmt->start();
    return Sqlite3Cursor(stmt);
}

QHash<QString, _SqliteCol> Sqlite3DB::tbInfo(const QString &table)
{
    QHash<QString, _SqliteCol> columns;
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info(?)")
                                     .addTextParam(table));
    while (c.moveNext()) {
        _SqliteCol col;
        col.name = c.getText(QStringLiteral("name"));
        col.type = c.getText(QStringLiteral("type"));
        col.notNull = c.getInt(QStringLiteral("notnull")) != 0;
        col.hasDefault = !c.isNull(QStringLiteral("dflt_value"));
        col.primaryKey = c.getInt(QStringLiteral("pk")) != 0;
        columns.insert(col.name, col);
    }
    return columns;
}

sqlite3_stmt *Sqlite3DB::keptStatement(const QString &sql)
{
    return m_conn->keep(sql);
}

quint64 Sqlite3DB::openSerial() const
{
    return m_conn->openSerial();
}

void Sqlite3DB::failKept(sqlite3_stmt *stmt, int rc)
{
    const QString reason = m_conn->errorText(rc);
    const QString sql = QString::fromUtf8(sqlite3_sql(stmt));
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    throw Sqlite3Exception(QStringLiteral("%1 (SQLite code %2) in SQL: %3").arg(reason).arg(rc).arg(sql), rc);
}

void Sqlite3DB::step(sqlite3_stmt *stmt)
{
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE)
        failKept(stmt, rc);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
}

qint64 Sqlite3DB::stepFirstInt64(sqlite3_stmt *stmt)
{
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        failKept(stmt, rc);
    const qint64 value = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : 0;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return value;
}

qint64 Sqlite3DB::lastInsertId() const
{
    sqlite3 *db = m_conn->handle();
    return db ? sqlite3_last_insert_rowid(db) : 0;
}

int Sqlite3DB::changes() const
{
    sqlite3 *db = m_conn->handle();
    return db ? sqlite3_changes(db) : 0;
}

int Sqlite3DB::preparedCount() const
{
    return m_conn->preparedCount();
}

int Sqlite3DB::cachedCount() const
{
    return m_conn->idleCount();
}
