#pragma once
// What the benchmarks measure with: the process's memory figures from /proc
// and a plain SQLite read that touches every value, the floor a reader of the
// same rows is held against.
#include <QByteArray>
#include <QFile>

#include <sqlite3.h>

#include <stdexcept>

// A field of /proc/self/status in kB, -1 when unreadable.
inline qint64 statusKb(const char *field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Lets VmHWM measure from now on (Linux 4.0 and later).
inline bool resetPeak()
{
    QFile clear("/proc/self/clear_refs");
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// Steps through a statement, touching every value as a reader would need it.
inline quint64 drain(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    quint64 sum = 0;
    const int columns = sqlite3_column_count(stmt);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            switch (sqlite3_column_type(stmt, i)) {
            case SQLITE_INTEGER:
                sum += quint64(sqlite3_column_int64(stmt, i));
                break;
            case SQLITE_TEXT:
                sqlite3_column_text(stmt, i);
                sum += quint64(sqlite3_column_bytes(stmt, i));
                break;
            case SQLITE_BLOB:
                sqlite3_column_blob(stmt, i);
                sum += quint64(sqlite3_column_bytes(stmt, i));
                break;
            default:
                break;
            }
        }
    }
    sqlite3_finalize(stmt);
    return sum;
}
