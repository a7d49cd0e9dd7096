#pragma once
// A raw SQLite connection for fixture builders: they write databases in the
// layouts the program reads without going through the code under test.
#include <QList>
#include <QString>
#include <QVariantList>

struct sqlite3;
struct sqlite3_stmt;

namespace testsupport {

class SqliteFixture
{
public:
    // Opens (creating) the file; throws std::runtime_error on failure.
    explicit SqliteFixture(const QString &path);
    ~SqliteFixture();
    SqliteFixture(const SqliteFixture &) = delete;
    SqliteFixture &operator=(const SqliteFixture &) = delete;

    // Runs a script of statements without values.
    void exec(const QString &script);
    // Runs one statement with values bound as bindValue binds them.
    void run(const QString &sql, const QVariantList &values = {});

private:
    sqlite3 *m_db = nullptr;
};

// Binds v to the index-th placeholder (from 1): an invalid QVariant, a null
// QString or a null QByteArray binds NULL, QByteArray a blob, integral types
// an integer, anything else its text.
void bindValue(sqlite3_stmt *stmt, int index, const QVariant &v);

// The first column of the first row that sql answers, read on a connection of
// its own (read-only), so a test sees what the code under test really wrote:
// integers as qlonglong, text as QString, blobs as QByteArray, NULL as an
// invalid QVariant, and the text "<no row>" when there is no row. Throws
// std::runtime_error when the file or the query fails.
QVariant queryValue(const QString &path, const QString &sql);

// Every row sql answers, on a read-only connection of its own, each value as
// queryValue gives it ('' and x'' as empty, not null, text and bytes).
// Throws std::runtime_error on failure.
QList<QVariantList> queryRows(const QString &path, const QString &sql);

// Holds a read transaction open on the file's message table for its life, so
// that no other connection can commit a write to it.
class ReadLock
{
public:
    explicit ReadLock(const QString &path);
    ~ReadLock();
    ReadLock(const ReadLock &) = delete;
    ReadLock &operator=(const ReadLock &) = delete;

private:
    sqlite3 *db = nullptr;
};

} // namespace testsupport
