#include "store/ios5messagedb.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "store/handlenaming.h"
#include "store/msgtext.h"
#include "platform/plist/plistarray.h"
#include "store/resolvedcursor.h"

#include <sqlite3.h>

#include <exception>

namespace {

const char kCaller[] = "IOS5MessageDb::chats";

// The phone's triggers test message flags with a function of this name.
void readFlag(sqlite3_context *context, int, sqlite3_value **argv)
{
    sqlite3_result_int(context, sqlite3_value_int(argv[0]) != 0 ? 1 : 0);
}

// SMS rows count from 1970, the records from 2001. Unsigned, so a damaged
// date far out of range wraps instead of overflowing.
int smsDate(qint64 unixSeconds)
{
    return int(quint64(unixSeconds) - quint64(MSG_EPOCH_OFFSET));
}

// iMessage participants have no rowid of their own: each gets the next free
// negative key (-1 minus the number of handles, or further down if that key
// is taken), so no record of the store is ever replaced.
qint64 participantKey(const _MsgStore *s)
{
    qint64 key = -1 - qint64(s->handles.size());
    while (s->handles.contains(key))
        --key;
    return key;
}

// Of several chats with one identifier, the one an iMessage row belongs to:
// an iMessage chat before an SMS chat, then the one read first from its table
// (the smaller rowid by amount), so the choice never rests on hash order.
bool preferredFor(const _MsgChat *a, const _MsgChat *b)
{
    const bool aIMessage = a->service_name == QLatin1String("iMessage");
    const bool bIMessage = b->service_name == QLatin1String("iMessage");
    if (aIMessage != bIMessage)
        return aIMessage;
    if (qAbs(a->rowid) != qAbs(b->rowid))
        return qAbs(a->rowid) < qAbs(b->rowid);
    return a->rowid < b->rowid;
}

} // namespace

IOS5MessageDb::IOS5MessageDb(const QDir &cacheDir, const QString &mcc)
    : fileRelayDir(cacheDir.absoluteFilePath(QStringLiteral("file-relay"))),
      contactsDb(cacheDir, mcc),
      recycle(cacheDir.absoluteFilePath(QStringLiteral("recycle.db"))),
      countryDb(mcc),
      dbPath(fileRelayDir.absoluteFilePath(QStringLiteral("var/mobile/Library/SMS/sms.db")))
{
}

IOS5MessageDb::~IOS5MessageDb() = default;

void IOS5MessageDb::open()
{
    if (isOpen())
        return;
    openThrow(dbPath, 2);
    try {
        // Innocuous: it has no side effects, and the phone's triggers may
        // call it even where the schema is not trusted.
        sqlite3_create_function_v2(handle(), "read", 1, SQLITE_ANY | SQLITE_INNOCUOUS, nullptr, readFlag, nullptr,
                                   nullptr, nullptr);
        tableSql.clear();
        tableSql = tableStatements(*this);
    } catch (...) {
        // Never leave a connection open whose table map was not read.
        close();
        throw;
    }
}

