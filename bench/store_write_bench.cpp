// Writing a large set of messages into a new local database through the
// de-duplicating writer, then the same messages again (all duplicates),
// against the floor of plain prepared SQLite inserts of the same rows.
//
//   store_write_bench [messages chats handles]   (default 200000 2000 500)
//
// Prints the seconds of each pass, the floor, the ratios, and how many
// statements the writer prepared.
#include "bench/benchsetup.h"
#include "store/exportmessagesdb.h"
#include "store/msgtext.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <vector>

namespace {

// Handles alternate between phone numbers (SMS) and addresses (iMessage);
// every fifth chat is a group of three, the others one-to-one; messages go
// round the chats, every other one sent by me, texts of 20 to 200 characters
// and dates one second apart, so no two share a logic hash.
QList<_MsgMessage *> generate(_MsgStore &store, int messageCount, int chatCount, int handleCount)
{
    QRandomGenerator random(7);
    QList<_MsgHandle *> handles;
    for (int i = 0; i < handleCount; ++i) {
        auto *h = new _MsgHandle;
        h->rowid = i + 1;
        const bool mail = i % 2;
        h->id = mail ? QStringLiteral("person%1@example.com").arg(i) : QStringLiteral("+49170%1").arg(1000000 + i);
        h->service = mail ? QStringLiteral("iMessage") : QStringLiteral("SMS");
        h->country = QStringLiteral("de");
        store.handles.insert(h->rowid, h);
        handles << h;
    }
    QList<_MsgChat *> chats;
    for (int i = 0; i < chatCount; ++i) {
        auto *c = new _MsgChat;
        c->rowid = i + 1;
        const int members = i % 5 == 0 ? 3 : 1;
        for (int k = 0; k < members; ++k) {
            _MsgHandle *h = handles[(i * 3 + k) % handleCount];
            c->members.insert(QString::number(h->rowid), h);
        }
        _MsgHandle *first = handles[(i * 3) % handleCount];
        c->service_name = first->service;
        c->style = members > 1 ? 43 : 45;
        c->chat_identifier = members > 1 ? QStringLiteral("chat%1").arg(100000000 + i) : first->id;
        c->guid = QStringLiteral("%1;%2;%3#%4").arg(c->service_name, members > 1 ? "+" : "-", c->chat_identifier).arg(i);
        store.chats.insert(c->rowid, c);
        chats << c;
    }
    static const QString words = QStringLiteral(
        "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt ut labore et "
        "dolore magna aliqua ut enim ad minim veniam quis nostrud exercitation ullamco laboris nisi ut aliquip ");
    QList<_MsgMessage *> messages;
    messages.reserve(messageCount);
    for (int i = 0; i < messageCount; ++i) {
        auto *m = new _MsgMessage;
        m->rowid = i + 1;
        m->srcRowid = m->rowid;
        m->guid = QStringLiteral("B0000000-0000-0000-0000-%1").arg(i, 12, 10, QLatin1Char('0'));
        _MsgChat *c = chats[i % chatCount];
        const QList<_MsgHandle *> members = c->members.values();
        m->chat = c;
        m->is_from_me = i % 2;
        m->handle = m->is_from_me ? nullptr : members[(i / chatCount) % members.size()];
        m->handle_id = m->handle ? m->handle->rowid : 0;
        const int length = 20 + int(random.bounded(181));
        const int start = int(random.bounded(int(words.size()) - 1));
        m->text = QStringLiteral("%1 ").arg(i) + (words + words).mid(start, length);
        m->date = 400000000 + i;
        m->service = c->service_name;
        m->is_read = 1;
        m->is_sent = m->is_from_me;
        m->is_delivered = 1;
        m->is_finished = 1;
        c->messages.insert(m->rowid, m);
        store.messages.insert(m->rowid, m);
        messages << m;
    }
    return messages;
}

// Every pass starts with the pages of the one before on disk: left dirty,
// the kernel writes them back during the next pass and charges it for them,
// whichever side that happens to be.
void settleDisk()
{
    ::sync();
}

double writerPass(const QDir &dbDir, const QList<_MsgMessage *> &messages, int *prepared)
{
    settleDisk();
    QElapsedTimer timer;
    timer.start();
    ExportMessagesDb writer(dbDir, QString());
    writer.begin();
    for (const _MsgMessage *m : messages)
        writer.write(*m);
    writer.end();
    const double seconds = timer.nsecsElapsed() / 1e9;
    *prepared = writer.database().preparedCount();
    return seconds;
}

void check(int rc, sqlite3 *db, int expected = SQLITE_OK)
{
    if (rc != expected)
        throw std::runtime_error(sqlite3_errmsg(db));
}

void bindText(sqlite3_stmt *s, int i, const QByteArray &utf8)
{
    sqlite3_bind_text(s, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

// The same chats, handles, message rows and join rows, each inserted by one
// prepared statement in one transaction: what SQLite itself needs.
double floorPass(const QString &path, const _MsgStore &store, const QList<_MsgMessage *> &messages,
                 const std::vector<QByteArray> &hashes)
{
    QFile script(QStringLiteral(":/res/localmsgdb_ddl.sql"));
    if (!script.open(QIODevice::ReadOnly))
        throw std::runtime_error("no schema script");
    const QByteArray ddl = script.readAll();
    QFile::remove(path);

    settleDisk();
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    check(sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                          nullptr),
          db);
    check(sqlite3_exec(db, ddl.constData(), nullptr, nullptr, nullptr), db);
    // The same page cache as the writer's run.
    check(sqlite3_exec(db, "PRAGMA cache_size = -65536", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);

    sqlite3_stmt *handle = nullptr, *chat = nullptr, *chatHandle = nullptr, *message = nullptr, *join = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO handle (ROWID,id,country,service) VALUES (?,?,?,?)", -1, &handle,
                             nullptr),
          db);
    check(sqlite3_prepare_v2(db,
                             "INSERT INTO chat (ROWID,guid,style,state,chat_identifier,service_name,account_login,"
                             "is_archived,group_id) VALUES (?,?,?,?,?,?,?,?,?)",
                             -1, &chat, nullptr),
          db);
    check(sqlite3_prepare_v2(db, "INSERT INTO chat_handle_join (chat_id,handle_id) VALUES (?,?)", -1, &chatHandle,
                             nullptr),
          db);
    check(sqlite3_prepare_v2(
              db,
              "INSERT INTO message (guid,text,replace,handle_id,version,type,service,account,account_guid,error,"
              "date,date_read,date_delivered,is_delivered,is_finished,is_emote,is_from_me,is_empty,is_delayed,"
              "is_auto_reply,is_prepared,is_read,is_system_message,is_sent,has_dd_results,is_service_message,"
              "is_forward,was_downgraded,is_archive,cache_has_attachments,cache_roomnames,was_data_detected,"
              "was_deduplicated,is_audio_message,is_played,date_played,item_type,group_action_type,share_status,"
              "share_direction,is_expirable,expire_state,message_action_type,logic_hash) VALUES "
              "(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
              -1, &message, nullptr),
          db);
    check(sqlite3_prepare_v2(db, "INSERT INTO chat_message_join (chat_id,message_id) VALUES (?,?)", -1, &join,
                             nullptr),
          db);

    for (const _MsgHandle *h : store.handles) {
        sqlite3_bind_int64(handle, 1, h->rowid);
        bindText(handle, 2, h->id.toUtf8());
        bindText(handle, 3, h->country.toUtf8());
        bindText(handle, 4, h->service.toUtf8());
        check(sqlite3_step(handle), db, SQLITE_DONE);
        sqlite3_reset(handle);
    }
    for (const _MsgChat *c : store.chats) {
        sqlite3_bind_int64(chat, 1, c->rowid);
        bindText(chat, 2, c->guid.toUtf8());
        sqlite3_bind_int(chat, 3, c->style);
        sqlite3_bind_int(chat, 4, c->state);
        bindText(chat, 5, c->chat_identifier.toUtf8());
        bindText(chat, 6, c->service_name.toUtf8());
        bindText(chat, 7, c->account_login.toUtf8());
        sqlite3_bind_int(chat, 8, c->is_archived);
        bindText(chat, 9, guidFromMd5(c->guid.toUtf8()).toUtf8());
        check(sqlite3_step(chat), db, SQLITE_DONE);
        sqlite3_reset(chat);
        for (const _MsgHandle *h : c->members) {
            sqlite3_bind_int64(chatHandle, 1, c->rowid);
            sqlite3_bind_int64(chatHandle, 2, h->rowid);
            check(sqlite3_step(chatHandle), db, SQLITE_DONE);
            sqlite3_reset(chatHandle);
        }
    }
    for (int n = 0; n < messages.size(); ++n) {
        const _MsgMessage &m = *messages[n];
        int i = 0;
        bindText(message, ++i, m.guid.toUtf8());
        bindText(message, ++i, m.text.toUtf8());
        const _MsgMessageRare &rare = m.rare();
        sqlite3_bind_int(message, ++i, rare.replace);
        sqlite3_bind_int64(message, ++i, m.handle_id);
        sqlite3_bind_int(message, ++i, m.version);
        sqlite3_bind_int(message, ++i, m.type);
        bindText(message, ++i, m.service.toUtf8());
        bindText(message, ++i, m.account.toUtf8());
        bindText(message, ++i, m.account_guid.toUtf8());
        for (int v : {m.error, m.date, m.date_read, m.date_delivered, m.is_delivered, m.is_finished, rare.is_emote,
                      m.is_from_me, m.is_empty, rare.is_delayed, rare.is_auto_reply, m.is_prepared, m.is_read,
                      rare.is_system_message, m.is_sent, m.has_dd_results, rare.is_service_message, rare.is_forward,
                      rare.was_downgraded, rare.is_archive, m.cache_has_attachments})
            sqlite3_bind_int(message, ++i, v);
        bindText(message, ++i, m.cache_roomnames.toUtf8());
        for (int v : {m.was_data_detected, m.was_deduplicated, rare.is_audio_message, rare.is_played, rare.date_played,
                      m.item_type, rare.group_action_type, rare.share_status, rare.share_direction, rare.is_expirable,
                      rare.expire_state, rare.message_action_type})
            sqlite3_bind_int(message, ++i, v);
        bindText(message, ++i, hashes[size_t(n)]);
        check(sqlite3_step(message), db, SQLITE_DONE);
        sqlite3_reset(message);
        sqlite3_bind_int64(join, 1, m.chat->rowid);
        sqlite3_bind_int64(join, 2, sqlite3_last_insert_rowid(db));
        check(sqlite3_step(join), db, SQLITE_DONE);
        sqlite3_reset(join);
    }
    for (sqlite3_stmt *s : {handle, chat, chatHandle, message, join})
        sqlite3_finalize(s);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_close(db);
    return timer.nsecsElapsed() / 1e9;
}

qint64 messageRows(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db, "select count(*) from message", -1, &s, nullptr);
    const qint64 n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    useBenchHome(home);
    QCoreApplication app(argc, argv);

