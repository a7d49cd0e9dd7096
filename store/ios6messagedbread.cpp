// Reading chats, handles and messages of a database in the iOS 6 layout.
#include "store/ios6messagedb.h"

#include "platform/sqlite_qt/sqlite3sql.h"
#include "store/attributedbodysource.h"
#include "store/attributedbodytext.h"
#include "store/handlenaming.h"
#include "store/resolvedcursor.h"

#include <exception>
#include <limits>
#include <vector>

namespace {

int recordDate(qint64 stored)
{
    return IOS6MessageDb::recordDate(stored);
}

// The message columns in the record's order, resolved once per query.
struct MessageColumns
{
    int rowid, guid, text, replace, service_center, handle_id, subject, country, attributedBody, version, type,
        service, account, account_guid, error, date, date_read, date_delivered, is_delivered, is_finished,
        is_emote, is_from_me, is_empty, is_delayed, is_auto_reply, is_prepared, is_read, is_system_message,
        is_sent, has_dd_results, is_service_message, is_forward, was_downgraded, is_archive,
        cache_has_attachments, cache_roomnames, was_data_detected, was_deduplicated, is_audio_message, is_played,
        date_played, item_type, other_handle, group_title, group_action_type, share_status, share_direction,
        is_expirable, expire_state, message_action_type, chat_id;

