#include "store/absdb.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3sql.h"

#include <stdexcept>

AbsDb::AbsDb() = default;

AbsDb::~AbsDb() = default;

void AbsDb::beginTransaction()
{
    open();
    beginTran();
    m_inTransaction = true;
}

void AbsDb::endTransaction(bool commit)
{
    if (!m_inTransaction)
        return;
    open();
    if (commit) {
        try {
            commitTran();
        } catch (...) {
            // The failed commit has been rolled back: nothing is left to end,
            // and the caller's cleanup must not act on a transaction that is gone.
            m_inTransaction = false;
            throw;
        }
    } else {
        rollbackTran();
    }
    m_inTransaction = false;
}

qint64 AbsDb::insert(const Sqlite3Row &row, const QString &table, const QSet<QString> &leaveOut)
{
    open();
    executeThrow(row.insertSql(table, leaveOut));
    return lastInsertId();
}

QList<Sqlite3Row> AbsDb::selectAll(const QString &table)
{
    open();
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql(QStringLiteral("select * from ")
                                                 + Sqlite3Row::quoted(table)));
    QList<Sqlite3Row> rows;
    while (cursor.moveNext())
        rows.append(cursor.getRow());
    return rows;
}

bool AbsDb::hasNoSchema()
{
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select 1 from sqlite_master limit 1"));
    return !cursor.moveNext();
}

void AbsDb::createInTransaction(const QString &script, const QString &errorText)
{
    beginTran();
    try {
        QString error;
        if (exec(script, error) != 0)
            throw std::runtime_error(errorText.arg(error).toUtf8().toStdString());
        commitTran();
    } catch (...) {
        rollbackTran();
        throw;
    }
}
