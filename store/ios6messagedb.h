#pragma once
// A message database in the layout iPhones use from iOS 6 on (tables chat,
// handle, message, attachment and their join tables). One class serves two
// kinds of file: a phone's own sms.db copied into a cache folder, opened as it
// is, and the program's own local message databases, which have a few extra
// columns, are created from the compiled-in schema script and are brought up
// to date on every open.
//
// The file lies at "file-relay/var/mobile/Library/SMS/sms.db" inside the
// cache folder, so a local database folder mirrors a phone's file tree.
#include "store/absiosmessagedb.h"
#include "store/countrylibdb.h"
#include "store/ioscontactsmemdb.h"
#include "store/messagerecycledb.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>

class ProgressForm;
class Sqlite3Exception;
struct _SqliteCarvedRow;

class IOS6MessageDb : public AbsIOSMessageDb
{
public:
    // mcc: the phone's mobile country code, empty for local databases.
    // upgradeSchema: true for the program's own databases, false for a
    // phone's. Opens nothing.
    IOS6MessageDb(const QDir &cacheDir, const QString &mcc, bool upgradeSchema);
    ~IOS6MessageDb() override;

    // Opens the file, creating it (with its folders) from the schema script
    // when missing, else upgrading it when upgradeSchema is set; a local
    // database without any schema object (an empty file) is built as a new
    // one. Creation and upgrade each run in one transaction, so a process
    // ended half-way leaves the file as it was. On failure the connection is
    // closed again and a file this call created is removed, so the next open
    // starts afresh and reports the fault again.
    void open() override;

    void chats(QSharedPointer<_MsgStore> &store) override;
    // chatId > 0 reads that chat, 0 or less every chat.
    void messages(QSharedPointer<_MsgStore> &store, qint64 chatId) override;
    int iosVersion() const override { return 6; }

    // Whether the message table has item_type. Answers from the table map of
    // the last open (false before the first).
    bool hasItemType() const;

    // Optional columns are told by searching the table's CREATE statement as
    // stored in sqlite_master (from the last open), never by asking the
    // database; a table missing from the map reads as empty text.
    bool tableSqlContains(const QString &table, const QString &text, Qt::CaseSensitivity cs) const;

    QString filePath() const { return dbPath; }
    QDir cacheFolder() const { return cacheDir; }

    // The record's date (seconds since 2001) of a date as a database stores
    // it: seconds up to iOS 10 and in the program's own files, nanoseconds on
    // later phones (told apart by size); held at the ends of int.
    static int recordDate(qint64 stored);
    // A stored date of a larger magnitude is in nanoseconds.
    static constexpr qint64 kNanosecondDatesAbove = 100000000000LL; // 10^11

    // Where the database file of a cache or database folder lies, and the
    // store of recovered deleted messages beside it.
    static QString databasePath(const QDir &cacheDir);
    static QString recyclePath(const QDir &cacheDir);

    // ---- Writing, lookups and deletion ----------------------------------
    // Every operation below except setPath and recycleDb opens the database
    // first. None starts or ends a transaction: callers wrap their calls in
    // beginTransaction/endTransaction. Errors of the database come out as its
    // exceptions; what a multi-statement operation already wrote stays until
    // the caller's transaction is rolled back. Rowid lookups answer 0 when
    // there is no such row.

    // Points the object at another database file; opens and closes nothing.
    void setPath(const QString &path);
    // The country under which numbers without a country of their own are
    // normalised (the mcc's, else the country data's default); opens the
    // country data, throwing when it cannot.
    const _CountryInfo &defaultCountry() { return countryDb.defaultCountry(); }
    // The store of recovered deleted messages beside the database; opens nothing.
    MessageRecycleDb *recycleDb();

    qint64 chatRowid(const QString &guid);
    qint64 handleRowid(const _MsgHandle *handle); // by id and service
    qint64 messageRowid(const QString &guid);
    qint64 attachmentRowid(const _MsgAttachment *attachment); // by guid
    // By calcLogicHash of the message; 0 without a query when the message
    // table keeps no logic_hash.
    qint64 messageRowidByLogicHash(const _MsgMessage *message);
    qint64 messageRowidByLogicHash(const QString &logicHash);
    // Whether the message table keeps logic_hash (opens the database).
    bool hasLogicHash();
    bool hasChatHandle(qint64 chatRowid, qint64 handleRowid);
    // Messages joined to any chat, group events of item type 4 left out.
    qint64 messageCount();

    // Joins are "replace into": a pair joined twice stays one row.
    void joinChatHandle(qint64 chatRowid, qint64 handleRowid);
    void joinChatMessage(qint64 chatRowid, qint64 messageRowid);
    void joinMessageAttachment(qint64 messageRowid, qint64 attachmentRowid);
    void setLastAddressedHandle(qint64 chatRowid, const QString &handleId);
    // Raises the chat's _last to date when that is newer; nothing on a file
    // whose chat table has no _last.
    void updateChatLast(qint64 chatRowid, int date);