    explicit MessageColumns(const ResolvedCursor &c)
    {
        auto col = [&c](const char *name) { return c.column(QLatin1String(name)); };
        rowid = col("rowid");
        guid = col("guid");
        text = col("text");
        replace = col("replace");
        service_center = col("service_center");
        handle_id = col("handle_id");
        subject = col("subject");
        country = col("country");
        attributedBody = col("attributedBody");
        version = col("version");
        type = col("type");
        service = col("service");
        account = col("account");
        account_guid = col("account_guid");
        error = col("error");
        date = col("date");
        date_read = col("date_read");
        date_delivered = col("date_delivered");
        is_delivered = col("is_delivered");
        is_finished = col("is_finished");
        is_emote = col("is_emote");
        is_from_me = col("is_from_me");
        is_empty = col("is_empty");
        is_delayed = col("is_delayed");
        is_auto_reply = col("is_auto_reply");
        is_prepared = col("is_prepared");
        is_read = col("is_read");
        is_system_message = col("is_system_message");
        is_sent = col("is_sent");
        has_dd_results = col("has_dd_results");
        is_service_message = col("is_service_message");
        is_forward = col("is_forward");
        was_downgraded = col("was_downgraded");
        is_archive = col("is_archive");
        cache_has_attachments = col("cache_has_attachments");
        cache_roomnames = col("cache_roomnames");
        was_data_detected = col("was_data_detected");
        was_deduplicated = col("was_deduplicated");
        is_audio_message = col("is_audio_message");
        is_played = col("is_played");
        date_played = col("date_played");
        item_type = col("item_type");
        other_handle = col("other_handle");
        group_title = col("group_title");
        group_action_type = col("group_action_type");
        share_status = col("share_status");
        share_direction = col("share_direction");
        is_expirable = col("is_expirable");
        expire_state = col("expire_state");
        message_action_type = col("message_action_type");
        chat_id = col("chat_id");
    }
};

void fillMessage(_MsgMessage *m, ResolvedCursor &c, const MessageColumns &k)
{
    // Gathered here and kept only when one of them is not at its default.
    _MsgMessageRare rare;
    m->rowid = c.getInt64(k.rowid);
    m->guid = c.getText(k.guid);
    m->text = c.getText(k.text);
    rare.replace = c.getInt(k.replace);
    m->service_center = c.getSharedText(k.service_center);
    m->handle_id = c.getInt64(k.handle_id);
    rare.subject = c.getText(k.subject);
    m->country = c.getSharedText(k.country);
    // Later phones keep the words of many messages only in the archived
    // attributed string. Once the words are in text the archive is not kept:
    // it would cost the store as much memory as the text itself. A message
    // whose archive yields no words keeps it, as it is all there is.
    // The bytes are read where SQLite holds them and copied only to be kept.
    if (m->text.isEmpty()) {
        const QByteArray body = c.peekBlob(k.attributedBody);
        if (!body.isEmpty()) {
            const QString words = attributedBodyText(body);
            if (!words.isEmpty()) {
                m->text = words;
                m->attributedBodyLeftInSource = true;
            } else {
                rare.attributedBody = QByteArray(body.constData(), body.size());
            }
        }
    } else {
        m->attributedBodyLeftInSource = c.getBytes(k.attributedBody) > 0;
    }
    m->version = c.getInt(k.version);
    m->type = c.getInt(k.type);
    m->service = c.getSharedText(k.service);
    m->account = c.getSharedText(k.account);
    m->account_guid = c.getSharedText(k.account_guid);
    m->error = c.getInt(k.error);
    m->date = recordDate(c.getInt64(k.date));
    m->date_read = recordDate(c.getInt64(k.date_read));
    m->date_delivered = recordDate(c.getInt64(k.date_delivered));
    m->is_delivered = c.getInt(k.is_delivered);
    m->is_finished = c.getInt(k.is_finished);
    rare.is_emote = c.getInt(k.is_emote);
    m->is_from_me = c.getInt(k.is_from_me);
    m->is_empty = c.getInt(k.is_empty);
    rare.is_delayed = c.getInt(k.is_delayed);
    rare.is_auto_reply = c.getInt(k.is_auto_reply);
    m->is_prepared = c.getInt(k.is_prepared);
    m->is_read = c.getInt(k.is_read);
    rare.is_system_message = c.getInt(k.is_system_message);
    m->is_sent = c.getInt(k.is_sent);
    m->has_dd_results = c.getInt(k.has_dd_results);
    rare.is_service_message = c.getInt(k.is_service_message);
    rare.is_forward = c.getInt(k.is_forward);
    rare.was_downgraded = c.getInt(k.was_downgraded);
    rare.is_archive = c.getInt(k.is_archive);
    m->cache_has_attachments = c.getInt(k.cache_has_attachments);
    m->cache_roomnames = c.getSharedText(k.cache_roomnames);
    m->was_data_detected = c.getInt(k.was_data_detected);
    m->was_deduplicated = c.getInt(k.was_deduplicated);
    rare.is_audio_message = c.getInt(k.is_audio_message);
    rare.is_played = c.getInt(k.is_played);
    rare.date_played = recordDate(c.getInt64(k.date_played));
    m->item_type = c.getInt(k.item_type);
    m->other_handle = c.getInt(k.other_handle);
    rare.group_title = c.getSharedText(k.group_title);
    rare.group_action_type = c.getInt(k.group_action_type);
    rare.share_status = c.getInt(k.share_status);
    rare.share_direction = c.getInt(k.share_direction);
    rare.is_expirable = c.getInt(k.is_expirable);
    rare.expire_state = c.getInt(k.expire_state);
    rare.message_action_type = c.getInt(k.message_action_type);
    m->setRare(rare);
}

} // namespace

// Phones up to iOS 10 and the program's own databases store seconds; later
// phones store nanoseconds, told apart by size: 10^11 is more than 3000 years
// in seconds but under two minutes in nanoseconds. A date that does not fit
// the record's int (a damaged file) is held at the nearest end.
// Whatever writes into a phone's own database must write dates back in the
// unit that database already uses, or the phone misorders them.
int IOS6MessageDb::recordDate(qint64 stored)
{
    if (stored > kNanosecondDatesAbove || stored < -kNanosecondDatesAbove)
        stored /= 1000000000;
    return int(qBound(qint64(std::numeric_limits<int>::min()), stored, qint64(std::numeric_limits<int>::max())));
}

