// Row-level writing, lookups and deletion of IOS6MessageDb. None of these
// starts or ends a transaction: callers wrap their calls in one. Every value,
// numbers included, is bound, so each statement text is prepared once per
// connection and then served from its statement cache.
#include "store/ios6messagedb.h"

#include "store/msgtext.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3exception.h"
#include "platform/sqlite_qt/sqlite3row.h"
#include "platform/sqlite_qt/sqlite3sql.h"

#include <sqlite3.h>

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
    open();
    return firstRowid(Sqlite3Sql("select rowid from chat where guid=?").addTextParam(guid));
}

qint64 IOS6MessageDb::handleRowid(const _MsgHandle *handle)
{
    open();
    return firstRowid(Sqlite3Sql("select rowid from handle where id=? and service=?")
                          .addTextParam(handle->id)
                          .addTextParam(handle->service));
}

qint64 IOS6MessageDb::messageRowid(const QString &guid)
{
    open();
    return firstRowid(Sqlite3Sql("select rowid from message where guid=?").addTextParam(guid));
}

qint64 IOS6MessageDb::attachmentRowid(const _MsgAttachment *attachment)
{
    open();
    return firstRowid(Sqlite3Sql("select rowid from attachment where guid=?").addTextParam(attachment->guid));
}

bool IOS6MessageDb::hasLogicHash()
{
    open();
    return probe(QStringLiteral("message"), QStringLiteral("logic_hash"), Qt::CaseSensitive);
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const _MsgMessage *message)
{
    if (!hasLogicHash())
        return 0;
    return messageRowidByLogicHash(calcLogicHash(*message));
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const QString &logicHash)
{
    if (!hasLogicHash())
        return 0;
    return firstRowid(Sqlite3Sql("select rowid from message where logic_hash=?").addTextParam(logicHash));
}

bool IOS6MessageDb::hasChatHandle(qint64 chatRowid, qint64 handleRowid)
{
    open();
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select 1 from chat_handle_join where chat_id=? and handle_id=?")
                                          .addInt64Param(chatRowid)
                                          .addInt64Param(handleRowid));
    return cursor.moveNext();
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
    open();
    executeThrow(Sqlite3Sql("replace into chat_handle_join(chat_id,handle_id) values(?,?)")
                     .addInt64Param(chatRowid)
                     .addInt64Param(handleRowid));
}

void IOS6MessageDb::joinChatMessage(qint64 chatRowid, qint64 messageRowid)
{
    open();
    executeThrow(Sqlite3Sql("replace into chat_message_join(chat_id,message_id) values(?,?)")
                     .addInt64Param(chatRowid)
                     .addInt64Param(messageRowid));
}

void IOS6MessageDb::joinMessageAttachment(qint64 messageRowid, qint64 attachmentRowid)
{
    open();
    executeThrow(Sqlite3Sql("replace into message_attachment_join(message_id,attachment_id) values(?,?)")
                     .addInt64Param(messageRowid)
                     .addInt64Param(attachmentRowid));
}

void IOS6MessageDb::setLastAddressedHandle(qint64 chatRowid, const QString &handleId)
{
    open();
    executeThrow(Sqlite3Sql("update chat set last_addressed_handle=? where rowid=?")
                     .addTextParam(handleId)
                     .addInt64Param(chatRowid));
}

void IOS6MessageDb::updateChatLast(qint64 chatRowid, int date)
{
    open();
    if (!probe(QStringLiteral("chat"), QStringLiteral("_last INTEGER"), Qt::CaseInsensitive))
        return;
    executeThrow(Sqlite3Sql("update chat set _last=? where rowid=? and _last < ?")
                     .addInt64Param(date)
                     .addInt64Param(chatRowid)
                     .addInt64Param(date));
}

qint64 IOS6MessageDb::insertHandle(const _MsgHandle *handle)
{
    open();
    const QString table = QStringLiteral("handle");
    InsertBuilder row;
    row.text("id", handle->id);
    row.textIfSet("country", handle->country);
    row.text("service", handle->service);
    row.textIfSet("uncanonicalized_id", handle->uncanonicalized_id);
    if (probe(table, QStringLiteral("_ct_name TEXT"), Qt::CaseInsensitive))
        row.text("_ct_name", handle->_ct_name);
    if (probe(table, QStringLiteral("_photo BLOB"), Qt::CaseInsensitive))
        row.bytes("_photo", handle->_photo);
    executeThrow(row.statement("handle"));
    return lastInsertId();
}

