#include "platform/sqlite_qt/sqlite3stmt.h"

#include "platform/sqlite_qt/sqlite3connection.h"
#include "platform/sqlite_qt/sqlite3exception.h"

namespace {

// SQLite compares identifiers ignoring ASCII case only.
QString asciiFolded(const QString &s)
{
    QString out = s;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        if (u >= u'A' && u <= u'Z')
            c = QChar(char16_t(u + (u'a' - u'A')));
    }
    return out;
}

} // namespace

Sqlite3Stmt::Sqlite3Stmt(Sqlite3Connection *conn, sqlite3_stmt *stmt, const QString &sql)
    : m_conn(conn), m_stmt(stmt), m_sql(sql)
{
}

Sqlite3Stmt::~Sqlite3Stmt()
{
    sqlite3_finalize(m_stmt);
}

void Sqlite3Stmt::recycle()
{
    if (m_stmt) {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    m_bound = Sqlite3Sql();
    m_state = State::Idle;
    m_count = -1;
}

void Sqlite3Stmt::detach()
{
    sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    m_state = State::Done;
    m_count = -1;
    m_exact.clear();
    m_folded.clear();
    m_namesBuiltAt = -1;
}

void Sqlite3Stmt::fail(int rc, const QString &what) const
{
    const QString reason = m_conn->errorText(rc);
    const QString prefix = what.isEmpty() ? QString() : what + QStringLiteral(": ");
    throw Sqlite3Exception(QStringLiteral("%1%2 (SQLite code %3) in SQL: %4").arg(prefix, reason).arg(rc).arg(m_sql), rc);
}

void Sqlite3Stmt::bind(const Sqlite3Sql &sql)
{
    if (!m_stmt)
        throw Sqlite3Exception(QStringLiteral("The database is not open (SQL: %1)").arg(m_sql), SQLITE_MISUSE);
    const int expected = sqlite3_bind_parameter_count(m_stmt);
    if (expected != sql.paramCount()) {
        throw Sqlite3Exception(QStringLiteral("The SQL has %1 placeholders but %2 values were given: %3")
                                   .arg(expected)
                                   .arg(sql.paramCount())
                                   .arg(m_sql),
                               SQLITE_RANGE);
    }
    m_bound = sql;
    const auto &params = sql.params();
    for (int i = 0; i < params.size(); ++i) {
        const Sqlite3Sql::Param &p = params.at(i);
        const int at = i + 1;
        int rc = SQLITE_OK;
        switch (p.type) {
        case Sqlite3Sql::ParamType::Null:
            rc = sqlite3_bind_null(m_stmt, at);
            break;
        case Sqlite3Sql::ParamType::Int64:
            rc = sqlite3_bind_int64(m_stmt, at, p.integer);
            break;
        case Sqlite3Sql::ParamType::Double:
            rc = sqlite3_bind_double(m_stmt, at, p.real);
            break;
        case Sqlite3Sql::ParamType::Text:
            // A null pointer would bind NULL: empty text stays empty text.
            rc = sqlite3_bind_text64(m_stmt, at, p.bytes.isEmpty() ? "" : p.bytes.constData(),
                                     sqlite3_uint64(p.bytes.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        case Sqlite3Sql::ParamType::Blob:
            if (p.bytes.isEmpty())
                rc = sqlite3_bind_zeroblob(m_stmt, at, 0);
            else
                rc = sqlite3_bind_blob64(m_stmt, at, p.bytes.constData(), sqlite3_uint64(p.bytes.size()),
                                         SQLITE_TRANSIENT);
            break;
        }
        if (rc != SQLITE_OK)
            fail(rc, QStringLiteral("Cannot bind value %1").arg(at));
    }
    m_state = State::Idle;
    m_count = -1;
}

void Sqlite3Stmt::finish()
{
    // Ends the statement's read at once, so a finished cursor does not keep
    // other connections from writing.
    if (m_stmt)
        sqlite3_reset(m_stmt);
    m_state = State::Done;
}

void Sqlite3Stmt::execute()
{
    if (!m_stmt)
        throw Sqlite3Exception(QStringLiteral("The database is not open (SQL: %1)").arg(m_sql), SQLITE_MISUSE);
    int rc;
    while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        try {
            fail(rc, QString());
        } catch (...) {
            finish();
            throw;
        }
    }
    finish();
}

void Sqlite3Stmt::start()
{
    if (!m_stmt)
        throw Sqlite3Exception(QStringLiteral("The database is not open (SQL: %1)").arg(m_sql), SQLITE_MISUSE);
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        m_state = State::FirstRow;
    } else if (rc == SQLITE_DONE) {
        finish();
        m_state = State::FirstDone;
    } else {
        try {
            fail(rc, QString());
        } catch (...) {
            finish();
            throw;
        }
    }
}

bool Sqlite3Stmt::next()
{
    if (!m_stmt)
        return false;
    switch (m_state) {
    case State::FirstRow:
        m_state = State::Row;
        return true;
    case State::FirstDone:
    case State::Idle:
    case State::Done:
        m_state = State::Done;
        return false;
    case State::Row:
        break;
    }
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE) {
        finish();
        return false;
    }
    try {
        fail(rc, QStringLiteral("Reading the next row failed"));
    } catch (...) {
        finish();
        throw;
    }
}

int Sqlite3Stmt::count()
{
    if (m_count >= 0)
        return m_count;
    if (!m_stmt)
        return 0;
    if (!sqlite3_stmt_readonly(m_stmt)) {
        throw Sqlite3Exception(
            QStringLiteral("Cannot count the rows of a statement that writes (it would run twice): %1").arg(m_sql),
            SQLITE_MISUSE);
    }
    Sqlite3StmtPtr twin = m_conn->statement(m_sql);
    twin->bind(m_bound);
    int n = 0;
    int rc;
    while ((rc = sqlite3_step(twin->m_stmt)) == SQLITE_ROW)
        ++n;
    if (rc != SQLITE_DONE) {
        try {
            twin->fail(rc, QStringLiteral("Counting the rows failed"));
        } catch (...) {
            twin->finish();
            throw;
        }
    }
    twin->finish();
    m_count = n;
    return n;
}

int Sqlite3Stmt::columnCount() const
{
    return m_stmt ? sqlite3_column_count(m_stmt) : 0;
}

void Sqlite3Stmt::buildNames() const
{
    m_exact.clear();
    m_folded.clear();
    const int n = sqlite3_column_count(m_stmt);
    m_exact.reserve(n);
    m_folded.reserve(n);
    for (int i = 0; i < n; ++i) {
        const QString name = QString::fromUtf8(sqlite3_column_name(m_stmt, i));
        if (!m_exact.contains(name))
            m_exact.insert(name, i);
        const QString folded = asciiFolded(name);
        if (!m_folded.contains(folded))
            m_folded.insert(folded, i);
    }
    m_namesBuiltAt = sqlite3_stmt_status(m_stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
}

int Sqlite3Stmt::columnIndex(const QString &name) const
{
    if (!m_stmt)
        return -1;
    // SQLite re-prepares a statement after a schema change, and "select *"
    // may then have other columns.
    if (m_namesBuiltAt != sqlite3_stmt_status(m_stmt, SQLITE_STMTSTATUS_REPREPARE, 0))
        buildNames();
    const auto exact = m_exact.constFind(name);
    if (exact != m_exact.constEnd())
        return *exact;
    return m_folded.value(asciiFolded(name), -1);
}