void IOS5MessageDb::chats(QSharedPointer<_MsgStore> &store)
{
    open();
    try {
        contactsDb.open();
    } catch (const std::exception &) {
        // Without the address book only the names go; the cache stays closed.
    }
    _MsgStore *s = storeFor(store);

    // SMS chats: a group whose newest message is gone is not loaded.
    {
        ResolvedCursor c(queryThrow(Sqlite3Sql("select g.*,m.date as newest_date from msg_group as g "
                                               "inner join message as m on g.newest_message=m.rowid")));
        const int rowid = c.column(QStringLiteral("rowid")), hash = c.column(QStringLiteral("hash")),
                  newestDate = c.column(QStringLiteral("newest_date"));
        while (c.moveNext()) {
            const qint64 id = c.getInt64(rowid);
            if (s->chats.contains(id))
                continue;
            auto *chat = new _MsgChat;
            s->chats.insert(id, chat);
            chat->rowid = id;
            chat->_last = smsDate(c.getInt64(newestDate));
            chat->style = 45;
            chat->state = 3;
            chat->guid = QStringLiteral("SMS;-;") + QString::number(c.getInt(hash));
            chat->chat_identifier = QStringLiteral("unknown");
            chat->service_name = QStringLiteral("SMS");
            chat->account_login = QStringLiteral("E:");
        }
    }

    // SMS members; the first two members decide the chat's identity.
    CountryCache countries;
    {
        ResolvedCursor c(queryThrow(Sqlite3Sql("select * from group_member")));
        const int groupId = c.column(QStringLiteral("group_id")), rowid = c.column(QStringLiteral("rowid")),
                  address = c.column(QStringLiteral("address")), country = c.column(QStringLiteral("country"));
        while (c.moveNext()) {
            _MsgChat *chat = s->chats.value(c.getInt64(groupId));
            if (!chat)
                continue;
            const qint64 id = c.getInt64(rowid);
            _MsgHandle *handle = s->handles.value(id);
            if (!handle) {
                handle = new _MsgHandle;
                s->handles.insert(id, handle);
                handle->rowid = id;
                handle->country = c.getSharedText(country);
                handle->service = QStringLiteral("SMS");
                handle->id = CountryLibDb::normalizeNumber(cachedCountryBySn(countryDb, countries, handle->country),
                                                           c.getText(address));
                nameFromContacts(contactsDb, handle, kCaller);
            }
            if (chat->members.contains(handle->id))
                continue;
            if (chat->members.isEmpty()) {
                chat->chat_identifier = handle->id;
                chat->guid = QStringLiteral("SMS;-;") + handle->id;
                chat->style = 45;
            } else if (chat->members.size() == 1) {
                chat->chat_identifier = groupChatId(chat->guid);
                chat->guid = QStringLiteral("SMS;+;") + chat->chat_identifier;
                chat->room_name = chat->chat_identifier;
                chat->style = 43;
                chat->account_id = guidFromMd5(chat->guid.toUtf8());
            }
            chat->members.insert(handle->id, handle);
        }
    }

    if (!tableSql.contains(QStringLiteral("madrid_chat")))
        return;

    // iMessage chats, each with participants of its own.
    const _CountryInfo home = countryDb.defaultCountry();
    QHash<QString, _MsgChat *> byIdentifier;
    {
        ResolvedCursor c(queryThrow(Sqlite3Sql("select * from madrid_chat")));
        const int rowid = c.column(QStringLiteral("rowid")),
                  participants = c.column(QStringLiteral("participants")),
                  identifier = c.column(QStringLiteral("chat_identifier")), style = c.column(QStringLiteral("style")),
                  state = c.column(QStringLiteral("state")), accountId = c.column(QStringLiteral("account_id")),
                  accountLogin = c.column(QStringLiteral("account_login"));
        while (c.moveNext()) {
            // iMessage chats live under negative keys, apart from the SMS
            // chats; a row of a damaged file whose rowid has no such key (0,
            // negative, or one whose negation overflows) is left out.
            const qint64 chatRowid = c.getInt64(rowid);
            if (chatRowid <= 0)
                continue;
            const qint64 key = -chatRowid;
            if (s->chats.contains(key))
                continue;
            const QStringList addresses = plistArrayStrings(c.getBlob(participants));
            auto *chat = new _MsgChat;
            s->chats.insert(key, chat);
            chat->rowid = key;
            chat->chat_identifier = CountryLibDb::normalizeNumber(home, c.getText(identifier));
            chat->guid = (addresses.size() > 1 ? QStringLiteral("iMessage;+;") : QStringLiteral("iMessage;-;"))
                         + chat->chat_identifier;
            chat->style = c.getInt(style);
            chat->state = c.getInt(state);
            chat->account_id = c.getText(accountId);
            chat->service_name = QStringLiteral("iMessage");
            chat->account_login = c.getText(accountLogin);
            byIdentifier.insert(chat->chat_identifier, chat);

            for (const QString &address : addresses) {
                auto *handle = new _MsgHandle;
                const qint64 handleKey = participantKey(s);
                s->handles.insert(handleKey, handle);
                handle->rowid = handleKey;
                handle->service = QStringLiteral("iMessage");
                handle->id = CountryLibDb::normalizeNumber(home, address);
                nameFromContacts(contactsDb, handle, kCaller);
                chat->members.insert(handle->id, handle);
            }
        }
    }

    // The newest iMessage of a chat, found by room name and by handle as the
    // phone stores them.
    const char *const lastQueries[][2] = {
        {"select madrid_roomname,max(date) as last_date from message group by madrid_roomname having "
         "madrid_roomname is not null and madrid_roomname <> ''",
         "madrid_roomname"},
        {"select madrid_handle,max(date) as last_date from message group by madrid_handle having madrid_handle "
         "is not null and madrid_handle <> ''",
         "madrid_handle"},
    };
    for (const auto &query : lastQueries) {
        ResolvedCursor c(queryThrow(Sqlite3Sql(query[0])));
        const int key = c.column(QLatin1String(query[1])), lastDate = c.column(QStringLiteral("last_date"));
        while (c.moveNext()) {
            if (_MsgChat *chat = byIdentifier.value(c.getText(key)))
                chat->_last = c.getInt(lastDate);
        }
    }
}

