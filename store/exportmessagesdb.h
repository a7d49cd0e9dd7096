#pragma once
// Writes messages from any source into a message database in the local
// layout, so that the same conversations can be merged into one database again
// and again without duplicates: one chat per guid, one handle per (id,
// service), one message per logic hash (or per guid where the target keeps no
// logic hash), one attachment row per guid, join rows never doubled.
//
// Attachment files are copied below the database folder's "file-relay" folder
// at the path they had on the phone, so a database folder mirrors the part of
// a phone's file tree that its messages need. The path comes from a foreign
// database: a copy never leaves that folder and never lands on a file the
// program itself keeps in the database folder.
#include "store/absformatexport.h"
#include "store/containedpath.h"
#include "store/ios6messagedb.h"
#include "store/msgrecords.h"

#include <QDir>
#include <QHash>
#include <QPair>
#include <QSet>
#include <QString>

#include <vector>

struct sqlite3_stmt;

class ExportMessagesDb : public AbsFormatExport<_MsgMessage>
{
public:
    // dbDir: the database folder; mcc: the country code its number
    // normalisation uses (empty for local databases). Opens nothing.
    // upgradeSchema false writes into an existing file as it is (a phone's own
    // database, which may lack logic_hash and item_type) instead of bringing
    // it up to the local layout first.
    ExportMessagesDb(const QDir &dbDir, const QString &mcc, bool upgradeSchema = true);
    // Neither commits nor rolls back by itself; the connection's close drops
    // an unfinished transaction.
    ~ExportMessagesDb() override;

    // Opens the database (creating or upgrading it), sizes its page cache for
    // the run, begins the one transaction of the run and reads what the
    // duplicate checks need (chats, handles, their joins, the messages' logic
    // hashes and guids) into memory.
    void begin() override;
    // Adds one message unless the database holds it already; skips group
    // events the target cannot store and messages without a real chat.
    void write(const _MsgMessage &message) override;
    // Writes each chat's newest date and last addressed handle, commits, then
    // closes the connection, also when either fails (the failure is thrown
    // after the close, with the run's rows rolled back).
    void end() override;
    // Drops the run: rolls the open transaction back and closes. Never throws.
    void abort() noexcept;

    // What the run since the last begin did: messages stored as new rows, and
    // messages left out because their chat could not be written (with the
    // number of such chats). Duplicates and skipped group events count in
    // neither.
    int writtenCount() const { return written; }
    int leftOutCount() const { return leftOut; }
    int leftOutChatCount() const { return int(unwritableChats.size()); }

    IOS6MessageDb &database() { return db; }
    QString fileRelayPath() const { return fileRelay.root(); }

    // The "file-relay" folder of the database folder dbDir as the place for
    // attachment copies: the message database with its side files, the
    // address book folder, the contacts cache and the recycle store are
    // protected from them.
    static ContainedPath attachmentFolder(const QDir &dbDir);

    // Where in the "file-relay" folder of dbDir the file of an attachment with
    // this phone path is kept: a leading "/" removed, "~/" mapped to
    // "var/mobile/", the characters : * ? " < > | removed, the rest resolved
    // by attachmentFolder. Empty when refused (see ContainedPath::target).
    static QString attachmentTarget(const QDir &dbDir, const QString &phonePath);

private:
    static QString attachmentTarget(const ContainedPath &folder, const QString &phonePath);
    void copyAttachmentFile(const _MsgAttachment &attachment) const;
    qint64 joinedHandle(qint64 chatRowid, const _MsgHandle *handle);
    // The chat's rowid, the chat inserted when missing; 0 when it cannot be
    // written (its rows are rolled back, the chat remembered).
    qint64 chatRowidOrInsert(const _MsgChat *chat);
    // Inserts the chat and its members under a savepoint; 0 when refused.
    qint64 insertChat(const _MsgChat *chat);
    // Whether a row found under the message's guid is another message: it
    // keeps a logic hash of its own that is not the message's.
    bool isOtherMessage(qint64 rowid, const QString &logicHash);
    void readRunState();
    void readGuids();
    void clearRunState();
    // The chat's member handles as the database joined them (after an insert).
    void rememberMembers(qint64 chatRowid);
    qint64 messageRowidByGuid(const QString &guid);
    void flushChatUpdates();

    // What the database holds, kept for the run (the run is the database's
    // only writer: its transaction holds the write lock throughout). Rows of
    // this run are added as they are written; the first row of a key wins,
    // as it does for the statements these stand in for.
    struct Md5Key
    {
        quint64 high = 0, low = 0;
        bool operator==(const Md5Key &o) const { return high == o.high && low == o.low; }
    };
    // Logic-hash digests to the rowid that holds each. A run over a database
    // of a million messages looks one up per message: open addressing over
    // fixed-size slots costs one cache line per look-up, where a QHash reads
    // its span's index and then the entry. A slot of rowid 0 is free (no row
    // has rowid 0).
    class DigestRows
    {
    public:
        void clear();
        void reserve(qsizetype count);
        qint64 value(const Md5Key &key) const; // 0 when absent
        // Adds the key with rowid, or keeps the smaller rowid when present.
        void keepSmallest(const Md5Key &key, qint64 rowid);
        // Adds the key with rowid unless present.
        void insertNew(const Md5Key &key, qint64 rowid);
        // Asks for the key's first slot ahead of a look-up or insert.
        void prefetch(const Md5Key &key) const;

    private:
        struct Slot
        {
            quint64 high, low;
            qint64 rowid;
        };
        size_t home(const Md5Key &key) const;
        Slot &slotOf(const Md5Key &key); // the key's slot, or the free one it would take
        // Puts the key in a free slot with rowid; the slot it holds already
        // when present.
        Slot *taken(const Md5Key &key, qint64 rowid);
        void grow(size_t capacity);

        std::vector<Slot> cells;
        size_t used = 0;
        size_t mask = 0;
        size_t seed = 0;
    };

    // The rowid a chat or handle record of this run was found or written
    // under, keyed by the record and kept with a copy of its key texts. The
    // copy shares the record's characters, so while the record's texts are
    // still those very characters its key is unchanged, and comparing where
    // they lie stands in for hashing and comparing the texts themselves.
    struct ChatSeen
    {
        QString guid;
        qint64 rowid = 0;
    };
    struct HandleSeen
    {
        QString id, service;
        qint64 rowid = 0;
    };
    QHash<const _MsgChat *, ChatSeen> chatsSeen;
    QHash<const _MsgHandle *, HandleSeen> handlesSeen;
    QHash<QString, qint64> chatRows;                        // by guid
    QHash<QPair<QString, QString>, qint64> handleRows;      // by id and service
    QSet<QPair<qint64, qint64>> chatHandles;                // joined (chat, handle)
    DigestRows hashRows;                                    // logic hashes (calcLogicHashDigest)
    QSet<quint64> guidDigests;                              // a 64-bit digest of every message guid
    QHash<qint64, int> chatLast;                            // newest date written per chat
    QHash<qint64, QString> lastAddressed;                   // per group chat
    bool logicHashes = false;
    bool guidsRead = false;
    sqlite3_stmt *membersOfChat = nullptr; // kept by the connection of membersSerial's open
    quint64 membersSerial = 0;

    IOS6MessageDb db;
    ContainedPath fileRelay;
    int written = 0;
    int leftOut = 0;
    QSet<QString> unwritableChats; // by guid
};