    const BenchSizes sizes = benchSizes(app.arguments());
    const int messageCount = sizes.messages;
    const int chatCount = sizes.chats;
    const int handleCount = sizes.handles;

    try {
        _MsgStore store;
        const QList<_MsgMessage *> messages = generate(store, messageCount, chatCount, handleCount);
        std::vector<QByteArray> hashes;
        hashes.reserve(size_t(messages.size()));
        for (const _MsgMessage *m : messages)
            hashes.push_back(calcLogicHash(*m).toLatin1());
        std::printf("%d messages in %d chats with %d handles\n", messageCount, chatCount, handleCount);

        QTemporaryDir work;
        double first = 1e9, again = 1e9, floor = 1e9;
        int prepared = 0;
        for (int round = 0; round < 3; ++round) {
            const QDir dbDir(work.path() + QStringLiteral("/db%1").arg(round));
            int preparedFirst = 0, preparedAgain = 0;
            first = qMin(first, writerPass(dbDir, messages, &preparedFirst));
            again = qMin(again, writerPass(dbDir, messages, &preparedAgain));
            prepared = qMax(preparedFirst, preparedAgain);
            const qint64 rows = messageRows(ExportMessagesDb(dbDir, QString()).database().filePath());
            if (rows != messageCount)
                throw std::runtime_error("the writer stored " + std::to_string(rows) + " messages");
            floor = qMin(floor, floorPass(work.path() + "/floor.db", store, messages, hashes));
            QDir(dbDir).removeRecursively();
        }
        std::printf("writer, new database:     %.3f s (best of 3)\n", first);
        std::printf("writer, all duplicates:   %.3f s (best of 3)\n", again);
        std::printf("plain prepared inserts:   %.3f s (best of 3)\n", floor);
        std::printf("writer per message:       %.2f us, floor %.2f us (within 1.5x of the writer's at 20000)\n",
                    first / messageCount * 1e6, floor / messageCount * 1e6);
        std::printf("first pass / floor:       %.2f (target at most 1.4)\n", first / floor);
        std::printf("duplicate pass / first:   %.2f (target at most 0.12)\n", again / first);
        std::printf("statements the writer prepared in one pass: %d\n", prepared);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "store_write_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