void IOS5MessageDb::messages(QSharedPointer<_MsgStore> &store, qint64 chatId)
{
    open();
    chats(store);
    _MsgStore *s = storeFor(store);

    QHash<QString, _MsgChat *> byIdentifier;
    for (_MsgChat *chat : std::as_const(s->chats)) {
        auto it = byIdentifier.find(chat->chat_identifier);
        if (it == byIdentifier.end())
            byIdentifier.insert(chat->chat_identifier, chat);
        else if (preferredFor(chat, *it))
            *it = chat;
    }

    QString sql = QStringLiteral("select m.* from message as m");
    if (chatId > 0) {
        sql += QStringLiteral(" where m.group_id=%1").arg(chatId);
    } else if (chatId < 0) {
        // A phone that never used iMessage has no such chat to read.
        if (!tableSql.contains(QStringLiteral("madrid_chat")))
            return;
        sql += QStringLiteral(" inner join madrid_chat as c on (m.madrid_roomname=c.chat_identifier or "
                              "m.madrid_handle=c.chat_identifier) and c.rowid=%1")
                   .arg(-chatId);
    }

    const _CountryInfo home = countryDb.defaultCountry();
    CountryCache countries;
    // One value for every message instead of a copy each.
    const SharedText iMessage(QStringLiteral("iMessage")), sms(QStringLiteral("SMS")),
        smsAccount(QStringLiteral("e:"));
    ResolvedCursor c(queryThrow(Sqlite3Sql(sql)));
    const int rowid = c.column(QStringLiteral("rowid")), text = c.column(QStringLiteral("text")),
              svcCenter = c.column(QStringLiteral("svc_center")), subject = c.column(QStringLiteral("subject")),
              country = c.column(QStringLiteral("country")), isMadrid = c.column(QStringLiteral("is_madrid")),
              body = c.column(QStringLiteral("madrid_attributedBody")),
              madridGuid = c.column(QStringLiteral("madrid_guid")),
              madridAccount = c.column(QStringLiteral("madrid_account")),
              madridAccountGuid = c.column(QStringLiteral("madrid_account_guid")),
              madridError = c.column(QStringLiteral("madrid_error")), date = c.column(QStringLiteral("date")),
              madridDateRead = c.column(QStringLiteral("madrid_date_read")),
              madridDateDelivered = c.column(QStringLiteral("madrid_date_delivered")),
              roomname = c.column(QStringLiteral("madrid_roomname")),
              madridHandle = c.column(QStringLiteral("madrid_handle")), flags = c.column(QStringLiteral("flags")),
              groupId = c.column(QStringLiteral("group_id")), address = c.column(QStringLiteral("address"));
    while (c.moveNext()) {
        const qint64 id = c.getInt64(rowid);
        if (s->messages.contains(id))
            continue;
        auto *m = new _MsgMessage;
        s->messages.insert(id, m);
        m->rowid = id;
        m->srcRowid = id;
        m->text = c.getText(text);
        m->service_center = c.getSharedText(svcCenter);
        if (const QString words = c.getText(subject); !words.isNull())
            m->editRare().subject = words;
        m->country = c.getSharedText(country);
        m->version = 10;
        m->is_finished = 1;
        m->is_prepared = 1;
        m->is_read = 1;
        m->is_sent = 1;
        m->was_data_detected = 1;

        _MsgChat *chat = nullptr;
        if (c.getInt(isMadrid) != 0) {
            if (QByteArray bytes = c.getBlob(body); !bytes.isNull())
                m->editRare().attributedBody = std::move(bytes);
            m->guid = c.getText(madridGuid);
            m->service = iMessage;
            m->account = c.getSharedText(madridAccount);
            m->account_guid = c.getSharedText(madridAccountGuid);
            m->error = c.getInt(madridError);
            m->date = c.getInt(date);
            m->date_read = c.getInt(madridDateRead);
            m->date_delivered = c.getInt(madridDateDelivered);
            m->is_from_me = m->date_delivered > 0 ? 1 : 0;

            const QString room = c.getText(roomname);
            const QString sender = CountryLibDb::normalizeNumber(home, c.getText(madridHandle));
            chat = byIdentifier.value(room.isEmpty() ? sender : room);
            if (chat) {
                if (chat->members.size() == 1)
                    m->handle = *chat->members.constBegin();
                else if (chat->members.size() > 1 && !m->is_from_me)
                    m->handle = chat->members.value(sender);
            }
        } else {
            m->guid = newGuid(); // the phone keeps none for SMS
            m->service = sms;
            m->account = smsAccount;
            m->error = 0;
            m->date = smsDate(c.getInt64(date));
            m->date_read = m->date;
            m->date_delivered = m->date;
            // Bit 0 marks a message of mine: 3 sent, 33 failed to send.
            m->is_from_me = c.getInt(flags) & 1;

            const int group = c.getInt(groupId);
            chat = group > 0 ? s->chats.value(group) : nullptr;
            if (chat) {
                if (chat->members.size() == 1) {
                    m->handle = *chat->members.constBegin();
                } else if (chat->members.size() > 1 && !m->is_from_me) {
                    const _CountryInfo &own = cachedCountryBySn(countryDb, countries, c.getText(country));
                    m->handle = chat->members.value(CountryLibDb::normalizeNumber(own, c.getText(address)));
                }
            }
        }
        if (chat) {
            m->chat = chat;
            chat->messages.insert(id, m);
        }
    }
}