    // Inserts answer the new rowid. Empty optional values are left to the
    // column's default, and columns the target lacks are left out.
    qint64 insertHandle(const _MsgHandle *handle);
    // Also finds or inserts every member handle and joins it to the new chat.
    // The service is written as the chat has it, a null one as "SMS".
    qint64 insertChat(const _MsgChat *chat);
    // handleRowid and otherHandleRowid are rowids in this database (0: none);
    // an empty logicHash is computed from the message. Joins nothing.
    qint64 insertMessage(const _MsgMessage *message, qint64 handleRowid, qint64 otherHandleRowid,
                         const QString &logicHash);
    qint64 insertAttachment(const _MsgAttachment *attachment); // joins nothing
    // What a record date is multiplied by to be written into this file: 1,
    // or 10^9 where the file already holds nanosecond dates (told by its
    // newest dated message at the first ask after an open).
    qint64 storedDateScale();
    // Whether a failed write was the schema refusing the row's values (a
    // constraint, a type) rather than the file failing (full, read-only,
    // damaged): only the first may cost just that row.
    static bool refusedRow(const Sqlite3Exception &e);
    // Sets that unit until the next open, for a file whose own messages
    // cannot tell it (a work copy emptied before it is filled again).
    void setStoredDateScale(qint64 scale) { dateScale = scale; }
    // Deletes the message (a record read from this database) with its join
    // rows, and its chat when no message is left in it. The schema's triggers
    // remove handles and attachments nothing refers to any more.
    void deleteMessage(const _MsgMessage *message);

    // ---- Recovery of deleted rows ----------------------------------------
    // The members that read the raw file are defined in recovery/ (store/
    // never reaches the raw reader); the program links them only where it
    // recovers.
    //
    // Each looks for deleted rows of its table in the file read raw (intact
    // cells of freed table pages, then carved free space of the table's pages
    // and of the freed pages) and stores those recycle.db does not hold yet,
    // all inside one transaction of recycle.db: committed at the end (also
    // when cancelled through progress->failed), rolled back when anything
    // throws. progress may be null; it gets the share of pages carved.
    // Handles first: a recovered message finds its correspondent among the
    // recovered handles when no passed chat knows its handle_id.
    void recoverDeletedHandles(ProgressForm *progress);
    // chats: chats loaded from this database (their members carry its handle
    // rowids); they give a message its conversation and correspondent.
    void recoverDeletedMessages(const QList<_MsgChat *> &chats, ProgressForm *progress);
    // The carving filters: a row that is not cut at the end of its range,
    // with more than 4 (38) values and a service "SMS" or "iMessage" in any
    // letter case; a message also with a guid of the 8-4-4-4-12 shape.
    static bool filterCarvedHandle(_SqliteCarvedRow *row);
    static bool filterCarvedMessage(_SqliteCarvedRow *row);
    // Decoded rows (carved, or cells of freed pages) as records; false when
    // the row is no handle or message of this layout. A handle's id is
    // normalised under its country (the default one when it has none); an
    // unknown country code refuses it.
    bool carvedRowToHandle(const _SqliteCarvedRow &row, _MsgHandle *out);
    static bool carvedRowToMessage(const _SqliteCarvedRow &row, _MsgMessage *out);

    // Merges the messages of recycle.db into store, except those whose guid
    // this database still holds (MessageRecycleDb::mergeIntoStore).
    void loadRecycledMessages(QSharedPointer<_MsgStore> &store);

protected:
    QDir cacheDir;
    QDir fileRelayDir;
    IOSContactsMemDb contactsDb;
    MessageRecycleDb recycle;
    CountryLibDb countryDb;
    QHash<QString, QString> tableSql; // table name -> CREATE statement
    QString dbPath; // the database file
    bool upgradeSchema;

private:
    void createFromScript();
    void upgrade();
    void upgradeSteps();
    void readTableSql();
    // Whether the table's CREATE text holds text; the answers are kept for as
    // long as the table map keeps the same text.
    bool probe(const QString &table, const QString &text, Qt::CaseSensitivity cs) const;
    qint64 firstRowid(const Sqlite3Sql &sql);
    // The statements of the row-level writes and look-ups, prepared once per
    // open, and the columns the open file has; see ios6messagedbwrite.cpp.
    struct WritePlan;
    WritePlan &writePlan();
    std::shared_ptr<WritePlan> plan; // shared_ptr: complete only in the write file
    struct ProbeCache
    {
        QString createSql;
        QHash<QString, bool> answers;
    };
    mutable QHash<QString, ProbeCache> probeCache;
    qint64 dateScale = 0;
};
