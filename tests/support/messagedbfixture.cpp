#include "tests/support/messagedbfixture.h"

#include "tests/support/attributedbodyfixture.h"
#include "tests/support/sqlitefixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>
#include <QVariant>
#include <QVector>

#include <sqlite3.h>

#include <stdexcept>
#include <utility>

namespace testsupport {

namespace {

// ---- a bulk row writer --------------------------------------------------------
// Fixtures of hundreds of thousands of rows (the benchmark) need statements
// prepared once; SqliteFixture prepares every statement anew.

using Values = QVector<std::pair<const char *, QVariant>>;

class BulkWriter
{
public:
    explicit BulkWriter(const QString &path)
    {
        QFile::remove(path);
        QFile::remove(path + "-journal");
        QFile::remove(path + "-wal");
        QFile::remove(path + "-shm");
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            const QString text = QString::fromUtf8(sqlite3_errmsg(m_db));
            sqlite3_close(m_db);
            throw std::runtime_error(QString("open %1: %2").arg(path, text).toStdString());
        }
    }
    ~BulkWriter()
    {
        for (sqlite3_stmt *s : std::as_const(m_stmts))
            sqlite3_finalize(s);
        sqlite3_close(m_db);
    }
    BulkWriter(const BulkWriter &) = delete;
    BulkWriter &operator=(const BulkWriter &) = delete;

    void exec(const QString &script)
    {
        char *error = nullptr;
        if (sqlite3_exec(m_db, script.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
            const QString text = QString::fromUtf8(error);
            sqlite3_free(error);
            throw std::runtime_error(QString("%1: %2").arg(script.left(200), text).toStdString());
        }
    }

    // Inserts the values whose columns the table has; the others are dropped,
    // so one content fills every layout.
    void insert(const char *table, const Values &values)
    {
        const QSet<QString> &have = columnsOf(table);
        QStringList names;
        QVector<const QVariant *> bound;
        for (const auto &v : values) {
            if (have.contains(QString::fromLatin1(v.first))) {
                names << QString("\"%1\"").arg(QString::fromLatin1(v.first));
                bound << &v.second;
            }
        }
        QStringList marks;
        for (int i = 0; i < names.size(); ++i)
            marks << "?";
        const QString sql =
            QString("INSERT INTO %1 (%2) VALUES (%3)").arg(QString::fromLatin1(table), names.join(','), marks.join(','));
        sqlite3_stmt *stmt = statement(sql);
        for (int i = 0; i < bound.size(); ++i)
            bindValue(stmt, i + 1, *bound.at(i));
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        if (rc != SQLITE_DONE)
            fail(sql);
    }

private:
    [[noreturn]] void fail(const QString &what)
    {
        throw std::runtime_error(QString("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(m_db))).toStdString());
    }

    const QSet<QString> &columnsOf(const char *table)
    {
        const QString name = QString::fromLatin1(table);
        auto it = m_columns.find(name);
        if (it != m_columns.end())
            return *it;
        QSet<QString> columns;
        sqlite3_stmt *stmt = nullptr;
        const QByteArray sql = QString("PRAGMA table_info(\"%1\")").arg(name).toUtf8();
        if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK)
            fail(QString::fromUtf8(sql));
        while (sqlite3_step(stmt) == SQLITE_ROW)
            columns.insert(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1))));
        sqlite3_finalize(stmt);
        if (columns.isEmpty())
            throw std::runtime_error(QString("no table %1").arg(name).toStdString());
        return *m_columns.insert(name, columns);
    }

    sqlite3_stmt *statement(const QString &sql)
    {
        auto it = m_stmts.find(sql);
        if (it != m_stmts.end())
            return *it;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
            fail(sql);
        m_stmts.insert(sql, stmt);
        return stmt;
    }

    sqlite3 *m_db = nullptr;
    QHash<QString, sqlite3_stmt *> m_stmts;
    QHash<QString, QSet<QString>> m_columns;
};

// ---- the iOS 6 family of layouts --------------------------------------------

// The iOS 6 phone's message table, written as "name declaration".
const char kMessage38[] =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, replace INTEGER DEFAULT 0, "
    "service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, attributedBody BLOB, "
    "version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT, "
    "error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, "
    "is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, "
    "is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, "
    "is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
    "is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, "
    "is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, "
    "is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, "
    "was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0";
