#pragma once
// The in-memory message model. Every source (phone databases of either layout,
// local databases, Android phones, old local files) is read into these records,
// which follow the iOS 6 message database: chats, handles, messages, attachments.
//
// Records are plain values with public fields. Pointers between records never
// own: each record belongs to exactly one _MsgStore, and every pointer a record
// holds points into that same store.
#include "store/sharedtext.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSharedData>
#include <QSharedDataPointer>
#include <QSharedPointer>
#include <QString>

struct _MsgHandle;
struct _MsgChat;
struct _MsgAttachment;
class AttributedBodySource;

// The columns of a message that nearly every message leaves at their
// defaults: group events (and the handle they name), audio messages, shares,
// expiry, flags phones set on few messages, and the archived attributed string
// once its words are in text (see _MsgMessage::rare()).
struct _MsgMessageRare : QSharedData
{
    QByteArray attributedBody;
    SharedText subject;
    SharedText group_title;
    _MsgHandle *otherHandle = nullptr; // whose rowid is other_handle
    int replace = 0;
    int is_emote = 0;
    int is_delayed = 0;
    int is_auto_reply = 0;
    int is_forward = 0;
    int is_archive = 0;
    int is_audio_message = 0;
    int is_played = 0;
    int date_played = 0;
    int group_action_type = 0;
    int share_status = 0;
    int share_direction = 0;
    int is_expirable = 0;
    int expire_state = 0;
    int message_action_type = 0;
    int is_system_message = 0;
    int is_service_message = 0;
    int was_downgraded = 0;

    // Null and empty apart, as a database holds them.
    bool isDefault() const
    {
        return attributedBody.isNull() && subject.isNull() && group_title.isNull() && !otherHandle && replace == 0 &&
               is_emote == 0 && is_delayed == 0 && is_auto_reply == 0 && is_forward == 0 && is_archive == 0 &&
               is_audio_message == 0 && is_played == 0 && date_played == 0 && group_action_type == 0 &&
               share_status == 0 && share_direction == 0 && is_expirable == 0 && expire_state == 0 &&
               message_action_type == 0 && is_system_message == 0 && is_service_message == 0 && was_downgraded == 0;
    }
};

// Dates are whole seconds since 2001-01-01 00:00:00 UTC.
//
// A store holds hundreds of thousands of these, so the layout matters: the
// texts that repeat across messages (service, account, country, ...) are
// SharedText, one pointer each; the columns most messages leave at their
// defaults live in a block made only for the messages that need one; and the
// members are ordered by size so that no padding sits between them. Integer
// columns stay int: a value read from a foreign file is written back exactly
// as read.
struct _MsgMessage
{
    qint64 rowid = 0;
    QString guid;
    QString text; // may hold U+FFFC placeholders; see cleanText()
    qint64 handle_id = 0;
    SharedText service_center;
    SharedText country;
    SharedText service; // "SMS" or "iMessage"
    SharedText account;
    SharedText account_guid;
    SharedText cache_roomnames;
    // Rowid in the database the message was read from; first key of messageLessThan.
    qint64 srcRowid = 0;

    _MsgHandle *handle = nullptr;      // sender, whose rowid is handle_id
    _MsgChat *chat = nullptr;
    QHash<QString, _MsgAttachment *> attachments; // only the values matter

    // The rare columns: their defaults unless the message has a block.
    // Copies of a message share the block until one of them writes.
    const _MsgMessageRare &rare() const { return m_rare ? *m_rare : noRare(); }
    _MsgMessageRare &editRare()
    {
        if (!m_rare)
            m_rare = new _MsgMessageRare;
        return *m_rare;
    }
    // Takes values a reader gathered; a block that holds only defaults is not kept.
    void setRare(const _MsgMessageRare &values)
    {
        if (values.isDefault())
            m_rare.reset();
        else
            m_rare = new _MsgMessageRare(values);
    }

    int version = 10;
    int type = 0;
    int error = 0;
    int date = 0;
    int date_read = 0;
    int date_delivered = 0;
    int is_delivered = 0;
    int is_finished = 0;
    int is_from_me = 0;
    int is_empty = 0;
    int is_prepared = 0;
    int is_read = 0;
    int is_sent = 0;
    int has_dd_results = 0;
    int cache_has_attachments = 0;
    int was_data_detected = 0;
    int was_deduplicated = 0;
    int item_type = 0; // 0: ordinary message; anything else is a group event
    int other_handle = -1;

