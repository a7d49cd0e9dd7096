// Row-level writing, lookups and deletion of IOS6MessageDb. None of these
// starts or ends a transaction: callers wrap their calls in one. Every value,
// numbers included, is bound, so each statement text is prepared once per
// connection and then served from its statement cache.
#include "store/ios6messagedb.h"

#include "store/attributedbodysource.h"
#include "store/msgtext.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3exception.h"
#include "platform/sqlite_qt/sqlite3row.h"
#include "platform/sqlite_qt/sqlite3sql.h"

#include <sqlite3.h>

#include <array>
#include <stdexcept>

namespace {

// An INSERT of the columns put into it. Rows of one table that leave out the
// same optional columns share one SQL text.
class InsertBuilder
{
public:
    void text(const char *column, const QString &value)
    {
        add(column);
        values.addTextParam(value);
    }
    void integer(const char *column, qint64 value)
    {
        add(column);
        values.addInt64Param(value);
    }
    void bytes(const char *column, const QByteArray &value)
    {
        add(column);
        values.addBlobParam(value);
    }
    // Optional values: left out (the column keeps its declared default) when empty.
    void textIfSet(const char *column, const QString &value)
    {
        if (!value.isEmpty())
            text(column, value);
    }
    void bytesIfSet(const char *column, const QByteArray &value)
    {
        if (!value.isEmpty())
            bytes(column, value);
    }

    Sqlite3Sql statement(const char *table)
    {
        QString sql = QStringLiteral("INSERT INTO \"%1\" (").arg(QLatin1String(table));
        sql += columns;
        sql += QStringLiteral(") VALUES (");
        for (int i = 0; i < values.paramCount(); ++i)
            sql += i ? QStringLiteral(",?") : QStringLiteral("?");
        sql += QLatin1Char(')');
        return values.appendSql(sql);
    }

private:
    void add(const char *column)
    {
        if (!columns.isEmpty())
            columns += QLatin1Char(',');
        columns += QLatin1Char('"');
        columns += QLatin1String(column);
        columns += QLatin1Char('"');
    }

    QString columns;
    Sqlite3Sql values; // the values in column order; the text is added last
};

// Binds values by position into a kept statement. Texts are converted to
// UTF-8 once and bound without a copy; they live until the statement ran.
class PositionalBinder
{
public:
    explicit PositionalBinder(sqlite3_stmt *stmt) : stmt(stmt) {}

    void text(const char *, const QString &value)
    {
        ++at;
        if (value.isNull()) {
            check(sqlite3_bind_null(stmt, at));
            return;
        }
        Q_ASSERT(used < int(utf8.size()));
        QByteArray &bytes = utf8[size_t(used++)];
        bytes = value.toUtf8();
        // A null pointer would bind NULL: empty text stays empty text.
        check(sqlite3_bind_text64(stmt, at, bytes.isEmpty() ? "" : bytes.constData(), sqlite3_uint64(bytes.size()),
                                  SQLITE_STATIC, SQLITE_UTF8));
    }
    void integer(const char *, qint64 value) { check(sqlite3_bind_int64(stmt, ++at, value)); }
    void bytes(const char *, const QByteArray &value)
    {
        ++at;
        if (value.isNull())
            check(sqlite3_bind_null(stmt, at));
        else if (value.isEmpty())
            check(sqlite3_bind_zeroblob(stmt, at, 0));
        else
            check(sqlite3_bind_blob64(stmt, at, value.constData(), sqlite3_uint64(value.size()), SQLITE_STATIC));
    }
    // Throws when a value could not be bound (too big, out of memory).
    void done() const
    {
        if (rc != SQLITE_OK) {
            throw Sqlite3Exception(QStringLiteral("Cannot bind a value (SQLite code %1) in SQL: %2")
                                       .arg(rc)
                                       .arg(QString::fromUtf8(sqlite3_sql(stmt))),
                                   rc);
        }
    }

private:
    void check(int result)
    {
        if (result != SQLITE_OK && rc == SQLITE_OK)
            rc = result;
    }
    sqlite3_stmt *stmt;
    int at = 0;
    int rc = SQLITE_OK;
    int used = 0;
    std::array<QByteArray, 12> utf8;
};

// Collects the column names a row visit emits, for the statement's text.
class ColumnNames
{
public:
    void text(const char *column, const QString &) { add(column); }
    void integer(const char *column, qint64) { add(column); }
    void bytes(const char *column, const QByteArray &) { add(column); }