// The twelve columns later phones added.
const char kMessageLater[] =
    ", is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER, "
    "item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT -1, group_title TEXT, "
    "group_action_type INTEGER DEFAULT 0, share_status INTEGER, share_direction INTEGER, "
    "is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, message_action_type INTEGER DEFAULT 0";
const char kMessageUnknown[] =
    ", message_source INTEGER DEFAULT 0, associated_message_guid TEXT DEFAULT NULL, "
    "balloon_bundle_id TEXT DEFAULT NULL, payload_data BLOB, date_edited INTEGER DEFAULT 0, "
    "thread_originator_guid TEXT DEFAULT NULL, ck_sync_state INTEGER DEFAULT 0";

const char kChat13[] =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, state INTEGER, "
    "account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT, "
    "account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT";

const char kHandle5[] = "ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, "
                        "service TEXT NOT NULL, uncanonicalized_id TEXT";

const char kAttachment[] =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, created_date INTEGER DEFAULT 0, "
    "start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT, transfer_state INTEGER DEFAULT 0, "
    "is_outgoing INTEGER DEFAULT 0";
const char kAttachmentLater[] = ", user_info BLOB, transfer_name TEXT, total_bytes INTEGER DEFAULT 0";

const char kJoins[] =
    "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, handle_id INTEGER "
    "REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id));"
    "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, message_id "
    "INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, PRIMARY KEY (chat_id, message_id));"
    "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, "
    "attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id));"
    "CREATE INDEX message_idx_handle ON message(handle_id, date);"
    "CREATE INDEX chat_message_join_idx_message_id ON chat_message_join(message_id, chat_id);";

// The orphan and attachment-flag triggers every layout of the family has.
const char kTriggers[] =
    "CREATE TRIGGER clean_orphaned_handles2 AFTER DELETE ON message BEGIN DELETE FROM handle WHERE handle.ROWID = "
    "old.handle_id AND (SELECT 1 FROM chat_handle_join WHERE handle_id = old.handle_id LIMIT 1) IS NULL AND "
    "(SELECT 1 FROM message WHERE handle_id = old.handle_id LIMIT 1) IS NULL; END;"
    "CREATE TRIGGER clean_orphaned_handles AFTER DELETE ON chat_handle_join BEGIN DELETE FROM handle WHERE "
    "handle.ROWID = old.handle_id AND (SELECT 1 FROM chat_handle_join WHERE handle_id = old.handle_id LIMIT 1) IS "
    "NULL AND (SELECT 1 FROM message WHERE handle_id = old.handle_id LIMIT 1) IS NULL; END;"
    "CREATE TRIGGER clean_orphaned_attachments AFTER DELETE ON message_attachment_join BEGIN DELETE FROM "
    "attachment WHERE attachment.ROWID = old.attachment_id AND (SELECT 1 FROM message_attachment_join WHERE "
    "attachment_id = old.attachment_id LIMIT 1) IS NULL; END;"
    "CREATE TRIGGER set_message_has_attachments AFTER INSERT ON message_attachment_join BEGIN UPDATE message SET "
    "cache_has_attachments = 1 WHERE message.ROWID = new.message_id; END;"
    "CREATE TRIGGER clear_message_has_attachments AFTER DELETE ON message_attachment_join BEGIN UPDATE message "
    "SET cache_has_attachments = 0 WHERE message.ROWID = old.message_id AND (SELECT 1 FROM "
    "message_attachment_join WHERE message_id = old.message_id LIMIT 1) IS NULL; END;";

// Phones and older local databases sweep every unjoined message whenever a
// chat_message_join row goes; current local databases look only at the
// message of that row.
const char kSweepingOrphanTrigger[] =
    "CREATE TRIGGER clean_orphaned_messages AFTER DELETE ON chat_message_join BEGIN DELETE FROM message WHERE "
    "(SELECT 1 FROM chat_message_join WHERE message_id = message.ROWID LIMIT 1) IS NULL; END;";
const char kCurrentOrphanTrigger[] =
    "CREATE TRIGGER clean_orphaned_messages AFTER DELETE ON chat_message_join BEGIN DELETE FROM message WHERE "
    "message.ROWID = old.message_id AND (SELECT 1 FROM chat_message_join WHERE message_id = old.message_id LIMIT "
    "1) IS NULL; END;";

