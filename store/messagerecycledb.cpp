#include "store/messagerecycledb.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3row.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "store/msgtext.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <limits>
#include <stdexcept>

namespace {

const char kCreateScript[] =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
    "replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, "
    "attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, "
    "account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, "
    "is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, "
    "is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, "
    "is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
    "is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, "
    "is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, "
    "is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, "
    "was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0, chat_identifier TEXT, "
    "handle TEXT, src_rowid INTEGER, is_skip INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX message_idx_chat_identifier on message(is_skip, chat_identifier, date);"
    "CREATE INDEX message_idx_chat_date on message(date);"
    "CREATE INDEX message_idx_handle_id on message(handle_id);"
    "CREATE INDEX message_idx_src_rowid on message(src_rowid);"
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, "
    "state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT, "
    "account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT, "
    "src_rowid INTEGER);"
    "CREATE INDEX chat_idx_identifier ON chat(chat_identifier);"
    "CREATE INDEX chat_idx_src_rowid ON chat(src_rowid);"
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, "
    "service TEXT NOT NULL, uncanonicalized_id TEXT, src_rowid INTEGER, UNIQUE (id, service));"
    "CREATE INDEX handle_idx_src_rowid ON handle(src_rowid);";

bool isGuidShaped(const QString &guid)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral(
        "[a-zA-Z0-9]{8}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{12}")));
    return pattern.match(guid).hasMatch();
}

bool isIMessage(const QString &service)
{
    return service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

bool isSynthetic(const _MsgChat *chat)
{
    return chat->rowid <= RECYCLED_CHAT_ID_BASE;
}

// Of two chats with one identifier, the one a recovered message joins: a
// chat read from a database before a synthetic one, then the smaller rowid.
// The store's tables are hashes whose order changes from run to run; the
// choice must not.
bool preferredChat(const _MsgChat *a, const _MsgChat *b)
{
    if (isSynthetic(a) != isSynthetic(b))
        return !isSynthetic(a);
    return a->rowid < b->rowid;
}

// The member of a chat whose address is id; of several (never in a chat read
// from a database), the smallest rowid.
_MsgHandle *memberWithId(const _MsgChat *chat, const QString &id)
{
    _MsgHandle *found = nullptr;
    for (_MsgHandle *h : chat->members) {
        if (h && h->id == id && (!found || h->rowid < found->rowid))
            found = h;
    }
    return found;
}

// Ids of synthetic chats. Each range keeps its preferred id, base - handle_id,
// when handle_id is one of the range's offsets and neither the store's chats
// nor its handles hold that id; otherwise the chat takes the first free id
// counting down from the base. Ids are only ever added to the store, so the
// count-down goes on where the last one stopped.
class SyntheticIds
{
public:
    explicit SyntheticIds(const _MsgStore *store) : m_store(store) {}

    // RECYCLED_CHAT_ID_BASE - handle_id for handle_id in [0, 100000000).
    // A hundred million synthetic chats would fill this range; the lower one
    // takes the rest.
    qint64 known(qint64 handleId)
    {
        const qint64 id = take(handleId, RECYCLED_CHAT_ID_BASE, UNKNOWN_CHAT_ID_BASE + 1, &m_knownNext);
        return id != 0 ? id : unknown(-1);
    }
    // UNKNOWN_CHAT_ID_BASE - handle_id for any handle_id from 0 on whose
    // difference fits 64 bits. 0 only when all 2^63 ids are taken.
    qint64 unknown(qint64 handleId)
    {
        return take(handleId, UNKNOWN_CHAT_ID_BASE, std::numeric_limits<qint64>::min(), &m_unknownNext);
    }

private:
    bool isFree(qint64 id) const { return !m_store->chats.contains(id) && !m_store->handles.contains(id); }

    // 0 when the range [lowest, base] holds no free id.
    qint64 take(qint64 handleId, qint64 base, qint64 lowest, qint64 *next)
    {
        qint64 id = 0;
        if (handleId >= 0 && !__builtin_sub_overflow(base, handleId, &id) && id >= lowest && isFree(id))
            return id;
        if (*next == 0)
            *next = base;
        while (*next > lowest && !isFree(*next))
            --*next;
        return isFree(*next) ? *next : 0;
    }

    const _MsgStore *m_store;
    qint64 m_knownNext = 0;
    qint64 m_unknownNext = 0;
};

// The columns a handle row gives back (country is not read).
_MsgHandle handleFromCursor(const Sqlite3Cursor &cursor, qint64 rowid)
{
    _MsgHandle h;
    h.rowid = rowid;
    h.id = cursor.getText(QStringLiteral("id"));
    h.service = cursor.getText(QStringLiteral("service"));
    h.uncanonicalized_id = cursor.getText(QStringLiteral("uncanonicalized_id"));
    return h;
}

} // namespace

