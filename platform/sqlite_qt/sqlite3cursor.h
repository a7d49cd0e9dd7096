#pragma once
#include "platform/sqlite_qt/sqlite3row.h"

#include <QByteArray>
#include <QString>

#include <memory>

class Sqlite3Stmt;

// The rows of a query. Copies share one statement and one position; the
// statement goes back to its connection's cache with the last copy.
//
// Getters read the current row. A column the result lacks, or no current row,
// answers 0, empty text or empty bytes; names compare ignoring ASCII case, so
// "rowid" finds a column a table declares as "ROWID". After the database has
// been closed a cursor answers no more rows.
class Sqlite3Cursor
{
public:
    Sqlite3Cursor();
    explicit Sqlite3Cursor(std::shared_ptr<Sqlite3Stmt> stmt);

    // True while a row is current. Throws std::runtime_error (Sqlite3Exception)
    // when SQLite fails between rows, so a broken read is not taken for the end.
    bool moveNext();

    int getInt(const QString &col) const;
    qint64 getInt64(const QString &col) const;
    qint64 getInt64(int index) const;
    QString getText(const QString &col) const;     // NULL answers a null QString, '' an empty one
    QByteArray getBlob(const QString &col) const;  // NULL answers a null QByteArray, x'' an empty one
    bool isNull(const QString &col) const;         // true for a missing column too
    double getDouble(const QString &col) const;

    int columnCount() const;
    QString columnName(int i) const;
    int columnIndex(const QString &col) const; // -1 when absent

    // The current row (empty without one); of duplicate names the first column wins.
    Sqlite3Row getRow() const;
    // Number of rows of the whole result, whatever the position; may be called
    // before the first moveNext and does not move the cursor. Runs the query a
    // second time (once per cursor); throws for a statement that writes.
    int count();

    Sqlite3Stmt *statement() const { return m_stmt.get(); }

private:
    int rowIndex(const QString &col) const; // -1 unless a row is current and the column exists
    std::shared_ptr<Sqlite3Stmt> m_stmt;
};