// Phones tell their own file store about attachments that go.
const char kPhoneAttachmentTriggers[] =
    "CREATE TRIGGER before_delete_on_attachment BEFORE DELETE ON attachment BEGIN SELECT "
    "before_delete_attachment_path(OLD.ROWID, OLD.guid); END;"
    "CREATE TRIGGER after_delete_on_attachment AFTER DELETE ON attachment BEGIN SELECT "
    "delete_attachment_path(OLD.filename); END;";

const char kLaterExtras[] =
    "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
    "CREATE TABLE deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL);"
    "CREATE TABLE kvtable (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, key TEXT UNIQUE NOT NULL, value BLOB "
    "NOT NULL);"
    "CREATE TABLE sync_deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, "
    "recordID TEXT);"
    "CREATE TABLE chat_recoverable_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
    "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, delete_date INTEGER, PRIMARY KEY (chat_id, "
    "message_id));"
    "CREATE INDEX message_idx_associated_message ON message(associated_message_guid);"
    "INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '17100');"
    "INSERT INTO kvtable (key, value) VALUES ('lastSyncedMessageRowID', x'00');";

// The one column the 51-column phone has after the twelve later ones.
const char kMessageSource[] = ", message_source INTEGER DEFAULT 0";

QString schemaOf(MsgDbLayout layout)
{
    const bool local = layout == MsgDbLayout::OldLocal || layout == MsgDbLayout::Local;
    const bool later = layout == MsgDbLayout::LaterPhone || layout == MsgDbLayout::Local ||
                       layout == MsgDbLayout::Ios6Phone51;

    QString message = QString::fromLatin1(kMessage38);
    if (later)
        message += QString::fromLatin1(kMessageLater);
    if (layout == MsgDbLayout::LaterPhone)
        message += QString::fromLatin1(kMessageUnknown);
    if (layout == MsgDbLayout::Ios6Phone51)
        message += QString::fromLatin1(kMessageSource);
    if (layout == MsgDbLayout::Local)
        message += ", logic_hash TEXT";

    QString chat = QString::fromLatin1(kChat13);
    if (later)
        chat += ", group_id TEXT";
    if (layout == MsgDbLayout::LaterPhone)
        chat += ", is_filtered INTEGER DEFAULT 0, successful_query INTEGER DEFAULT 1, engram_id TEXT DEFAULT NULL";
    if (local)
        chat += ", _last INTEGER DEFAULT 0";

    QString handle = QString::fromLatin1(kHandle5);
    if (layout == MsgDbLayout::LaterPhone)
        handle += ", person_centric_id TEXT DEFAULT NULL";
    if (local)
        handle += ", _ct_name TEXT, _photo BLOB";
    handle += ", UNIQUE (id, service)";

    QString attachment = QString::fromLatin1(kAttachment);
    if (layout != MsgDbLayout::Ios6Phone)
        attachment += QString::fromLatin1(kAttachmentLater);
    if (layout == MsgDbLayout::LaterPhone)
        attachment += ", is_sticker INTEGER DEFAULT 0, hide_attachment INTEGER DEFAULT 0";

    QString sql = QString("CREATE TABLE message (%1);CREATE TABLE handle (%2);CREATE TABLE chat (%3);"
                          "CREATE TABLE attachment (%4);")
                      .arg(message, handle, chat, attachment);
    sql += QString::fromLatin1(kJoins);
    sql += QString::fromLatin1(kTriggers);
    sql += QString::fromLatin1(layout == MsgDbLayout::Local ? kCurrentOrphanTrigger : kSweepingOrphanTrigger);
    if (local) {
        sql += "CREATE INDEX chat_idx_last ON chat(_last);";
        sql += "CREATE INDEX chat_idx_identifier ON chat(chat_identifier);";
    } else {
        sql += QString::fromLatin1(kPhoneAttachmentTriggers);
    }
    if (layout == MsgDbLayout::Local)
        sql += "CREATE INDEX message_idx_logic_hash ON message(logic_hash);";
    if (layout == MsgDbLayout::LaterPhone)
        sql += QString::fromLatin1(kLaterExtras);
    return sql;
}