    QString insertSql(const char *table) const
    {
        QString sql = QStringLiteral("INSERT INTO \"%1\" (").arg(QLatin1String(table));
        sql += columns;
        sql += QStringLiteral(") VALUES (");
        for (int i = 0; i < count; ++i)
            sql += i ? QStringLiteral(",?") : QStringLiteral("?");
        sql += QLatin1Char(')');
        return sql;
    }

private:
    void add(const char *column)
    {
        if (count++)
            columns += QLatin1Char(',');
        columns += QLatin1Char('"');
        columns += QLatin1String(column);
        columns += QLatin1Char('"');
    }
    QString columns;
    int count = 0;
};

// Values of a message row that are left out (to the column's default) when
// empty: each combination is a statement of its own.
enum OptionalMessageValue : unsigned {
    ServiceCenterSet = 1,
    SubjectSet = 2,
    CountrySet = 4,
    BodySet = 8,
    OtherHandleSet = 16,
    GroupTitleSet = 32,
    OptionalMessageCombinations = 64,
};

} // namespace

struct IOS6MessageDb::WritePlan
{
    quint64 serial = 0;
    // Columns of the open file that not every layout has.
    bool audio = false, played = false, datePlayed = false, itemType = false, otherHandle = false,
         groupTitle = false, groupAction = false, shareStatus = false, shareDirection = false, expirable = false,
         expireState = false, actionType = false, logicHash = false, chatLast = false;
    bool handleName = false, handlePhoto = false, chatDisplayName = false, chatGroupId = false;
    std::array<sqlite3_stmt *, OptionalMessageCombinations> insertMessage{};
    std::array<sqlite3_stmt *, 4> insertHandle{};
    std::array<sqlite3_stmt *, 8> insertChat{};
    sqlite3_stmt *chatMembers = nullptr;
    sqlite3_stmt *chatByGuid = nullptr;
    sqlite3_stmt *handleByIdService = nullptr;
    sqlite3_stmt *messageByGuid = nullptr;
    sqlite3_stmt *messageByLogicHash = nullptr;
    sqlite3_stmt *attachmentByGuid = nullptr;
    sqlite3_stmt *chatHandleExists = nullptr;
    sqlite3_stmt *joinChatHandle = nullptr;
    sqlite3_stmt *joinChatMessage = nullptr;
    sqlite3_stmt *joinMessageAttachment = nullptr;
    sqlite3_stmt *lastAddressed = nullptr;
    sqlite3_stmt *raiseChatLast = nullptr;
};

IOS6MessageDb::WritePlan &IOS6MessageDb::writePlan()
{
    open();
    if (!plan || plan->serial != openSerial()) {
        // The kept statements of an earlier open went with its close.
        plan = std::make_shared<WritePlan>();
        WritePlan &p = *plan;
        p.serial = openSerial();
        const QString message = QStringLiteral("message");
        const auto has = [this, &message](const char *column) {
            return probe(message, QLatin1String(column), Qt::CaseSensitive);
        };
        p.audio = has("is_audio_message");
        p.played = has("is_played");
        p.datePlayed = has("date_played");
        p.itemType = has("item_type");
        p.otherHandle = has("other_handle");
        p.groupTitle = has("group_title");
        p.groupAction = has("group_action_type");
        p.shareStatus = has("share_status");
        p.shareDirection = has("share_direction");
        p.expirable = has("is_expirable");
        p.expireState = has("expire_state");
        p.actionType = has("message_action_type");
        p.logicHash = has("logic_hash");
        p.chatLast = probe(QStringLiteral("chat"), QStringLiteral("_last INTEGER"), Qt::CaseInsensitive);
        p.handleName = probe(QStringLiteral("handle"), QStringLiteral("_ct_name TEXT"), Qt::CaseInsensitive);
        p.handlePhoto = probe(QStringLiteral("handle"), QStringLiteral("_photo BLOB"), Qt::CaseInsensitive);
        p.chatDisplayName = probe(QStringLiteral("chat"), QStringLiteral("display_name"), Qt::CaseSensitive);
        p.chatGroupId = probe(QStringLiteral("chat"), QStringLiteral("group_id"), Qt::CaseSensitive);
    }
    return *plan;
}