const char *MessageRecycleDb::createScript()
{
    return kCreateScript;
}

MessageRecycleDb::MessageRecycleDb(const QString &path) : m_recyclePath(path)
{
}

MessageRecycleDb::~MessageRecycleDb() = default;

void MessageRecycleDb::open()
{
    if (isOpen())
        return;
    const bool exists = QFileInfo::exists(m_recyclePath);
    // A half-built file must not stay behind: every later open would take it
    // as it is and every later recovery would fail on a missing table. Close
    // and remove what this call created, and nothing else.
    const QString journal = m_recyclePath + QStringLiteral("-journal");
    const bool journalExisted = QFileInfo::exists(journal);
    auto discard = [&]() {
        close();
        if (exists)
            return;
        QFile::remove(m_recyclePath);
        if (!journalExisted)
            QFile::remove(journal);
    };
    try {
        openThrow(m_recyclePath, exists ? 2 : 6);
        // An existing file with a schema is used as it is (neither tested nor
        // upgraded); one without, left by a creation that was cut off, is
        // built as new, as the local databases are.
        if (!exists || hasNoSchema())
            createInTransaction(QString::fromLatin1(kCreateScript), QStringLiteral("create MessageRecycleDb error. %1"));
    } catch (...) {
        discard();
        throw;
    }
}

qint64 MessageRecycleDb::insertHandle(const _MsgHandle &handle, qint64 srcRowid)
{
    open();
    Sqlite3Row row;
    row.insert(QStringLiteral("id"), handle.id);
    row.insert(QStringLiteral("country"), handle.country);
    row.insert(QStringLiteral("service"), handle.service);
    row.insert(QStringLiteral("uncanonicalized_id"), handle.uncanonicalized_id);
    if (srcRowid > 0)
        row.insert(QStringLiteral("src_rowid"), srcRowid);
    return insert(row, QStringLiteral("handle"));
}