QVariant textOrNull(const QString &s)
{
    return s.isEmpty() ? QVariant() : QVariant(s);
}

QVariant bytesOrNull(const QByteArray &b)
{
    return b.isEmpty() ? QVariant() : QVariant(b);
}

// A small deterministic generator, so that contents and benchmarks repeat.
class Random
{
public:
    explicit Random(quint32 seed) : m_state(seed ? seed : 1) {}
    quint32 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    int between(int low, int high) { return low + int(next() % quint32(high - low + 1)); }

private:
    quint32 m_state;
};

QString fixtureGuid(const char *kind, qint64 n)
{
    const QString digits = QString("%1").arg(n, 12, 10, QLatin1Char('0'));
    return QString("%1-0000-4000-8000-%2").arg(QString::fromLatin1(kind), digits);
}

} // namespace

QString messageDbPath(const QString &cacheDir)
{
    return QDir(cacheDir).absoluteFilePath("file-relay/var/mobile/Library/SMS/sms.db");
}

QByteArray writeAheadLogOf(MsgDbLayout layout, const MsgFixtureContent &content)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        throw std::runtime_error("writeAheadLogOf: no temporary folder");
    const QString path = writeMsgDbFile(dir.filePath("wal.db"), layout, content);
    // Read while the connection is open: the last close checkpoints the log
    // into the file and deletes it. VACUUM in log mode rewrites every page.
    SqliteFixture db(path);
    db.exec("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; VACUUM;");
    QFile log(path + "-wal");
    if (!log.open(QIODevice::ReadOnly))
        throw std::runtime_error("writeAheadLogOf: no log was written");
    return log.readAll();
}

QString ios6Phone51MessageTableSql()
{
    return QString("CREATE TABLE message (%1%2%3)")
        .arg(QString::fromLatin1(kMessage38), QString::fromLatin1(kMessageLater), QString::fromLatin1(kMessageSource));
}

QString ios6PhoneTableSql(const QString &table)
{
    if (table == QLatin1String("handle"))
        return QString("CREATE TABLE handle (%1, UNIQUE (id, service))").arg(QString::fromLatin1(kHandle5));
    if (table == QLatin1String("message"))
        return QString("CREATE TABLE message (%1)").arg(QString::fromLatin1(kMessage38));
    throw std::runtime_error(QString("no fixture table %1").arg(table).toStdString());
}

QStringList laterPhoneExtraTables()
{
    return {"_SqliteDatabaseProperties", "deleted_messages", "kvtable", "sync_deleted_messages",
            "chat_recoverable_message_join"};
}