namespace {

sqlite3_stmt *kept(Sqlite3DB &db, sqlite3_stmt *&slot, const char *sql)
{
    if (!slot)
        slot = db.keptStatement(QString::fromLatin1(sql));
    return slot;
}

// Inserts the row that visit emits through the kept statement in slot,
// preparing it at the first use; answers the new rowid.
template<class Visit>
qint64 insertKept(Sqlite3DB &db, sqlite3_stmt *&slot, const char *table, Visit &&visit)
{
    if (!slot) {
        ColumnNames names;
        visit(names);
        slot = db.keptStatement(names.insertSql(table));
    }
    PositionalBinder row(slot);
    visit(row);
    row.done();
    db.step(slot);
    return db.lastInsertId();
}

// A null text binds NULL (matching nothing), as Sqlite3Sql would bind it;
// utf8 keeps the bytes until the statement ran.
void bindText(sqlite3_stmt *stmt, int at, const QString &value, QByteArray &utf8)
{
    if (value.isNull()) {
        sqlite3_bind_null(stmt, at);
        return;
    }
    utf8 = value.toUtf8();
    sqlite3_bind_text64(stmt, at, utf8.isEmpty() ? "" : utf8.constData(), sqlite3_uint64(utf8.size()),
                        SQLITE_STATIC, SQLITE_UTF8);
}

// Every message column the open file takes, in the order of the statement,
// for the combination of optional values `optional`.
template<class Emit>
void visitMessageRow(Emit &row, const _MsgMessage &m, const QByteArray &body, unsigned optional, qint64 handleRowid,
                     qint64 otherHandleRowid, const QString &logicHash, qint64 scale, bool audio, bool played,
                     bool datePlayed, bool itemType, bool otherHandle, bool groupTitle, bool groupAction,
                     bool shareStatus, bool shareDirection, bool expirable, bool expireState, bool actionType,
                     bool hasLogicHash)
{
    const auto stored = [scale](int date) { return qint64(date) * scale; };
    row.text("guid", m.guid);
    row.text("text", m.text);
    row.integer("replace", m.rare().replace);
    if (optional & ServiceCenterSet)
        row.text("service_center", m.service_center);
    row.integer("handle_id", handleRowid);
    if (optional & SubjectSet)
        row.text("subject", m.rare().subject);
    if (optional & CountrySet)
        row.text("country", m.country);
    if (optional & BodySet)
        row.bytes("attributedBody", body);
    row.integer("version", m.version);
    row.integer("type", m.type);
    row.text("service", m.service);
    row.text("account", m.account);
    row.text("account_guid", m.account_guid);
    row.integer("error", m.error);
    row.integer("date", stored(m.date));
    row.integer("date_read", stored(m.date_read));
    row.integer("date_delivered", stored(m.date_delivered));
    row.integer("is_delivered", m.is_delivered);
    row.integer("is_finished", m.is_finished);
    row.integer("is_emote", m.rare().is_emote);
    row.integer("is_from_me", m.is_from_me);
    row.integer("is_empty", m.is_empty);
    row.integer("is_delayed", m.rare().is_delayed);
    row.integer("is_auto_reply", m.rare().is_auto_reply);
    row.integer("is_prepared", m.is_prepared);
    row.integer("is_read", m.is_read);
    row.integer("is_system_message", m.rare().is_system_message);
    row.integer("is_sent", m.is_sent);
    row.integer("has_dd_results", m.has_dd_results);
    row.integer("is_service_message", m.rare().is_service_message);
    row.integer("is_forward", m.rare().is_forward);
    row.integer("was_downgraded", m.rare().was_downgraded);
    row.integer("is_archive", m.rare().is_archive);
    row.integer("cache_has_attachments", m.cache_has_attachments);
    row.text("cache_roomnames", m.cache_roomnames);
    row.integer("was_data_detected", m.was_data_detected);
    row.integer("was_deduplicated", m.was_deduplicated);
    if (audio)
        row.integer("is_audio_message", m.rare().is_audio_message);
    if (played)
        row.integer("is_played", m.rare().is_played);
    if (datePlayed)
        row.integer("date_played", stored(m.rare().date_played));
    if (itemType)
        row.integer("item_type", m.item_type);
    if (otherHandle && (optional & OtherHandleSet))
        row.integer("other_handle", otherHandleRowid);
    if (groupTitle && (optional & GroupTitleSet))
        row.text("group_title", m.rare().group_title);
    if (groupAction)
        row.integer("group_action_type", m.rare().group_action_type);
    if (shareStatus)
        row.integer("share_status", m.rare().share_status);
    if (shareDirection)
        row.integer("share_direction", m.rare().share_direction);
    if (expirable)
        row.integer("is_expirable", m.rare().is_expirable);
    if (expireState)
        row.integer("expire_state", m.rare().expire_state);
    if (actionType)
        row.integer("message_action_type", m.rare().message_action_type);
    if (hasLogicHash)
        row.text("logic_hash", logicHash);
}

} // namespace

