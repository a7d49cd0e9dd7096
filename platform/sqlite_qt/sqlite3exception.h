#pragma once
#include <QString>

#include <stdexcept>

// What every failing database operation throws: a UTF-8 text for the user and
// the log, and SQLite's (extended) result code for callers that must tell a
// locked database from a broken one.
class Sqlite3Exception : public std::runtime_error
{
public:
    Sqlite3Exception(const QString &message, int code);

    // SQLite's extended result code; SQLITE_MISUSE for misuse of this library
    // (a closed connection, a wrong number of values).
    int code() const { return m_code; }
    QString message() const { return QString::fromUtf8(what()); }

private:
    int m_code;
};