MsgFixtureContent generateMsgContent(int chatCount, int messageCount, int handleCount, int attachmentEvery,
                                     quint32 seed)
{
    MsgFixtureContent content;
    Random random(seed);
    handleCount = qMax(handleCount, 1);

    for (int i = 1; i <= handleCount; ++i) {
        MsgFixtureHandle h;
        h.rowid = i;
        switch (i % 3) {
        case 1:
            h.id = QString("+49170%1").arg(1000000 + i);
            h.country = "de";
            break;
        case 2:
            h.id = QString("09%1").arg(800000000 + i);
            h.country = "in";
            break;
        default:
            h.id = QString("user%1@example.com").arg(i);
            h.service = "iMessage";
            break;
        }
        h.uncanonicalizedId = h.id;
        content.handles.append(h);
    }

    for (int i = 1; i <= chatCount; ++i) {
        MsgFixtureChat c;
        c.rowid = i;
        const int first = (i - 1) % handleCount;
        const MsgFixtureHandle &h = content.handles.at(first);
        c.service = h.service;
        c.accountLogin = h.service == "SMS" ? "E:" : "E:me@example.com";
        if (i % 5 == 0 && handleCount >= 3) {
            c.style = 43;
            c.identifier = QString("chat%1").arg(100000000000000000LL + i);
            c.guid = QString("%1;+;%2").arg(c.service, c.identifier);
            c.roomName = c.identifier;
            for (int k = 0; k < 3; ++k)
                c.handles.append(content.handles.at((first + k) % handleCount).rowid);
        } else {
            c.identifier = h.id;
            c.guid = QString("%1;-;%2").arg(c.service, h.id);
            // Two chats of one handle would share a guid; the second is the other service.
            if (i > handleCount)
                c.guid += QString("#%1").arg(i);
            c.handles.append(h.rowid);
        }
        content.chats.append(c);
    }

    // Texts are cut out of one long string, so they cost no generation time.
    QString pool;
    const QString words = "the quick brown fox jumps over a lazy dog, pack my box with five dozen liquor jugs. ";
    while (pool.size() < 400)
        pool += words;

    const int baseDate = 600000000; // 2020-01-06
    for (int i = 1; i <= messageCount && chatCount > 0; ++i) {
        MsgFixtureMessage m;
        m.rowid = i;
        m.guid = fixtureGuid("5EED0001", i);
        const MsgFixtureChat &chat = content.chats.at((i - 1) % chatCount);
        m.chats.append(chat.rowid);
        m.service = chat.service;
        m.account = chat.service == "SMS" ? "e:" : "e:me@example.com";
        m.isFromMe = i % 2 == 0 ? 1 : 0;
        m.handleId = m.isFromMe ? 0 : chat.handles.at(i % chat.handles.size());
        m.date = baseDate + i * 37;
        m.dateRead = m.date + 5;
        m.dateDelivered = m.isFromMe ? m.date + 1 : 0;
        m.isSent = m.isFromMe;
        m.text = pool.mid(random.between(0, 150), random.between(20, 200));
        if (chat.style == 43)
            m.cacheRoomnames = chat.roomName;
        if (attachmentEvery > 0 && i % attachmentEvery == 0) {
            MsgFixtureAttachment a;
            a.rowid = content.attachments.size() + 1;
            a.guid = fixtureGuid("A77AC400", a.rowid);
            a.createdDate = m.date;
            a.filename = QString("~/Library/SMS/Attachments/%1/IMG_%2.JPG").arg(a.rowid % 100, 2, 10, QLatin1Char('0')).arg(a.rowid);
            a.uti = "public.jpeg";
            a.mimeType = "image/jpeg";
            a.transferName = QString("IMG_%1.JPG").arg(a.rowid);
            a.totalBytes = 1000 + a.rowid;
            a.isOutgoing = m.isFromMe;
            content.attachments.append(a);
            m.attachments.append(a.rowid);
            m.text = QString(QChar(0xFFFC)) + m.text;
        }
        content.messages.append(m);
    }
    return content;
}

QString writeMsgDb(const QString &cacheDir, MsgDbLayout layout, const MsgFixtureContent &content, int pageSize)
{
    return writeMsgDbFile(messageDbPath(cacheDir), layout, content, pageSize);
}

