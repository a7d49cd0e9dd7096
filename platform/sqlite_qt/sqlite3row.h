#pragma once
#include "platform/sqlite_qt/sqlite3sql.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QVariant>

// One result row: column name -> value. NULL is an invalid QVariant, integers
// are qlonglong, reals double, text QString and blobs QByteArray, so a row
// read from one database writes back unchanged into another.
class Sqlite3Row : public QMap<QString, QVariant>
{
public:
    using QMap<QString, QVariant>::QMap;
    Sqlite3Row() = default;

    // Column names compare ignoring ASCII case, as in SQL ("rowid" finds
    // "ROWID"); an exact match wins.
    QVariant get(const QString &col) const;
    bool has(const QString &col) const;

    // INSERT of the row's columns into table, every identifier double-quoted
    // and every value bound. Columns named in leaveOut (ignoring ASCII case)
    // are not written: {"rowid"} lets the new row take the next free rowid.
    Sqlite3Sql insertSql(const QString &table, const QSet<QString> &leaveOut = {}) const;

    // An identifier in double quotes, embedded quotes doubled.
    static QString quoted(const QString &identifier);

private:
    const_iterator findName(const QString &col) const;
};