void IOS6MessageDb::chats(QSharedPointer<_MsgStore> &store)
{
    open();
    try {
        contactsDb.open();
    } catch (const std::exception &) {
        // Without the address book only the names go; the cache stays closed.
    }
    _MsgStore *s = storeFor(store);

    {
        ResolvedCursor c(queryThrow(Sqlite3Sql("select * from chat")));
        const int rowid = c.column(QStringLiteral("rowid")), guid = c.column(QStringLiteral("guid")),
                  style = c.column(QStringLiteral("style")), state = c.column(QStringLiteral("state")),
                  account_id = c.column(QStringLiteral("account_id")),
                  properties = c.column(QStringLiteral("properties")),
                  chat_identifier = c.column(QStringLiteral("chat_identifier")),
                  service_name = c.column(QStringLiteral("service_name")),
                  room_name = c.column(QStringLiteral("room_name")),
                  account_login = c.column(QStringLiteral("account_login")),
                  is_archived = c.column(QStringLiteral("is_archived")),
                  last_addressed_handle = c.column(QStringLiteral("last_addressed_handle")),
                  display_name = c.column(QStringLiteral("display_name")), last = c.column(QStringLiteral("_last")),
                  group_id = c.column(QStringLiteral("group_id"));
        while (c.moveNext()) {
            const qint64 id = c.getInt64(rowid);
            if (s->chats.contains(id))
                continue;
            auto *chat = new _MsgChat;
            s->chats.insert(id, chat);
            chat->rowid = id;
            chat->guid = c.getText(guid);
            chat->style = c.getInt(style);
            chat->state = c.getInt(state);
            chat->account_id = c.getText(account_id);
            chat->properties = c.getBlob(properties);
            chat->chat_identifier = c.getText(chat_identifier);
            chat->service_name = c.getText(service_name);
            chat->room_name = c.getText(room_name);
            chat->account_login = c.getText(account_login);
            chat->is_archived = c.getInt(is_archived);
            chat->last_addressed_handle = c.getText(last_addressed_handle);
            chat->display_name = c.getText(display_name);
            chat->_last = c.getInt(last);
            chat->group_id = c.getText(group_id);
        }
    }

    // A phone's own file keeps no date of the newest message per chat.
    if (!tableSqlContains(QStringLiteral("chat"), QStringLiteral("_last INTEGER"), Qt::CaseInsensitive)) {
        ResolvedCursor c(queryThrow(Sqlite3Sql(
            "select chat_id, max(date) as last from ( select cm.chat_id, m.date from chat_message_join as cm "
            "inner join message as m on cm.message_id=m.rowid ) as tmp group by chat_id")));
        const int chatId = c.column(QStringLiteral("chat_id")), last = c.column(QStringLiteral("last"));
        while (c.moveNext()) {
            if (_MsgChat *chat = s->chats.value(c.getInt64(chatId)))
                chat->_last = recordDate(c.getInt64(last));
        }
    }

    CountryCache countries;
    ResolvedCursor c(queryThrow(Sqlite3Sql(
        "select j.chat_id, h.* from chat_handle_join as j inner join handle as h on j.handle_id = h.rowid")));
    const int chatId = c.column(QStringLiteral("chat_id")), rowid = c.column(QStringLiteral("rowid")),
              id = c.column(QStringLiteral("id")), country = c.column(QStringLiteral("country")),
              service = c.column(QStringLiteral("service")),
              uncanonicalized_id = c.column(QStringLiteral("uncanonicalized_id")),
              ct_name = c.column(QStringLiteral("_ct_name")), photo = c.column(QStringLiteral("_photo"));
    while (c.moveNext()) {
        const qint64 handleRowid = c.getInt64(rowid);
        _MsgHandle *handle = s->handles.value(handleRowid);
        if (!handle) {
            handle = new _MsgHandle;
            s->handles.insert(handleRowid, handle);
            handle->rowid = handleRowid;
            handle->id = c.getText(id);
            handle->country = c.getSharedText(country);
            handle->service = c.getSharedText(service);
            handle->uncanonicalized_id = c.getText(uncanonicalized_id);
            handle->_ct_name = c.getText(ct_name);
            handle->_photo = c.getBlob(photo);
            if (!handle->country.isEmpty()) {
                handle->id = CountryLibDb::normalizeNumber(
                    cachedCountryBySn(countryDb, countries, handle->country), handle->id);
            } else {
                const _CountryInfo &home = countryDb.defaultCountry();
                handle->country = home.sn.toLower();
                handle->id = CountryLibDb::normalizeNumber(home, handle->id);
            }
            nameFromContacts(contactsDb, handle, "IOS6MessageDb::chats");
        }
        if (_MsgChat *chat = s->chats.value(c.getInt64(chatId)))
            chat->members.insert(QString::number(handle->rowid), handle);
    }
}