bool IOS6MessageDb::probe(const QString &table, const QString &text, Qt::CaseSensitivity cs) const
{
    // insertMessage alone asks about a dozen columns per message; searching
    // the CREATE text each time would cost more than the insert. The answers
    // hold for as long as the map keeps the same CREATE text: an open that
    // fills the map again makes a new string, which the copy kept here can
    // never be shared with.
    ProbeCache &cache = probeCache[table];
    const QString current = tableSql.value(table);
    if (!cache.createSql.isSharedWith(current) || cache.createSql.isNull()) {
        cache.createSql = current;
        cache.answers.clear();
    }
    const QString key = cs == Qt::CaseSensitive ? text : QLatin1Char('\x01') + text;
    const auto it = cache.answers.constFind(key);
    if (it != cache.answers.constEnd())
        return it.value();
    const bool found = current.contains(text, cs);
    cache.answers.insert(key, found);
    return found;
}

void IOS6MessageDb::setPath(const QString &path)
{
    dbPath = path;
}

MessageRecycleDb *IOS6MessageDb::recycleDb()
{
    return &recycle;
}

qint64 IOS6MessageDb::firstRowid(const Sqlite3Sql &sql)
{
    Sqlite3Cursor cursor = queryThrow(sql);
    return cursor.moveNext() ? cursor.getInt64(0) : 0;
}

qint64 IOS6MessageDb::chatRowid(const QString &guid)
{
    sqlite3_stmt *s = kept(*this, writePlan().chatByGuid, "select rowid from chat where guid=?");
    QByteArray utf8;
    bindText(s, 1, guid, utf8);
    return stepFirstInt64(s);
}

qint64 IOS6MessageDb::handleRowid(const _MsgHandle *handle)
{
    sqlite3_stmt *s = kept(*this, writePlan().handleByIdService, "select rowid from handle where id=? and service=?");
    QByteArray id, service;
    bindText(s, 1, handle->id, id);
    bindText(s, 2, handle->service, service);
    return stepFirstInt64(s);
}

qint64 IOS6MessageDb::messageRowid(const QString &guid)
{
    sqlite3_stmt *s = kept(*this, writePlan().messageByGuid, "select rowid from message where guid=?");
    QByteArray utf8;
    bindText(s, 1, guid, utf8);
    return stepFirstInt64(s);
}