qint64 IOS5MessageDb::messageCount()
{
    open();
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select count(*) from message"));
    return cursor.moveNext() ? cursor.getInt64(0) : 0;
}

MessageRecycleDb *IOS5MessageDb::recycleDb()
{
    return &recycle;
}

void IOS5MessageDb::loadRecycledMessages(QSharedPointer<_MsgStore> &store)
{
    open();
    // Freed pages keep the old copies of rows that moved when their
    // neighbours were deleted, and the recovery takes those cells as they
    // are: a message the phone still holds is shown from the phone, not
    // twice. An iMessage row is known by its guid; an SMS row, whose guid the
    // recovery made up, by its date, direction and text.
    const bool withMadrid = tableSql.value(QStringLiteral("message")).contains(QLatin1String("madrid_guid"));
    QList<_RecycleMessage> recovered = recycle.messages();
    QList<_RecycleMessage> gone;
    gone.reserve(recovered.size());
    for (const _RecycleMessage &r : std::as_const(recovered)) {
        Sqlite3Sql sql;
        if (r.service == QLatin1String("iMessage")) {
            if (!withMadrid) { // a phone without iMessage holds none
                gone.append(r);
                continue;
            }
            sql = Sqlite3Sql("select rowid from message where madrid_guid=?").addTextParam(r.guid);
        } else {
            sql = Sqlite3Sql("select rowid from message where date=? and (ifnull(flags,0)&1)=? and "
                             "ifnull(text,'')=?")
                      .addInt64Param(qint64(r.date) + MSG_EPOCH_OFFSET)
                      .addIntParam(r.is_from_me != 0 ? 1 : 0)
                      .addTextParam(r.text.isNull() ? QString(QLatin1String("")) : r.text);
        }
        Sqlite3Cursor cursor = queryThrow(sql);
        if (!cursor.moveNext())
            gone.append(r);
    }
    MessageRecycleDb::mergeIntoStore(store, gone);
}
