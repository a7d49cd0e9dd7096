#pragma once
// Database files for the raw file reader and the carver, written with SQLite
// itself, and the tools to look at them and damage them: an oracle query that
// answers every row, and byte patches.
//
// Debian's SQLite is built to overwrite deleted content (SECURE_DELETE), so
// every connection made here turns that off: otherwise nothing would be left
// to carve. auto_vacuum stays off, so freed pages go to the freelist.
#include "tests/support/bytesfixture.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/sqlitefixture.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>

namespace testsupport {

// Makes path a new, empty database of that page size (replacing any file) and
// answers a connection to it with secure_delete off.
std::unique_ptr<SqliteFixture> createRawDb(const QString &path, int pageSize);
// A connection to an existing file with secure_delete off.
std::unique_ptr<SqliteFixture> openRawDb(const QString &path);

// How deleteRows deletes: a DELETE per row, in the order given (each frees
// its cell on its own), or one DELETE for all of them (which also rebalances
// and frees whole pages as it goes).
enum class DeleteMode { OneByOne, OneStatement };
// Deletes the rows of table with these rowids, on a connection with
// secure_delete off.
void deleteRows(const QString &path, const QString &table, const QList<qint64> &rowids, DeleteMode mode);

// Switches the database to write-ahead logging and answers a connection that
// never checkpoints: what it writes stays in "<file>-wal" until another
// connection checkpoints, or until it closes (SQLite's last close copies the
// log into the file and deletes it), so keep it open while the log matters.
std::unique_ptr<SqliteFixture> openWalWriter(const QString &path);

QByteArray fileBytes(const QString &path);
// Writes bytes over the file at offset (the file grows when needed).
void patchFile(const QString &path, qint64 offset, const QByteArray &bytes);

// The format's varint of value (1 to 9 bytes; 9 for negative values).
QByteArray sqliteVarint(qint64 value);
// A record: the header (its size, then one serial type per value) and the
// body. Values: invalid -> NULL, integral -> the smallest integer type,
// double -> float, QByteArray -> blob, anything else -> its UTF-8 text.
QByteArray sqliteRecord(const QVariantList &values);
// A table-leaf cell holding the whole record locally.
QByteArray tableLeafCell(qint64 rowid, const QByteArray &record);
// A table-leaf page of pageSize bytes (header at 0, so not page 1) holding the
// cells, packed against the page end in the given order and pointed to in
// that order; the space between the pointer array and the cells is zero.
QByteArray tableLeafPage(int pageSize, const QList<QByteArray> &cells);

// ---- the phone's handle table ---------------------------------------------

// A handle row whose texts name its rowid: id "+49151000000" followed by the
// rowid in three digits, country "de", service "SMS", uncanonicalized_id "row"
// and the rowid.
struct CarveHandleRow
{
    qint64 rowid = 0;
    QString id;
    QString country;
    QString service;
    QString uncanonicalizedId;
};
CarveHandleRow carveHandleRow(qint64 rowid);
void insertHandle(SqliteFixture &db, const CarveHandleRow &row);

// A handle table of rows 1..rowCount on a single 1024-byte page; then each
// rowid of deleteInOrder is deleted in its own statement, in that order.
// Answers the table's root page.
int writeHandlePageDb(const QString &path, int rowCount, const QList<qint64> &deleteInOrder);

// ---- the phone's 38-column message table -------------------------------------

struct CarveMessageRow
{
    qint64 rowid = 0;
    QString guid;
    QVariant text; // an invalid QVariant writes NULL (the text lives in attributedBody)
    qint64 handleId = 0;
    QString service = QStringLiteral("SMS");
    QString account;
    QString accountGuid;
    QByteArray attributedBody; // empty writes NULL
    qint64 date = 0;           // seconds, or nanoseconds as later phones store them
    int isFromMe = 0;
    QString cacheRoomnames; // empty writes NULL
};
// A message whose guid and text name the rowid.
CarveMessageRow carveMessageRow(qint64 rowid, const QString &text);
void insertMessage(SqliteFixture &db, const CarveMessageRow &row);

// The text of a message that names its rowid: "msg <rowid>: " and the rest,
// so each text is unique and no text is the start of another.
QString rowidText(qint64 rowid, const QString &rest);
// Renames every text of the content with rowidText; every third text also
// gets an emoji, as real conversations have.
void nameMessagesByRowid(MsgFixtureContent &content);

} // namespace testsupport