qint64 IOS6MessageDb::attachmentRowid(const _MsgAttachment *attachment)
{
    sqlite3_stmt *s = kept(*this, writePlan().attachmentByGuid, "select rowid from attachment where guid=?");
    QByteArray utf8;
    bindText(s, 1, attachment->guid, utf8);
    return stepFirstInt64(s);
}

bool IOS6MessageDb::hasLogicHash()
{
    return writePlan().logicHash;
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const _MsgMessage *message)
{
    if (!hasLogicHash())
        return 0;
    return messageRowidByLogicHash(calcLogicHash(*message));
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const QString &logicHash)
{
    WritePlan &p = writePlan();
    if (!p.logicHash)
        return 0;
    sqlite3_stmt *s = kept(*this, p.messageByLogicHash, "select rowid from message where logic_hash=?");
    QByteArray utf8;
    bindText(s, 1, logicHash, utf8);
    return stepFirstInt64(s);
}

bool IOS6MessageDb::hasChatHandle(qint64 chatRowid, qint64 handleRowid)
{
    sqlite3_stmt *s =
        kept(*this, writePlan().chatHandleExists, "select 1 from chat_handle_join where chat_id=? and handle_id=?");
    sqlite3_bind_int64(s, 1, chatRowid);
    sqlite3_bind_int64(s, 2, handleRowid);
    return stepFirstInt64(s) != 0;
}

qint64 IOS6MessageDb::messageCount()
{
    open();
    Sqlite3Sql sql("select count(*) from chat_message_join as j inner join message as m on j.message_id = m.rowid");
    if (probe(QStringLiteral("message"), QStringLiteral("item_type"), Qt::CaseSensitive))
        sql.appendSql(QStringLiteral(" and m.item_type <> 4"));
    Sqlite3Cursor cursor = queryThrow(sql);
    return cursor.moveNext() ? cursor.getInt64(0) : 0;
}

void IOS6MessageDb::joinChatHandle(qint64 chatRowid, qint64 handleRowid)
{
    sqlite3_stmt *s =
        kept(*this, writePlan().joinChatHandle, "replace into chat_handle_join(chat_id,handle_id) values(?,?)");
    sqlite3_bind_int64(s, 1, chatRowid);
    sqlite3_bind_int64(s, 2, handleRowid);
    step(s);
}

void IOS6MessageDb::joinChatMessage(qint64 chatRowid, qint64 messageRowid)
{
    sqlite3_stmt *s =
        kept(*this, writePlan().joinChatMessage, "replace into chat_message_join(chat_id,message_id) values(?,?)");
    sqlite3_bind_int64(s, 1, chatRowid);
    sqlite3_bind_int64(s, 2, messageRowid);
    step(s);
}

void IOS6MessageDb::joinMessageAttachment(qint64 messageRowid, qint64 attachmentRowid)
{
    sqlite3_stmt *s = kept(*this, writePlan().joinMessageAttachment,
                           "replace into message_attachment_join(message_id,attachment_id) values(?,?)");
    sqlite3_bind_int64(s, 1, messageRowid);
    sqlite3_bind_int64(s, 2, attachmentRowid);
    step(s);
}

void IOS6MessageDb::setLastAddressedHandle(qint64 chatRowid, const QString &handleId)
{
    sqlite3_stmt *s =
        kept(*this, writePlan().lastAddressed, "update chat set last_addressed_handle=? where rowid=?");
    QByteArray utf8;
    bindText(s, 1, handleId, utf8);
    sqlite3_bind_int64(s, 2, chatRowid);
    step(s);
}

void IOS6MessageDb::updateChatLast(qint64 chatRowid, int date)
{
    WritePlan &p = writePlan();
    if (!p.chatLast)
        return;
    sqlite3_stmt *s = kept(*this, p.raiseChatLast, "update chat set _last=? where rowid=? and _last < ?");
    sqlite3_bind_int64(s, 1, date);
    sqlite3_bind_int64(s, 2, chatRowid);
    sqlite3_bind_int64(s, 3, date);
    step(s);
}