qint64 MessageRecycleDb::insertMessage(const _MsgMessage &message, const QString &chatIdentifier,
                                       const QString &handle, qint64 srcRowid)
{
    open();
    const _MsgMessage &m = message;
    // One statement for every row, so a recovery of tens of thousands of rows
    // prepares it once. An empty optional value binds NULL, which is what the
    // column's default would be; is_skip keeps its default 0.
    auto textOrNull = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    Sqlite3Sql sql("INSERT INTO message (guid, text, replace, service_center, handle_id, subject, country, "
                   "attributedBody, version, type, service, account, account_guid, error, date, date_read, "
                   "date_delivered, is_delivered, is_finished, is_emote, is_from_me, is_empty, is_delayed, "
                   "is_auto_reply, is_prepared, is_read, is_system_message, is_sent, has_dd_results, "
                   "is_service_message, is_forward, was_downgraded, is_archive, cache_has_attachments, "
                   "cache_roomnames, was_data_detected, was_deduplicated, chat_identifier, handle, src_rowid) "
                   "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    // Only a guid of the phone's shape is kept; anything else (SMS of old
    // phones carry none) gets a fresh one, which UNIQUE needs.
    sql.addTextParam(isGuidShaped(m.guid) ? m.guid : newGuid())
        .addTextParam(m.text)
        .addIntParam(m.rare().replace)
        .addTextParam(textOrNull(m.service_center))
        .addInt64Param(m.handle_id)
        .addTextParam(textOrNull(m.rare().subject))
        .addTextParam(textOrNull(m.country))
        .addBlobParam(m.rare().attributedBody.isEmpty() ? QByteArray() : m.rare().attributedBody)
        .addIntParam(m.version)
        .addIntParam(m.type)
        .addTextParam(m.service)
        .addTextParam(m.account)
        .addTextParam(m.account_guid)
        .addIntParam(m.error)
        .addIntParam(m.date)
        .addIntParam(m.date_read)
        .addIntParam(m.date_delivered)
        .addIntParam(m.is_delivered)
        .addIntParam(m.is_finished)
        .addIntParam(m.rare().is_emote)
        .addIntParam(m.is_from_me)
        .addIntParam(m.is_empty)
        .addIntParam(m.rare().is_delayed)
        .addIntParam(m.rare().is_auto_reply)
        .addIntParam(m.is_prepared)
        .addIntParam(m.is_read)
        .addIntParam(m.rare().is_system_message)
        .addIntParam(m.is_sent)
        .addIntParam(m.has_dd_results)
        .addIntParam(m.rare().is_service_message)
        .addIntParam(m.rare().is_forward)
        .addIntParam(m.rare().was_downgraded)
        .addIntParam(m.rare().is_archive)
        .addIntParam(m.attachments.isEmpty() ? 0 : 1)
        .addTextParam(m.cache_roomnames)
        .addIntParam(m.was_data_detected)
        .addIntParam(m.was_deduplicated)
        .addTextParam(chatIdentifier)
        .addTextParam(handle);
    if (srcRowid > 0)
        sql.addInt64Param(srcRowid);
    else
        sql.addNullParam();
    executeThrow(sql);
    return lastInsertId();
}

qint64 MessageRecycleDb::findHandle(const _MsgHandle &handle)
{
    open();
    Sqlite3Cursor cursor = queryThrow(
        Sqlite3Sql("select rowid from handle where id=? and service=?").addTextParam(handle.id).addTextParam(handle.service));
    return cursor.moveNext() ? cursor.getInt64(0) : 0;
}

qint64 MessageRecycleDb::findMessage(const _MsgMessage &message)
{
    open();
    // IS, not =: a message without text (stored NULL) must find itself, or
    // every recovery would store it again under a fresh guid.
    Sqlite3Cursor cursor = queryThrow(
        Sqlite3Sql("select rowid from message where guid=? or (date=? and is_from_me=? and text IS ?)")
            .addTextParam(message.guid)
            .addIntParam(message.date)
            .addIntParam(message.is_from_me)
            .addTextParam(message.text));
    return cursor.moveNext() ? cursor.getInt64(0) : 0;
}

void MessageRecycleDb::updateMessageChat(const _MsgMessage &message, const QString &chatIdentifier,
                                         const QString &handle)
{
    const qint64 rowid = findMessage(message);
    if (rowid == 0)
        return;
    executeThrow(Sqlite3Sql("update message set chat_identifier=?, handle=? where rowid=?")
                     .addTextParam(chatIdentifier)
                     .addTextParam(handle)
                     .addInt64Param(rowid));
}

_MsgHandle MessageRecycleDb::handleBySrcRowid(qint64 srcRowid)
{
    open();
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select * from handle where src_rowid=?").addInt64Param(srcRowid));
    if (!cursor.moveNext())
        return _MsgHandle();
    return handleFromCursor(cursor, cursor.getInt64(QStringLiteral("src_rowid")));
}

QList<_RecycleMessage> MessageRecycleDb::messages()
{
    open();
    QList<_RecycleMessage> list;
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from message where is_skip=0"));
    while (c.moveNext()) {
        _RecycleMessage r;
        _MsgMessageRare rare; // kept only when one is not at its default
        r.rowid = RECYCLED_MESSAGE_ID_BASE - c.getInt64(QStringLiteral("ROWID"));
        r.guid = c.getText(QStringLiteral("guid"));
        r.text = c.getText(QStringLiteral("text"));
        rare.replace = c.getInt(QStringLiteral("replace"));
        r.service_center = c.getText(QStringLiteral("service_center"));
        r.handle_id = c.getInt64(QStringLiteral("handle_id"));
        rare.subject = c.getText(QStringLiteral("subject"));
        r.country = c.getText(QStringLiteral("country"));
        rare.attributedBody = c.getBlob(QStringLiteral("attributedBody"));
        r.version = c.getInt(QStringLiteral("version"));
        r.type = c.getInt(QStringLiteral("type"));
        r.service = c.getText(QStringLiteral("service"));
        r.account = c.getText(QStringLiteral("account"));
        r.account_guid = c.getText(QStringLiteral("account_guid"));
        r.error = c.getInt(QStringLiteral("error"));
        r.date = c.getInt(QStringLiteral("date"));
        r.date_read = c.getInt(QStringLiteral("date_read"));
        r.date_delivered = c.getInt(QStringLiteral("date_delivered"));
        r.is_delivered = c.getInt(QStringLiteral("is_delivered"));
        r.is_finished = c.getInt(QStringLiteral("is_finished"));
        rare.is_emote = c.getInt(QStringLiteral("is_emote"));
        r.is_from_me = c.getInt(QStringLiteral("is_from_me"));
        r.is_empty = c.getInt(QStringLiteral("is_empty"));
        rare.is_delayed = c.getInt(QStringLiteral("is_delayed"));
        rare.is_auto_reply = c.getInt(QStringLiteral("is_auto_reply"));
        r.is_prepared = c.getInt(QStringLiteral("is_prepared"));
        r.is_read = c.getInt(QStringLiteral("is_read"));
        rare.is_system_message = c.getInt(QStringLiteral("is_system_message"));
        r.is_sent = c.getInt(QStringLiteral("is_sent"));
        r.has_dd_results = c.getInt(QStringLiteral("has_dd_results"));
        rare.is_service_message = c.getInt(QStringLiteral("is_service_message"));
        rare.is_forward = c.getInt(QStringLiteral("is_forward"));
        rare.was_downgraded = c.getInt(QStringLiteral("was_downgraded"));
        rare.is_archive = c.getInt(QStringLiteral("is_archive"));
        r.cache_has_attachments = c.getInt(QStringLiteral("cache_has_attachments"));
        r.cache_roomnames = c.getText(QStringLiteral("cache_roomnames"));
        r.was_data_detected = c.getInt(QStringLiteral("was_data_detected"));
        r.was_deduplicated = c.getInt(QStringLiteral("was_deduplicated"));
        r.chat_identifier = c.getText(QStringLiteral("chat_identifier"));
        r.handle = c.getText(QStringLiteral("handle"));
        r.setRare(rare);
        r.isRecovered = true;
        list.append(r);
    }
    return list;
}

QList<_MsgHandle> MessageRecycleDb::handles()
{
    open();
    QList<_MsgHandle> list;
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select * from handle"));
    while (cursor.moveNext())
        list.append(handleFromCursor(cursor, cursor.getInt64(QStringLiteral("ROWID"))));
    return list;
}

_MsgChat *MessageRecycleDb::addSyntheticSmsChat(QSharedPointer<_MsgStore> &store, qint64 id,
                                                const QString &identifier)
{
    if (!store)
        newMsgStore(store);
    _MsgStore *s = storeOf(store);
    if (s->chats.contains(id) || s->handles.contains(id))
        return nullptr;
    auto *chat = new _MsgChat;
    s->chats.insert(id, chat);
    auto *handle = new _MsgHandle;
    s->handles.insert(id, handle);
    chat->rowid = id;
    chat->guid = QStringLiteral("SMS;-;") + identifier;
    chat->style = 45;
    chat->state = 3;
    chat->chat_identifier = identifier;
    chat->service_name = QStringLiteral("SMS");
    chat->account_login = QStringLiteral("E:");
    chat->_last = 0;
    handle->rowid = id;
    handle->id = identifier;
    handle->service = QStringLiteral("SMS");
    chat->members.insert(QString::number(id), handle);
    return chat;
}

namespace {

_MsgChat *addSyntheticIMessageChat(_MsgStore *s, qint64 id, const QString &identifier, const _MsgMessage &m)
{
    auto *chat = new _MsgChat;
    s->chats.insert(id, chat);
    auto *handle = new _MsgHandle;
    s->handles.insert(id, handle);
    chat->rowid = id;
    chat->guid = QStringLiteral("iMessage;-;") + identifier;
    chat->style = 45;
    chat->state = 3;
    chat->chat_identifier = identifier;
    chat->service_name = QStringLiteral("iMessage");
    chat->account_id = isGuidShaped(m.account_guid) ? m.account_guid.str() : guidFromMd5(m.account_guid.toUtf8());
    chat->account_login = m.account;
    chat->_last = 0;
    handle->rowid = id;
    handle->id = identifier;
    handle->service = QStringLiteral("iMessage");
    chat->members.insert(QString::number(id), handle);
    return chat;
}

} // namespace

void MessageRecycleDb::mergeIntoStore(QSharedPointer<_MsgStore> &store, QList<_RecycleMessage> &messages)
{
    if (!store)
        newMsgStore(store);
    _MsgStore *s = storeOf(store);

    QHash<QString, _MsgChat *> iMessageChats;
    QHash<QString, _MsgChat *> smsChats;
    for (_MsgChat *chat : std::as_const(s->chats)) {
        QHash<QString, _MsgChat *> &map = isIMessage(chat->service_name) ? iMessageChats : smsChats;
        auto it = map.find(chat->chat_identifier);
        if (it == map.end())
            map.insert(chat->chat_identifier, chat);
        else if (preferredChat(chat, *it))
            *it = chat;
    }

    SyntheticIds ids(s);
    for (const _RecycleMessage &r : std::as_const(messages)) {
        if (s->messages.contains(r.rowid))
            continue;
        auto *m = new _MsgMessage(r);
        s->messages.insert(m->rowid, m);
        m->srcRowid = m->rowid == std::numeric_limits<qint64>::min() ? std::numeric_limits<qint64>::max() : -m->rowid;

        _MsgChat *chat = nullptr;
        const bool known = !r.chat_identifier.isEmpty();
        if (known && isIMessage(m->service)) {
            chat = iMessageChats.value(r.chat_identifier);
            if (!chat) {
                chat = addSyntheticIMessageChat(s, ids.known(m->handle_id), r.chat_identifier, *m);
                iMessageChats.insert(r.chat_identifier, chat);
            }
        } else {
            const QString key =
                known ? r.chat_identifier : QStringLiteral("unknown") + QString::number(m->handle_id);
            chat = smsChats.value(key);
            if (!chat) {
                const qint64 id = known ? ids.known(m->handle_id) : ids.unknown(m->handle_id);
                chat = addSyntheticSmsChat(store, id, key);
                if (!chat) { // no id left anywhere: the message is not merged
                    s->messages.remove(m->rowid);
                    delete m;
                    continue;
                }
                smsChats.insert(key, chat);
            }
        }

        m->chat = chat;
        if (m->date > chat->_last)
            chat->_last = m->date;
        // The member table is keyed by rowid text: the stored address picks
        // the member by its id.
        if (chat->members.size() == 1)
            m->handle = *chat->members.constBegin();
        else if (chat->members.size() > 1)
            m->handle = memberWithId(chat, r.handle);
        chat->messages.insert(m->rowid, m);
    }
}
