#pragma once
// Base of every SQLite database the program opens. Each derived class decides
// in open() how its file is opened, created or upgraded; every operation calls
// open() first, so objects are cheap to build and touch their file only when
// first used (and again after a close()).
#include "platform/sqlite_qt/sqlite3db.h"
#include "platform/sqlite_qt/sqlite3row.h"

#include <QList>
#include <QSet>
#include <QString>

class AbsDb : public Sqlite3DB
{
public:
    AbsDb();
    ~AbsDb() override; // does not end a transaction; close() rolls one back

    // Opens the database unless it is open already; throws std::exception
    // (std::runtime_error with a UTF-8 text) when that fails.
    virtual void open() = 0;

    void beginTransaction();
    // Does nothing unless beginTransaction marked a transaction, so error paths
    // may call endTransaction(false) whether or not theirs was begun. A failed
    // commit throws; the transaction is rolled back and no longer marked.
    void endTransaction(bool commit);
    bool isInTransaction() const { return m_inTransaction; }

    // Inserts the row into table, leaving out the columns named in leaveOut
    // ({"rowid"} makes the row take the next free rowid); answers the new rowid.
    qint64 insert(const Sqlite3Row &row, const QString &table,
                  const QSet<QString> &leaveOut = QSet<QString>());
    // Every row of table, in the order SQLite delivers them.
    QList<Sqlite3Row> selectAll(const QString &table);

protected:
    // Whether the open file holds not a single schema object: an empty file,
    // or one whose creation was cut off (the rollback of its journal empties
    // it again). Such a file is built as a new one.
    bool hasNoSchema();
    // Runs a creation script in one transaction, so a process ended half-way
    // leaves a journal whose rollback empties the file, never a file with
    // half the tables. Throws std::runtime_error with errorText's %1 filled
    // with SQLite's text; nothing of the script stays then.
    void createInTransaction(const QString &script, const QString &errorText);

    bool m_inTransaction = false;
};