qint64 IOS6MessageDb::insertChat(const _MsgChat *chat)
{
    open();
    const QString table = QStringLiteral("chat");
    InsertBuilder row;
    row.text("guid", chat->guid);
    row.integer("style", chat->style);
    row.integer("state", chat->state);
    row.textIfSet("account_id", chat->account_id);
    row.text("chat_identifier", chat->chat_identifier);
    // Written as the phone had it: later phones keep "RCS" chats, and a
    // service the program does not know is no reason to lose a conversation.
    // A chat without one (NULL) was an SMS chat on the phones that left it so.
    row.text("service_name", chat->service_name.isNull() ? QStringLiteral("SMS") : chat->service_name);
    row.textIfSet("room_name", chat->room_name);
    row.text("account_login", chat->account_login);
    row.integer("is_archived", chat->is_archived);
    if (probe(table, QStringLiteral("display_name"), Qt::CaseSensitive))
        row.textIfSet("display_name", chat->display_name);
    if (probe(table, QStringLiteral("group_id"), Qt::CaseSensitive)) {
        // Derived from the guid alone, so the same chat gets the same group
        // in every database it is written into.
        row.text("group_id", chat->group_id.isEmpty() ? guidFromMd5(chat->guid.toUtf8()) : chat->group_id);
    }
    executeThrow(row.statement("chat"));
    const qint64 chatRowid = lastInsertId();

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
    open();
    const QString table = QStringLiteral("message");
    const auto has = [this, &table](const char *column) {
        return probe(table, QLatin1String(column), Qt::CaseSensitive);
    };
    const _MsgMessage &m = *message;
    const qint64 scale = storedDateScale();
    const auto stored = [scale](int date) { return qint64(date) * scale; };
    InsertBuilder row;
    row.text("guid", m.guid);
    row.text("text", m.text);
    row.integer("replace", m.replace);
    row.textIfSet("service_center", m.service_center);
    row.integer("handle_id", handleRowid);
    row.textIfSet("subject", m.subject);
    row.textIfSet("country", m.country);
    row.bytesIfSet("attributedBody", m.attributedBody);
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
    row.integer("is_emote", m.is_emote);
    row.integer("is_from_me", m.is_from_me);
    row.integer("is_empty", m.is_empty);
    row.integer("is_delayed", m.is_delayed);
    row.integer("is_auto_reply", m.is_auto_reply);
    row.integer("is_prepared", m.is_prepared);
    row.integer("is_read", m.is_read);
    row.integer("is_system_message", m.is_system_message);
    row.integer("is_sent", m.is_sent);
    row.integer("has_dd_results", m.has_dd_results);
    row.integer("is_service_message", m.is_service_message);
    row.integer("is_forward", m.is_forward);
    row.integer("was_downgraded", m.was_downgraded);
    row.integer("is_archive", m.is_archive);
    row.integer("cache_has_attachments", m.cache_has_attachments);
    row.text("cache_roomnames", m.cache_roomnames);
    row.integer("was_data_detected", m.was_data_detected);
    row.integer("was_deduplicated", m.was_deduplicated);
    if (has("is_audio_message"))
        row.integer("is_audio_message", m.is_audio_message);
    if (has("is_played"))
        row.integer("is_played", m.is_played);
    if (has("date_played"))
        row.integer("date_played", stored(m.date_played));
    if (has("item_type"))
        row.integer("item_type", m.item_type);
    if (has("other_handle") && otherHandleRowid > 0)
        row.integer("other_handle", otherHandleRowid);
    if (has("group_title"))
        row.textIfSet("group_title", m.group_title);
    if (has("group_action_type"))
        row.integer("group_action_type", m.group_action_type);
    if (has("share_status"))
        row.integer("share_status", m.share_status);
    if (has("share_direction"))
        row.integer("share_direction", m.share_direction);
    if (has("is_expirable"))
        row.integer("is_expirable", m.is_expirable);
    if (has("expire_state"))
        row.integer("expire_state", m.expire_state);
    if (has("message_action_type"))
        row.integer("message_action_type", m.message_action_type);
    if (has("logic_hash"))
        row.text("logic_hash", logicHash.isEmpty() ? calcLogicHash(m) : logicHash);
    executeThrow(row.statement("message"));
    return lastInsertId();
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