QString writeMsgDbFile(const QString &path, MsgDbLayout layout, const MsgFixtureContent &content, int pageSize)
{
    BulkWriter w(path);
    if (pageSize > 0)
        w.exec(QString("PRAGMA page_size=%1;").arg(pageSize));
    w.exec("PRAGMA auto_vacuum=NONE;");
    w.exec(schemaOf(layout));
    w.exec("BEGIN");
    for (const MsgFixtureHandle &h : content.handles) {
        w.insert("handle", {{"ROWID", h.rowid},
                            {"id", h.id},
                            {"country", textOrNull(h.country)},
                            {"service", h.service},
                            {"uncanonicalized_id", textOrNull(h.uncanonicalizedId)},
                            {"_ct_name", textOrNull(h.ctName)},
                            {"_photo", bytesOrNull(h.photo)}});
    }
    for (const MsgFixtureChat &c : content.chats) {
        w.insert("chat", {{"ROWID", c.rowid},
                          {"guid", c.guid},
                          {"style", c.style},
                          {"state", c.state},
                          {"account_id", textOrNull(c.accountId)},
                          {"properties", bytesOrNull(c.properties)},
                          {"chat_identifier", c.identifier},
                          {"service_name", c.service.isNull() ? QVariant() : QVariant(c.service)},
                          {"room_name", textOrNull(c.roomName)},
                          {"account_login", c.accountLogin},
                          {"is_archived", c.isArchived},
                          {"last_addressed_handle", textOrNull(c.lastAddressedHandle)},
                          {"display_name", textOrNull(c.displayName)},
                          {"group_id", textOrNull(c.groupId)},
                          {"_last", c.last}});
        for (qint64 h : c.handles)
            w.insert("chat_handle_join", {{"chat_id", c.rowid}, {"handle_id", h}});
    }
    for (const MsgFixtureAttachment &a : content.attachments) {
        w.insert("attachment", {{"ROWID", a.rowid},
                                {"guid", a.guid},
                                {"created_date", a.createdDate},
                                {"start_date", a.createdDate},
                                {"filename", a.filename},
                                {"uti", a.uti},
                                {"mime_type", a.mimeType},
                                {"transfer_state", a.transferState},
                                {"is_outgoing", a.isOutgoing},
                                {"transfer_name", a.transferName},
                                {"total_bytes", a.totalBytes}});
    }
    const bool laterPhone = layout == MsgDbLayout::LaterPhone;
    // Later phones count dates in nanoseconds since 2001.
    auto date = [laterPhone](int seconds) { return laterPhone ? qint64(seconds) * 1000000000 : qint64(seconds); };
    for (const MsgFixtureMessage &m : content.messages) {
        QString text = m.text;
        QByteArray body = m.attributedBody;
        if (laterPhone && body.isEmpty() && !text.isEmpty()) {
            body = attributedBodyArchive(text);
            if (m.rowid % 2 == 0)
                text = QString();
        }
        w.insert("message", {{"ROWID", m.rowid},
                             {"guid", m.guid},
                             {"text", text},
                             {"replace", 0},
                             {"handle_id", m.handleId},
                             {"subject", textOrNull(m.subject)},
                             {"country", textOrNull(m.country)},
                             {"attributedBody", bytesOrNull(body)},
                             {"version", m.version},
                             {"type", 0},
                             {"service", m.service},
                             {"account", textOrNull(m.account)},
                             {"account_guid", textOrNull(m.accountGuid)},
                             {"error", 0},
                             {"date", date(m.date)},
                             {"date_read", date(m.dateRead)},
                             {"date_delivered", date(m.dateDelivered)},
                             {"is_delivered", m.isDelivered},
                             {"is_finished", m.isFinished},
                             {"is_from_me", m.isFromMe},
                             {"is_read", m.isRead},
                             {"is_sent", m.isSent},
                             {"cache_roomnames", textOrNull(m.cacheRoomnames)},
                             {"is_audio_message", m.isAudioMessage},
                             {"date_played", date(m.datePlayed)},
                             {"item_type", m.itemType},
                             {"other_handle", m.otherHandle},
                             {"group_title", textOrNull(m.groupTitle)},
                             {"group_action_type", m.groupActionType},
                             {"logic_hash", textOrNull(m.logicHash)}});
        for (qint64 c : m.chats)
            w.insert("chat_message_join", {{"chat_id", c}, {"message_id", m.rowid}});
        for (qint64 a : m.attachments)
            w.insert("message_attachment_join", {{"message_id", m.rowid}, {"attachment_id", a}});
        if (laterPhone) {
            for (qint64 c : m.recoverableIn)
                w.insert("chat_recoverable_message_join",
                         {{"chat_id", c}, {"message_id", m.rowid}, {"delete_date", date(m.date + 86400)}});
        }
    }
    w.exec("COMMIT");
    return path;
}

// ---- iOS 5 ---------------------------------------------------------------------