qint64 IOS6MessageDb::insertHandle(const _MsgHandle *handle)
{
    WritePlan &p = writePlan();
    const _MsgHandle &h = *handle;
    const unsigned optional = (h.country.isEmpty() ? 0 : 1) | (h.uncanonicalized_id.isEmpty() ? 0 : 2);
    return insertKept(*this, p.insertHandle[optional], "handle", [&](auto &row) {
        row.text("id", h.id);
        if (optional & 1)
            row.text("country", h.country);
        row.text("service", h.service);
        if (optional & 2)
            row.text("uncanonicalized_id", h.uncanonicalized_id);
        if (p.handleName)
            row.text("_ct_name", h._ct_name);
        if (p.handlePhoto)
            row.bytes("_photo", h._photo);
    });
}

qint64 IOS6MessageDb::insertChat(const _MsgChat *chat)
{
    WritePlan &p = writePlan();
    const _MsgChat &c = *chat;
    const unsigned optional = (c.account_id.isEmpty() ? 0 : 1) | (c.room_name.isEmpty() ? 0 : 2)
                              | (p.chatDisplayName && !c.display_name.isEmpty() ? 4 : 0);
    const qint64 chatRowid = insertKept(*this, p.insertChat[optional], "chat", [&](auto &row) {
        row.text("guid", c.guid);
        row.integer("style", c.style);
        row.integer("state", c.state);
        if (optional & 1)
            row.text("account_id", c.account_id);
        row.text("chat_identifier", c.chat_identifier);
        // Written as the phone had it: later phones keep "RCS" chats, and a
        // service the program does not know is no reason to lose a
        // conversation. A chat without one (NULL) was an SMS chat on the
        // phones that left it so.
        row.text("service_name", c.service_name.isNull() ? QStringLiteral("SMS") : c.service_name);
        if (optional & 2)
            row.text("room_name", c.room_name);
        row.text("account_login", c.account_login);
        row.integer("is_archived", c.is_archived);
        if (optional & 4)
            row.text("display_name", c.display_name);
        if (p.chatGroupId) {
            // Derived from the guid alone, so the same chat gets the same
            // group in every database it is written into.
            row.text("group_id", c.group_id.isEmpty() ? guidFromMd5(c.guid.toUtf8()) : c.group_id);
        }
    });

    for (const _MsgHandle *member : chat->members) {
        qint64 handleRowid = this->handleRowid(member);
        if (handleRowid == 0)
            handleRowid = insertHandle(member);
        joinChatHandle(chatRowid, handleRowid);
    }
    return chatRowid;
}

// A phone reads every date of its file in one unit: written in seconds into a
// later phone's file, a message would show as sent in the first seconds of
// 2001. The newest dated message tells the unit. A file without one tells it
// by its schema: the cloud-sync columns came with the phones that count in
// nanoseconds; anything else (an older phone, a local database) takes
// seconds, the unit the program's own files use.
qint64 IOS6MessageDb::storedDateScale()
{
    if (dateScale == 0) {
        const qint64 newest = firstRowid(Sqlite3Sql("select date from message where date != 0 order by rowid desc limit 1"));
        if (newest != 0)
            dateScale = newest > kNanosecondDatesAbove || newest < -kNanosecondDatesAbove ? 1000000000 : 1;
        else
            dateScale = probe(QStringLiteral("message"), QStringLiteral("ck_sync_state"), Qt::CaseSensitive) ? 1000000000 : 1;
    }
    return dateScale;
}

