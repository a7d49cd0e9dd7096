#pragma once
// Reading a query's rows by column index. The readers of the message databases
// read tens of columns from hundreds of thousands of rows; a name lookup per
// value would cost more than reading the value. Column names are resolved to
// indexes once per statement (column), and each getter then reads straight
// from the statement, with the same answers as Sqlite3Cursor's named getters:
// a missing column (index -1), or no current row, answers 0, a null text or
// null bytes, so phone files that lack the program's extra columns read as if
// those columns were empty.
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3stmt.h"
#include "store/sharedtext.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <sqlite3.h>

#include <vector>

class ResolvedCursor
{
public:
    explicit ResolvedCursor(const Sqlite3Cursor &cursor);

    bool moveNext()
    {
        const bool onRow = m_cursor.moveNext();
        // A statement's columns change only when SQLite re-prepares it, which
        // happens in a step, never within a row.
        m_columns = onRow ? m_cursor.columnCount() : 0;
        return onRow;
    }

    // The index of a result column (exact name first, else ignoring ASCII
    // case, as SQLite compares identifiers); -1 when the result lacks it.
    int column(const QString &name) const { return m_cursor.columnIndex(name); }

    int getInt(int col) const
    {
        sqlite3_stmt *s = row(col);
        return s ? sqlite3_column_int(s, col) : 0;
    }
    qint64 getInt64(int col) const
    {
        sqlite3_stmt *s = row(col);
        return s ? sqlite3_column_int64(s, col) : 0;
    }
    QString getText(int col) const;    // NULL: a null QString; '' an empty one
    QByteArray getBlob(int col) const; // NULL: a null QByteArray; x'' an empty one
    // As getBlob, without copying: the bytes stay SQLite's and are valid only
    // until the cursor moves on (copy them to keep them).
    QByteArray peekBlob(int col) const;
    // The size of a text or blob value in bytes without reading it; 0 for
    // NULL, a missing column or no current row.
    int getBytes(int col) const;
    // For columns that repeat a few values over many rows (service, account,
    // country): equal values share one node instead of one copy per row, and
    // a value seen on a recent row costs neither an allocation nor a decode.
    SharedText getSharedText(int col);

private:
    // nullptr unless the column can be read. The statement is asked each time
    // (not kept): a database closed under the cursor leaves it without one.
    sqlite3_stmt *row(int col) const
    {
        if (col < 0 || col >= m_columns)
            return nullptr;
        Sqlite3Stmt *stmt = m_cursor.statement();
        return stmt && stmt->onRow() ? stmt->handle() : nullptr;
    }

    // The last few distinct values of one column, newest in `next - 1`.
    struct Recent
    {
        static constexpr int kSize = 4;
        QByteArray bytes[kSize];
        SharedText values[kSize];
        int used = 0;
        int next = 0;
    };

    Sqlite3Cursor m_cursor;
    int m_columns = 0;
    QHash<QByteArray, SharedText> m_shared;
    std::vector<Recent> m_recent; // by column index
};
