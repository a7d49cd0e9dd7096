#pragma once
// The store of deleted messages carved out of a phone's message database, the
// file "recycle.db" in the phone's cache folder. Every phone message database
// object holds one; building it opens and creates nothing, and the first
// operation opens the file, or creates it with its schema.
//
// Tables (created together by one script):
//   message  the iOS 6 message columns guid .. was_deduplicated, then
//            chat_identifier, handle (see _RecycleMessage), src_rowid (the
//            rowid on the phone when known and positive, else NULL) and
//            is_skip (rows with anything but 0 are never loaded)
//   chat     the iOS 6 chat columns and src_rowid; nothing writes it yet
//   handle   id, country, service, uncanonicalized_id, src_rowid; one row
//            per (id, service)
// A second message with a guid already stored, or a second handle with the
// same id and service, violates a UNIQUE constraint and throws: callers look
// with findMessage or findHandle first.
#include "store/absdb.h"
#include "store/msgrecords.h"
#include "store/recyclemessage.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

// Synthetic chats made in memory for recovered messages: at or below
// RECYCLED_CHAT_ID_BASE a chat was made up for a recovered conversation (the
// tree paints it red); at or below UNKNOWN_CHAT_ID_BASE its conversation could
// not be told at all, and writers skip its messages. Neither exists in any
// database file.
constexpr qint64 RECYCLED_CHAT_ID_BASE = -1947483647;
constexpr qint64 UNKNOWN_CHAT_ID_BASE = -2047483647;
// A loaded recovered message carries this minus its ROWID in recycle.db, so it
// never meets the positive rowids of messages read from a phone.
constexpr qint64 RECYCLED_MESSAGE_ID_BASE = -2047483648LL;

class MessageRecycleDb : public AbsDb
{
public:
    explicit MessageRecycleDb(const QString &path);
    ~MessageRecycleDb() override;

    // Opens the file, or creates it with the whole schema. A creation that
    // fails throws "create MessageRecycleDb error. %1", closes the connection
    // and removes the file this call created, so the next open starts afresh.
    void open() override;

    QString recyclePath() const { return m_recyclePath; }
    // The script open() creates a new file with (every table and index).
    static const char *createScript();

    // Each answers the new ROWID. srcRowid is stored only when positive.
    qint64 insertHandle(const _MsgHandle &handle, qint64 srcRowid);
    qint64 insertMessage(const _MsgMessage &message, const QString &chatIdentifier, const QString &handle,
                         qint64 srcRowid);

    // The ROWID of a handle with the same id and service, else 0.
    qint64 findHandle(const _MsgHandle &handle);
    // The ROWID of a message with the same guid, or with the same date,
    // is_from_me and text (a NULL text matching a NULL text), else 0.
    qint64 findMessage(const _MsgMessage &message);
    // Sets chat_identifier and handle of the message findMessage finds.
    void updateMessageChat(const _MsgMessage &message, const QString &chatIdentifier, const QString &handle);

    // The first handle stored with this src_rowid, its rowid being that
    // src_rowid; a default handle (rowid 0, service "SMS") when none is.
    _MsgHandle handleBySrcRowid(qint64 srcRowid);
    // Every message with is_skip 0, as recovered messages: rowid
    // RECYCLED_MESSAGE_ID_BASE - ROWID, isRecovered set.
    QList<_RecycleMessage> messages();
    // Every handle, rowid being its ROWID here.
    QList<_MsgHandle> handles();

    // ---- Merging into a loaded store --------------------------------------
    // Neither touches the file. Both only add to the store, never replace a
    // record of it (a replaced record would be owned by nothing).

    // Adds each recovered message whose rowid the store does not hold yet to
    // the chat of the store with its conversation's identifier (iMessage chats
    // for an iMessage service in any letter case, other chats for every other
    // service), or to a synthetic chat made for it: RECYCLED_CHAT_ID_BASE -
    // handle_id for a known identifier, UNKNOWN_CHAT_ID_BASE - handle_id under
    // the key "unknown<handle_id>" for an empty one. Where that id is taken, or
    // handle_id would carry it out of its range, the chat takes the next free
    // id counting down from the range's base instead. Raises each chat's _last
    // to its newest message. The sender is the chat's one member, or in a chat
    // of several the member whose id is the message's stored handle. A second
    // merge of the same list adds nothing.
    static void mergeIntoStore(QSharedPointer<_MsgStore> &store, QList<_RecycleMessage> &messages);
    // Makes the synthetic SMS chat with rowid id for the conversation
    // identifier, and its one handle under the same rowid, both owned by the
    // store. Nothing when the store's chat or handle table holds id already:
    // answers nullptr then.
    static _MsgChat *addSyntheticSmsChat(QSharedPointer<_MsgStore> &store, qint64 id, const QString &identifier);

private:
    QString m_recyclePath;
};