    // Set only for rows carved back out of a phone database's free space.
    bool isRecovered = false;
    // The words of attributedBody went into text and the bytes stayed in the
    // source file (see attributedBodyOf).
    bool attributedBodyLeftInSource = false;

private:
    static const _MsgMessageRare &noRare();
    QSharedDataPointer<_MsgMessageRare> m_rare;
};

struct _MsgChat
{
    qint64 rowid = 0;
    QString guid;
    int style = 45; // '-' one-to-one, '+' (43) group
    int state = 3;
    QString account_id;
    QByteArray properties;
    QString chat_identifier; // conversations are grouped by this
    QString service_name = QStringLiteral("SMS");
    QString room_name;
    QString account_login = QStringLiteral("E:");
    int is_archived = 0;
    QString last_addressed_handle;
    QString display_name;
    int _last = 0; // date of the newest message
    QString group_id;
    // Keyed by the handle's rowid as decimal text (the iOS 5 reader keys by id).
    QHash<QString, _MsgHandle *> members;
    // Keyed by the message's rowid.
    QHash<qint64, _MsgMessage *> messages;
    // The file its messages were read from, for bytes the reader left there.
    QSharedPointer<AttributedBodySource> bodySource;

    bool isGroup() const { return members.size() > 1; }
};

struct _MsgHandle
{
    qint64 rowid = 0;
    QString id; // normalised phone number or lower-case e-mail address
    QString country;
    QString service = QStringLiteral("SMS");
    QString uncanonicalized_id;
    QString _ct_name;  // contact name from the address book, may be empty
    QByteArray _photo; // contact thumbnail bytes, may be empty
};

struct _MsgAttachment
{
    qint64 rowid = 0;
    QString guid;
    int created_date = 0;
    int start_date = 0;
    QString filename; // path on the phone ("~/..." or "/var/mobile/...")
    QString uti;
    QString mime_type;
    int transfer_state = 5;
    int is_outgoing = 0;
    QByteArray user_info;
    QString transfer_name;
    qint64 total_bytes = 0;
    QString localPath; // copy of the file on this computer
};

// Owns every record in its four hashes and deletes each exactly once.
struct _MsgStore
{
    QHash<qint64, _MsgChat *> chats;
    QHash<qint64, _MsgHandle *> handles;
    QHash<qint64, _MsgMessage *> messages;
    QHash<qint64, _MsgAttachment *> attachments;

    _MsgStore() = default;
    ~_MsgStore();
    // Copies would delete the same records twice.
    _MsgStore(const _MsgStore &) = delete;
    _MsgStore &operator=(const _MsgStore &) = delete;
};

// One conversation: the chats of one store that share a chat_identifier.
struct _ChatSession
{
    QList<_MsgChat *> chats; // not owned
    int last = 0;            // largest _last among the chats
};

void newMsgStore(QSharedPointer<_MsgStore> &store);
_MsgStore *storeOf(const QSharedPointer<_MsgStore> &store);
QList<_MsgChat *> allChats(const QSharedPointer<_MsgStore> &store);
QList<_MsgMessage *> allMessages(const QSharedPointer<_MsgStore> &store);
QList<_MsgMessage *> messagesOfChats(const QList<_MsgChat *> &chats);
// Unordered; sort with sessionNewerThan.
QList<_ChatSession> chatSessions(const QSharedPointer<_MsgStore> &store);
QList<_MsgAttachment *> sortedAttachments(const _MsgMessage &message);

// Orders. messageLessThan is not transitive (it mixes rowid and date keys), so
// messages are sorted only with std::stable_sort, never with std::sort.
bool messageLessThan(const _MsgMessage *a, const _MsgMessage *b);
bool messageGreaterThan(const _MsgMessage *a, const _MsgMessage *b); // newest first
bool sessionNewerThan(const _ChatSession &a, const _ChatSession &b);  // newest first
bool attachmentLessThan(const _MsgAttachment *a, const _MsgAttachment *b);