namespace {

const char kIos5Message[] =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT, flags INTEGER, "
    "replace INTEGER, svc_center TEXT, group_id INTEGER, association_id INTEGER, height INTEGER, "
    "UIFlags INTEGER, version INTEGER, subject TEXT, country TEXT, headers BLOB, recipients BLOB, read INTEGER";
// The madrid_ columns in the order of the phones whose rows the recovery
// carves; madrid_account_guid comes last and is cut in the 32-column set.
const char kIos5MessagePhoneMadrid[] =
    ", madrid_attributedBody BLOB, madrid_handle TEXT, madrid_version INTEGER, madrid_guid TEXT, "
    "madrid_type INTEGER, madrid_roomname TEXT, madrid_service TEXT, madrid_account TEXT, "
    "madrid_flags INTEGER, madrid_attachmentInfo BLOB, madrid_url TEXT, madrid_error INTEGER, "
    "is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered INTEGER";
const char kIos5MessageAccountGuid[] = ", madrid_account_guid TEXT";
const char kIos5MessageMadrid[] =
    ", madrid_attributedBody BLOB, madrid_handle TEXT, madrid_version INTEGER, madrid_guid TEXT, "
    "madrid_type INTEGER, madrid_roomname TEXT, madrid_service TEXT, madrid_account TEXT, "
    "madrid_account_guid TEXT, madrid_protocol_version INTEGER, madrid_flags INTEGER, madrid_error INTEGER, "
    "is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered INTEGER";

const char kIos5Tables[] =
    "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
    "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, newest_message INTEGER, "
    "unread_count INTEGER, hash INTEGER);"
    "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, address TEXT, "
    "country TEXT);"
    "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER, data BLOB, part_id "
    "INTEGER, preview_part INTEGER, content_type TEXT, height INTEGER, version INTEGER, flags INTEGER, "
    "content_id TEXT, content_loc TEXT, headers BLOB);"
    "CREATE INDEX message_group_index ON message(group_id, ROWID);"
    "CREATE INDEX message_flags_index ON message(flags);"
    // The phone counts unread messages with a function of its own.
    "CREATE TRIGGER update_unread_count AFTER UPDATE OF flags ON message BEGIN UPDATE msg_group SET "
    "unread_count = (SELECT count(*) FROM message WHERE group_id = new.group_id AND NOT read(flags)) "
    "WHERE ROWID = new.group_id; END;";

const char kIos5Madrid[] =
    "CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, style INTEGER, state INTEGER, "
    "account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, guid TEXT, room_name TEXT, "
    "account_login TEXT, participants BLOB, last_read_message_timestamp INTEGER, last_sent_madrid_message "
    "INTEGER, is_filtered INTEGER);"
    "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, attachment_guid TEXT, created_date "
    "INTEGER, start_date INTEGER, filename TEXT, uti_type TEXT, mime_type TEXT, transfer_state INTEGER, "
    "is_incoming INTEGER, message_id INTEGER);";

void appendBigEndian(QByteArray &out, quint64 value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xff));
}

int bytesFor(quint64 value)
{
    return value < 0x100 ? 1 : value < 0x10000 ? 2 : 4;
}

// An object marker with its count: small counts go into the marker, larger
// ones follow as an integer object.
void appendMarker(QByteArray &out, int kind, quint64 count)
{
    if (count < 15) {
        out.append(char(kind | int(count)));
        return;
    }
    out.append(char(kind | 0x0f));
    const int bytes = bytesFor(count);
    out.append(char(0x10 | (bytes == 1 ? 0 : bytes == 2 ? 1 : 2)));
    appendBigEndian(out, count, bytes);
}

} // namespace

QByteArray plistStringArray(const QStringList &values, bool binary)
{
    if (!binary) {
        QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                         "<plist version=\"1.0\">\n<array>\n";
        for (const QString &v : values)
            xml += "\t<string>" + v.toHtmlEscaped().toUtf8() + "</string>\n";
        xml += "</array>\n</plist>\n";
        return xml;
    }
    const quint64 objects = quint64(values.size()) + 1;
    const int refSize = bytesFor(objects);
    QByteArray out = "bplist00";
    QList<quint64> offsets;
    offsets.append(quint64(out.size()));
    appendMarker(out, 0xa0, quint64(values.size()));
    for (int i = 0; i < values.size(); ++i)
        appendBigEndian(out, quint64(i) + 1, refSize);
    for (const QString &v : values) {
        offsets.append(quint64(out.size()));
        bool ascii = true;
        for (QChar c : v)
            ascii = ascii && c.unicode() < 0x80;
        if (ascii) {
            appendMarker(out, 0x50, quint64(v.size()));
            out += v.toLatin1();
        } else {
            appendMarker(out, 0x60, quint64(v.size()));
            for (QChar c : v)
                appendBigEndian(out, c.unicode(), 2);
        }
    }
    const quint64 tableOffset = quint64(out.size());
    const int offsetSize = bytesFor(tableOffset);
    for (quint64 offset : std::as_const(offsets))
        appendBigEndian(out, offset, offsetSize);
    out.append(QByteArray(6, '\0'));
    out.append(char(offsetSize));
    out.append(char(refSize));
    appendBigEndian(out, objects, 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, tableOffset, 8);
    return out;
}