void IOS6MessageDb::messages(QSharedPointer<_MsgStore> &store, qint64 chatId)
{
    open();
    chats(store);
    _MsgStore *s = storeFor(store);

    QString sql = QStringLiteral(
        "select j.chat_id, m.* from chat_message_join as j inner join message as m on j.message_id = m.rowid");
    // Type 4 rows are not messages the user wrote or read (later phones keep
    // other events in the table).
    if (hasItemType())
        sql += QStringLiteral(" and m.item_type <> 4");
    if (chatId > 0)
        sql += QStringLiteral(" and j.chat_id=%1").arg(chatId);

    const auto bodySource = QSharedPointer<AttributedBodySource>::create(dbPath);
    for (_MsgChat *chat : std::as_const(s->chats)) {
        if (!chat->bodySource)
            chat->bodySource = bodySource;
    }

    qsizetype expectedRows = 0;
    if (chatId <= 0) {
        // Sized once for every row instead of growing (and moving every
        // entry) step by step; counting the join's index is cheap.
        Sqlite3Cursor rows = queryThrow(Sqlite3Sql("select count(*) from chat_message_join"));
        if (rows.moveNext()) {
            expectedRows = qsizetype(rows.getInt64(0));
            s->messages.reserve(s->messages.size() + expectedRows);
        }
    }

    // Rows come in message order, round the chats. Adding each message to
    // its chat's table as it comes would touch a table long out of the cache
    // on every row (the larger part of the load's time over the rows' read);
    // the rows of each chat are collected instead and added chat by chat, in
    // the order they came, once every row is read (or the read failed).
    QHash<qint64, int> chatIndex; // chat rowid -> index into chatsRead
    QList<_MsgChat *> chatsRead;
    struct Joined
    {
        qint64 rowid;
        _MsgMessage *message;
        int chat;
    };
    std::vector<Joined> joined;
    joined.reserve(size_t(expectedRows));
    std::vector<int> rowsOfChat;
    auto addToChats = [&]() {
        // Counting sort by chat: stable, so each chat gets its rows in order.
        std::vector<size_t> start(rowsOfChat.size() + 1, 0);
        for (size_t i = 0; i < rowsOfChat.size(); ++i)
            start[i + 1] = start[i] + size_t(rowsOfChat[i]);
        std::vector<const Joined *> grouped(joined.size());
        std::vector<size_t> next(start.begin(), start.end() - 1);
        for (const Joined &j : joined)
            grouped[next[size_t(j.chat)]++] = &j;
        for (size_t i = 0; i < rowsOfChat.size(); ++i) {
            QHash<qint64, _MsgMessage *> &messages = chatsRead.at(qsizetype(i))->messages;
            messages.reserve(messages.size() + rowsOfChat[i]);
            for (size_t g = start[i]; g < start[i + 1]; ++g)
                messages.insert(grouped[g]->rowid, grouped[g]->message);
        }
        joined.clear();
    };

    // Messages new to the store go into its table after the read, in one
    // pass, rather than row by row between the reads of the rows: a look-up
    // in a table of a million entries misses the cache, and the pass lets
    // those misses overlap. A row is surely new when its rowid lies above
    // every rowid the store holds or was given in this read (rows usually
    // come in rowid order); any other row is looked up, after the messages
    // waiting so far are added. A store that holds messages already (one
    // chat read after another) looks every row up.
    bool anyKnown = !s->messages.isEmpty();
    qint64 highest = anyKnown ? std::numeric_limits<qint64>::max() : 0;
    size_t added = 0; // rows of joined already in the store's table
    std::vector<std::pair<qint64, _MsgMessage *>> unjoined; // new messages without a chat, waiting
    _MsgMessage *unplaced = nullptr; // made for the current row, in neither yet
    auto addWaiting = [&]() {
        if (unplaced)
            s->messages.insert(unplaced->srcRowid, unplaced);
        unplaced = nullptr;
        for (; added < joined.size(); ++added)
            s->messages.insert(joined[added].rowid, joined[added].message);
        for (const auto &[rowid, m] : unjoined)
            s->messages.insert(rowid, m);
        unjoined.clear();
    };

    ResolvedCursor c(queryThrow(Sqlite3Sql(sql)));
    const MessageColumns k(c);
    // A message without a country of its own takes its sender's: one shared
    // value per handle, not a copy per message.
    QHash<const _MsgHandle *, SharedText> handleCountries;
    try {
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(k.rowid);
            _MsgMessage *m = nullptr;
            if (anyKnown && rowid <= highest) {
                addWaiting();
                m = s->messages.value(rowid);
            }
            const bool fresh = !m;
            if (fresh) {
                m = new _MsgMessage;
                m->srcRowid = rowid;
                unplaced = m; // the store owns it even when the row fails half-way
                fillMessage(m, c, k);
                highest = anyKnown ? qMax(highest, rowid) : rowid;
                anyKnown = true;
            }
            if (_MsgHandle *handle = s->handles.value(m->handle_id)) {
                m->handle = handle;
                if (m->country.isEmpty()) {
                    auto country = handleCountries.find(handle);
                    if (country == handleCountries.end())
                        country = handleCountries.insert(handle, SharedText(handle->country));
                    m->country = *country;
                }
            }
            if (m->other_handle > 0) {
                if (_MsgHandle *other = s->handles.value(m->other_handle))
                    m->editRare().otherHandle = other;
            }
            const qint64 chatRowid = c.getInt64(k.chat_id);
            auto index = chatIndex.constFind(chatRowid);
            if (index == chatIndex.constEnd()) {
                _MsgChat *chat = s->chats.value(chatRowid);
                index = chatIndex.insert(chatRowid, chat ? int(chatsRead.size()) : -1);
                if (chat) {
                    chatsRead.append(chat);
                    rowsOfChat.push_back(0);
                }
            }
            if (*index >= 0) {
                m->chat = chatsRead.at(*index);
                joined.push_back({rowid, m, *index});
                ++rowsOfChat[size_t(*index)];
            } else if (fresh) {
                unjoined.push_back({rowid, m});
            }
            unplaced = nullptr;
        }
    } catch (...) {
        addWaiting();
        addToChats();
        throw;
    }
    addWaiting();
    addToChats();
}

void IOS6MessageDb::loadRecycledMessages(QSharedPointer<_MsgStore> &store)
{
    open();
    // A message the phone still holds is shown from the phone, not twice.
    QList<_RecycleMessage> recovered = recycle.messages();
    QList<_RecycleMessage> gone;
    gone.reserve(recovered.size());
    for (const _RecycleMessage &r : std::as_const(recovered)) {
        if (messageRowid(r.guid) == 0)
            gone.append(r);
    }
    MessageRecycleDb::mergeIntoStore(store, gone);
}
