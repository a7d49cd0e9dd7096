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

#include <QByteArray>
#include <QHash>
#include <QString>

struct sqlite3_stmt;

class ResolvedCursor
{
public:
    explicit ResolvedCursor(const Sqlite3Cursor &cursor);

    bool moveNext() { return m_cursor.moveNext(); }

    // The index of a result column (exact name first, else ignoring ASCII
    // case, as SQLite compares identifiers); -1 when the result lacks it.
    int column(const QString &name) const { return m_cursor.columnIndex(name); }

    int getInt(int col) const;
    qint64 getInt64(int col) const;
    QString getText(int col) const;    // NULL: a null QString; '' an empty one
    QByteArray getBlob(int col) const; // NULL: a null QByteArray; x'' an empty one
    // The size of a text or blob value in bytes without reading it; 0 for
    // NULL, a missing column or no current row.
    int getBytes(int col) const;
    // For columns that repeat a few values over many rows (service, account,
    // country): equal values share one string instead of one copy per row.
    QString getSharedText(int col);

private:
    sqlite3_stmt *row(int col) const; // nullptr unless the column can be read

    Sqlite3Cursor m_cursor;
    QHash<QByteArray, QString> m_shared;
};