QString writeIos5MessageDb(const QString &cacheDir, const Ios5Content &content)
{
    const QString path = messageDbPath(cacheDir);
    BulkWriter w(path);
    if (content.pageSize > 0)
        w.exec(QString("PRAGMA page_size=%1;").arg(content.pageSize));
    w.exec("PRAGMA auto_vacuum=NONE;");
    const bool classic = content.layout == Ios5Layout::Classic;
    const bool withIMessage = content.withIMessage && content.layout != Ios5Layout::Phone17;
    QString message = QString::fromLatin1(kIos5Message);
    if (withIMessage)
        message += QString::fromLatin1(classic ? kIos5MessageMadrid : kIos5MessagePhoneMadrid);
    if (withIMessage && content.layout == Ios5Layout::Phone33)
        message += QString::fromLatin1(kIos5MessageAccountGuid);
    QString schema = QString("CREATE TABLE message (%1);").arg(message) + QString::fromLatin1(kIos5Tables);
    if (withIMessage)
        schema += QString::fromLatin1(kIos5Madrid);
    w.exec(schema);
    w.exec("BEGIN");
    for (const Ios5Group &g : content.groups) {
        w.insert("msg_group", {{"ROWID", g.rowid}, {"type", 0}, {"newest_message", g.newestMessage},
                               {"unread_count", 0}, {"hash", g.hash}});
        for (const Ios5Member &m : g.members) {
            w.insert("group_member",
                     {{"ROWID", m.rowid}, {"group_id", g.rowid}, {"address", m.address}, {"country", m.country}});
        }
    }
    for (const Ios5MadridChat &c : content.madridChats) {
        w.insert("madrid_chat", {{"ROWID", c.rowid},
                                 {"style", c.style},
                                 {"state", c.state},
                                 {"account_id", textOrNull(c.accountId)},
                                 {"chat_identifier", c.identifier},
                                 {"service_name", "Madrid"},
                                 {"guid", QString("iMessage;%1;%2").arg(c.style == 43 ? "+" : "-", c.identifier)},
                                 {"account_login", textOrNull(c.accountLogin)},
                                 {"participants", bytesOrNull(c.participants)}});
    }
    for (const Ios5Message &m : content.messages) {
        // Phones leave the madrid_ numbers of an SMS row NULL.
        auto madridNumber = [&](int value) { return classic || m.isMadrid ? QVariant(value) : QVariant(); };
        QVariant service;
        if (m.isMadrid)
            service = classic ? QString("iMessage") : m.madridService.isEmpty() ? QString("Madrid") : m.madridService;
        const int isMadrid = !classic && m.isMadridStored >= 0 ? m.isMadridStored : m.isMadrid ? 1 : 0;
        w.insert("message", {{"ROWID", m.rowid},
                             {"address", textOrNull(m.address)},
                             {"date", m.date},
                             {"text", m.text},
                             {"flags", m.flags},
                             {"replace", 0},
                             {"svc_center", textOrNull(m.svcCenter)},
                             {"group_id", m.groupId},
                             {"UIFlags", m.uiFlags},
                             {"version", 0},
                             {"subject", textOrNull(m.subject)},
                             {"country", textOrNull(m.country)},
                             {"read", m.read},
                             {"madrid_attributedBody", bytesOrNull(m.attributedBody)},
                             {"madrid_handle", textOrNull(m.madridHandle)},
                             {"madrid_guid", textOrNull(m.madridGuid)},
                             {"madrid_roomname", textOrNull(m.madridRoomname)},
                             {"madrid_service", service},
                             {"madrid_account", textOrNull(m.madridAccount)},
                             {"madrid_account_guid", textOrNull(m.madridAccountGuid)},
                             {"madrid_error", madridNumber(m.madridError)},
                             {"is_madrid", isMadrid},
                             {"madrid_date_read", madridNumber(m.madridDateRead)},
                             {"madrid_date_delivered", madridNumber(m.madridDateDelivered)}});
    }
    w.exec("COMMIT");
    return path;
}

} // namespace testsupport