qint64 IOS6MessageDb::insertMessage(const _MsgMessage *message, qint64 handleRowid, qint64 otherHandleRowid,
                                    const QString &logicHash)
{
    WritePlan &p = writePlan();
    const _MsgMessage &m = *message;
    const qint64 scale = storedDateScale();
    unsigned optional = 0;
    if (!m.service_center.isEmpty())
        optional |= ServiceCenterSet;
    if (!m.rare().subject.isEmpty())
        optional |= SubjectSet;
    if (!m.country.isEmpty())
        optional |= CountrySet;
    // The bytes the reader left in the message's source file go along.
    const QByteArray body = attributedBodyOf(m);
    if (!body.isEmpty())
        optional |= BodySet;
    if (p.otherHandle && otherHandleRowid > 0)
        optional |= OtherHandleSet;
    if (p.groupTitle && !m.rare().group_title.isEmpty())
        optional |= GroupTitleSet;
    const QString hash = p.logicHash && logicHash.isEmpty() ? calcLogicHash(m) : logicHash;
    const auto visit = [&](auto &row) {
        visitMessageRow(row, m, body, optional, handleRowid, otherHandleRowid, hash, scale, p.audio, p.played,
                        p.datePlayed, p.itemType, p.otherHandle, p.groupTitle, p.groupAction, p.shareStatus,
                        p.shareDirection, p.expirable, p.expireState, p.actionType, p.logicHash);
    };
    return insertKept(*this, p.insertMessage[optional], "message", visit);
}

qint64 IOS6MessageDb::insertAttachment(const _MsgAttachment *attachment)
{
    open();
    const QString table = QStringLiteral("attachment");
    const _MsgAttachment &a = *attachment;
    InsertBuilder row;
    row.text("guid", a.guid);
    row.integer("created_date", a.created_date);
    row.integer("start_date", a.start_date);
    row.text("filename", a.filename);
    row.text("uti", a.uti);
    row.text("mime_type", a.mime_type);
    row.integer("transfer_state", a.transfer_state);
    row.integer("is_outgoing", a.is_outgoing);
    if (probe(table, QStringLiteral("user_info"), Qt::CaseSensitive))
        row.bytesIfSet("user_info", a.user_info);
    if (probe(table, QStringLiteral("transfer_name"), Qt::CaseSensitive))
        row.textIfSet("transfer_name", a.transfer_name);
    if (probe(table, QStringLiteral("total_bytes"), Qt::CaseSensitive))
        row.integer("total_bytes", a.total_bytes);
    executeThrow(row.statement("attachment"));
    return lastInsertId();
}

void IOS6MessageDb::deleteMessage(const _MsgMessage *message)
{
    open();
    const qint64 rowid = message->rowid;
    // Its own chat and every other chat it is joined to (a message can stand
    // in two): each goes below once no message is joined to it any more.
    QList<qint64> chats;
    if (message->chat)
        chats.append(message->chat->rowid);
    {
        Sqlite3Cursor cursor =
            queryThrow(Sqlite3Sql("SELECT chat_id FROM chat_message_join WHERE message_id=?").addInt64Param(rowid));
        while (cursor.moveNext()) {
            const qint64 chat = cursor.getInt64(0);
            if (!chats.contains(chat))
                chats.append(chat);
        }
    }
    executeThrow(Sqlite3Sql("DELETE FROM message WHERE rowid=?").addInt64Param(rowid));
    executeThrow(Sqlite3Sql("DELETE FROM chat_message_join where message_id=?").addInt64Param(rowid));
    executeThrow(Sqlite3Sql("DELETE FROM message_attachment_join where message_id=?").addInt64Param(rowid));
    for (const qint64 chatRowid : std::as_const(chats)) {
        executeThrow(Sqlite3Sql("DELETE FROM chat WHERE rowid=? and "
                                "(SELECT 1 from chat_message_join WHERE chat_id=? LIMIT 1) IS NULL")
                         .addInt64Param(chatRowid)
                         .addInt64Param(chatRowid));
    }
}

bool IOS6MessageDb::refusedRow(const Sqlite3Exception &e)
{
    const int primary = e.code() & 0xFF;
    return primary == SQLITE_CONSTRAINT || primary == SQLITE_MISMATCH;
}
