#include "store/exportmessagesdb.h"

#include "store/attributedbodysource.h"
#include "store/ioscontactsmemdb.h"
#include "store/messagerecycledb.h"
#include "store/msgtext.h"

#include "app/durablefile.h"

#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3exception.h"
#include "platform/sqlite_qt/sqlite3sql.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include <sqlite3.h>

namespace {

// The page cache of a run, in KiB: large runs keep the indexes of guid and
// logic hash in memory instead of reading them back from the file for every
// message, and the cap keeps a run of millions of messages from taking the
// machine's memory. SQLite takes the pages only as it needs them.
constexpr int kRunCacheKiB = 64 * 1024;

// Steps through every row of sql, handing each to row. Throws
// Sqlite3Exception like the rest of the database code.
template<class Row>
void forEachRow(sqlite3 *db, const char *sql, Row &&row)
{
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
            row(stmt);
    }
    if (rc != SQLITE_DONE) {
        const QString reason = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_finalize(stmt);
        throw Sqlite3Exception(QStringLiteral("%1 (SQLite code %2) in SQL: %3").arg(reason).arg(rc).arg(QLatin1String(sql)),
                               rc);
    }
    sqlite3_finalize(stmt);
}

QString columnText(sqlite3_stmt *stmt, int i)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, i));
    if (!text)
        return QString();
    return QString::fromUtf8(text, sqlite3_column_bytes(stmt, i));
}

int hexDigit(unsigned u)
{
    if (u >= '0' && u <= '9')
        return int(u - '0');
    if (u >= 'a' && u <= 'f')
        return int(u - 'a' + 10);
    return -1; // upper case too: the lookup compares the text exactly
}

int hexDigit(char c)
{
    return hexDigit(unsigned(static_cast<unsigned char>(c)));
}

bool parseMd5(const char *text, qsizetype size, quint64 *high, quint64 *low)
{
    if (size != 32)
        return false;
    quint64 half[2] = {0, 0};
    for (int i = 0; i < 32; ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0)
            return false;
        half[i / 16] = (half[i / 16] << 4) | quint64(d);
    }
    *high = half[0];
    *low = half[1];
    return true;
}

// Of the guid's UTF-8 bytes, as the file keeps them.
quint64 guidDigest(QByteArrayView utf8)
{
    return quint64(qHash(utf8, size_t(0x9e3779b97f4a7c15ULL)));
}

quint64 guidDigest(const QString &guid)
{
    return guidDigest(QByteArrayView(guid.toUtf8()));
}

} // namespace

ExportMessagesDb::ExportMessagesDb(const QDir &dbDir, const QString &mcc, bool upgradeSchema)
    : db(dbDir, mcc, upgradeSchema),
      fileRelay(attachmentFolder(dbDir))
{
}

ExportMessagesDb::~ExportMessagesDb() = default;

void ExportMessagesDb::begin()
{
    written = 0;
    leftOut = 0;
    unwritableChats.clear();
    clearRunState();
    db.open();
    db.executeThrow(Sqlite3Sql(QStringLiteral("PRAGMA cache_size = -%1").arg(kRunCacheKiB)));
    // Each new chat goes in under a savepoint, whose copies of the pages it
    // touches would otherwise go to a temporary file once they outgrow
    // SQLite's small buffer, and from then on with a write call per page:
    // the run's small statements never need more than a few pages of it.
    db.executeThrow(Sqlite3Sql(QStringLiteral("PRAGMA temp_store = MEMORY")));
    db.beginTransaction();
    try {
        readRunState();
    } catch (...) {
        abort();
        throw;
    }
}

void ExportMessagesDb::end()
{
    try {
        flushChatUpdates();
        db.endTransaction(true);
    } catch (...) {
        clearRunState();
        db.endTransaction(false);
        db.close();
        throw;
    }
    clearRunState();
    db.close();
}

void ExportMessagesDb::abort() noexcept
{
    clearRunState();
    // The connection's close rolls back whatever transaction is still open;
    // ending the marked one first keeps the object's own flag honest.
    try {
        db.endTransaction(false);
    } catch (...) {
    }
    db.close();
}

void ExportMessagesDb::DigestRows::clear()
{
    // Freed, not kept: the table of a large run is tens of megabytes.
    std::vector<Slot>().swap(cells);
    used = 0;
    mask = 0;
}

void ExportMessagesDb::DigestRows::reserve(qsizetype count)
{
    // At most three quarters full, where linear probing still finds a key
    // within a slot or two of its first.
    size_t capacity = 16;
    while (capacity / 4 * 3 < size_t(qMax<qsizetype>(count, 0)))
        capacity *= 2;
    if (capacity > cells.size())
        grow(capacity);
}

size_t ExportMessagesDb::DigestRows::home(const Md5Key &key) const
{
    // Mixed with the process's seed: a file's logic_hash column is text any
    // writer could have chosen, and keys alike in their high bits must not
    // fall on one run of slots.
    quint64 h = (key.high ^ quint64(seed)) * 0x9e3779b97f4a7c15ULL;
    h ^= h >> 29;
    h += key.low;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 32;
    return size_t(h) & mask;
}

ExportMessagesDb::DigestRows::Slot &ExportMessagesDb::DigestRows::slotOf(const Md5Key &key)
{
    for (size_t i = home(key);; i = (i + 1) & mask) {
        Slot &slot = cells[i];
        if (slot.rowid == 0 || (slot.high == key.high && slot.low == key.low))
            return slot;
    }
}

void ExportMessagesDb::DigestRows::grow(size_t capacity)
{
    std::vector<Slot> old;
    old.swap(cells);
    cells.assign(capacity, Slot{0, 0, 0});
    mask = capacity - 1;
    if (old.empty())
        seed = QHashSeed::globalSeed();
    for (const Slot &slot : old) {
        if (slot.rowid != 0)
            slotOf(Md5Key{slot.high, slot.low}) = slot;
    }
}

qint64 ExportMessagesDb::DigestRows::value(const Md5Key &key) const
{
    if (cells.empty())
        return 0;
    for (size_t i = home(key);; i = (i + 1) & mask) {
        const Slot &slot = cells[i];
        if (slot.rowid == 0 || (slot.high == key.high && slot.low == key.low))
            return slot.rowid;
    }
}

ExportMessagesDb::DigestRows::Slot *ExportMessagesDb::DigestRows::taken(const Md5Key &key, qint64 rowid)
{
    if ((used + 1) * 4 > cells.size() * 3)
        grow(qMax<size_t>(16, cells.size() * 2));
    Slot &slot = slotOf(key);
    if (slot.rowid != 0)
        return &slot;
    slot = Slot{key.high, key.low, rowid};
    ++used;
    return nullptr;
}

void ExportMessagesDb::DigestRows::keepSmallest(const Md5Key &key, qint64 rowid)
{
    if (rowid == 0)
        return; // a free slot already reads as absent
    if (Slot *slot = taken(key, rowid); slot && rowid < slot->rowid)
        slot->rowid = rowid;
}

void ExportMessagesDb::DigestRows::insertNew(const Md5Key &key, qint64 rowid)
{
    if (rowid != 0)
        taken(key, rowid);
}

void ExportMessagesDb::DigestRows::prefetch(const Md5Key &key) const
{
    if (!cells.empty())
        __builtin_prefetch(&cells[home(key)]);
}

void ExportMessagesDb::clearRunState()
{
    chatsSeen.clear();
    handlesSeen.clear();
    chatRows.clear();
    handleRows.clear();
    chatHandles.clear();
    hashRows.clear();
    guidDigests.clear();
    guidsRead = false;
    chatLast.clear();
    lastAddressed.clear();
    logicHashes = false;
}

void ExportMessagesDb::readRunState()
{
    sqlite3 *h = db.handle();
    logicHashes = db.hasLogicHash();
    // In rowid order where several rows may share a key: the first row wins,
    // as it does for the look-ups these stand in for.
    forEachRow(h, "select rowid, guid from chat where typeof(guid) = 'text' order by rowid", [this](sqlite3_stmt *s) {
        const QString guid = columnText(s, 1);
        if (!chatRows.contains(guid))
            chatRows.insert(guid, sqlite3_column_int64(s, 0));
    });
    forEachRow(h, "select rowid, id, service from handle where typeof(id) = 'text' and typeof(service) = 'text' "
                  "order by rowid",
               [this](sqlite3_stmt *s) {
                   const QPair<QString, QString> key(columnText(s, 1), columnText(s, 2));
                   if (!handleRows.contains(key))
                       handleRows.insert(key, sqlite3_column_int64(s, 0));
               });
    forEachRow(h, "select chat_id, handle_id from chat_handle_join", [this](sqlite3_stmt *s) {
        chatHandles.insert(qMakePair(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1)));
    });
    // In any order (SQLite may read an index of the column alone): the
    // smallest rowid of a hash wins.
    if (logicHashes) {
        forEachRow(h, "select count(*) from message",
                   [this](sqlite3_stmt *s) { hashRows.reserve(qsizetype(sqlite3_column_int64(s, 0))); });
        // Each key's slot is asked for a few rows ahead of its insert, so
        // that the inserts do not wait on memory one after the other.
        struct Pending
        {
            Md5Key key;
            qint64 rowid;
        };
        constexpr int kAhead = 16;
        Pending pending[kAhead];
        int waiting = 0;
        const auto insertPending = [&]() {
            for (int i = 0; i < waiting; ++i)
                hashRows.keepSmallest(pending[i].key, pending[i].rowid);
            waiting = 0;
        };
        forEachRow(h, "select rowid, logic_hash from message where typeof(logic_hash) = 'text'",
                   [&](sqlite3_stmt *s) {
                       const qint64 rowid = sqlite3_column_int64(s, 0);
                       const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 1));
                       const int size = sqlite3_column_bytes(s, 1);
                       // Any other text (upper case, another length) is
                       // never what calcLogicHash writes, so never found.
                       Md5Key key;
                       if (!parseMd5(text, size, &key.high, &key.low))
                           return;
                       hashRows.prefetch(key);
                       pending[waiting++] = Pending{key, rowid};
                       if (waiting == kAhead)
                           insertPending();
                   });
        insertPending();
    }
}

void ExportMessagesDb::readGuids()
{
    // Read at the first message its logic hash does not find: a run of
    // messages the database holds already never needs them.
    guidsRead = true;
    forEachRow(db.handle(), "select guid from message where typeof(guid) = 'text'", [this](sqlite3_stmt *s) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
        guidDigests.insert(guidDigest(QByteArrayView(text, sqlite3_column_bytes(s, 0))));
    });
}

qint64 ExportMessagesDb::messageRowidByGuid(const QString &guid)
{
    // The digest tells a guid the database surely lacks; a digest shared
    // with another guid costs only the look-up in the file.
    if (guid.isNull())
        return 0;
    if (!guidsRead)
        readGuids();
    if (!guidDigests.contains(guidDigest(guid)))
        return 0;
    return db.messageRowid(guid);
}

void ExportMessagesDb::rememberMembers(qint64 chatRowid)
{
    if (!membersOfChat || membersSerial != db.openSerial()) {
        membersOfChat = db.keptStatement(QStringLiteral(
            "select h.rowid, h.id, h.service from chat_handle_join as j inner join handle as h "
            "on j.handle_id = h.rowid where j.chat_id = ?"));
        membersSerial = db.openSerial();
    }
    sqlite3_stmt *s = membersOfChat;
    sqlite3_bind_int64(s, 1, chatRowid);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const qint64 handleRowid = sqlite3_column_int64(s, 0);
        chatHandles.insert(qMakePair(chatRowid, handleRowid));
        if (sqlite3_column_type(s, 1) != SQLITE_TEXT || sqlite3_column_type(s, 2) != SQLITE_TEXT)
            continue;
        const QPair<QString, QString> key(columnText(s, 1), columnText(s, 2));
        if (!handleRows.contains(key))
            handleRows.insert(key, handleRowid);
    }
    const QString reason = QString::fromUtf8(sqlite3_errmsg(db.handle()));
    sqlite3_reset(s);
    if (rc != SQLITE_DONE)
        throw Sqlite3Exception(QStringLiteral("Reading the members of a new chat failed: %1").arg(reason), rc);
}

void ExportMessagesDb::flushChatUpdates()
{
    for (auto it = chatLast.constBegin(); it != chatLast.constEnd(); ++it)
        db.updateChatLast(it.key(), it.value());
    for (auto it = lastAddressed.constBegin(); it != lastAddressed.constEnd(); ++it)
        db.setLastAddressedHandle(it.key(), it.value());
    chatLast.clear();
    lastAddressed.clear();
}

qint64 ExportMessagesDb::joinedHandle(qint64 chatRowid, const _MsgHandle *handle)
{
    // Ids and services of NULL match nothing in the file: such a handle is
    // inserted (and refused by the schema) as the look-up would have it.
    const bool keyed = !handle->id.isNull() && !handle->service.isNull();
    qint64 rowid = 0;
    const auto seen = handlesSeen.constFind(handle);
    if (keyed && seen != handlesSeen.constEnd() && seen->id.constData() == handle->id.constData() &&
        seen->id.size() == handle->id.size() && seen->service.constData() == handle->service.constData() &&
        seen->service.size() == handle->service.size()) {
        rowid = seen->rowid;
    } else {
        const QPair<QString, QString> key(handle->id, handle->service);
        rowid = keyed ? handleRows.value(key) : 0;
        if (rowid == 0) {
            rowid = db.insertHandle(handle);
            if (keyed)
                handleRows.insert(key, rowid);
        }
        if (keyed && rowid != 0)
            handlesSeen.insert(handle, HandleSeen{handle->id, handle->service, rowid});
    }
    const QPair<qint64, qint64> join(chatRowid, rowid);
    if (!chatHandles.contains(join)) {
        db.joinChatHandle(chatRowid, rowid);
        chatHandles.insert(join);
    }
    return rowid;
}

void ExportMessagesDb::write(const _MsgMessage &message)
{
    if (message.item_type != 0 && !db.hasItemType())
        return;
    if (!message.chat) {
        qDebug("IOS6RestoreMessagesThread skip message with empty chat.");
        return;
    }
    const _MsgChat *chat = message.chat;
    if (chat->rowid <= UNKNOWN_CHAT_ID_BASE) {
        qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
        return;
    }

    const qint64 chatRowid = chatRowidOrInsert(chat);
    if (chatRowid == 0) {
        ++leftOut;
        return;
    }

    // The sender is joined to the chat even when the message itself is stored
    // already: another source may have delivered it under a different chat.
    const qint64 handleRowid = message.handle ? joinedHandle(chatRowid, message.handle) : 0;

    // The logic hash first: another source may have delivered the same
    // message under a different guid. Computed once for lookup and insert.
    QString logicHash;
    qint64 messageRowid = 0;
    Md5Key digest;
    if (logicHashes) {
        const QByteArray raw = calcLogicHashDigest(message);
        digest.high = qFromBigEndian<quint64>(raw.constData());
        digest.low = qFromBigEndian<quint64>(raw.constData() + 8);
        messageRowid = hashRows.value(digest);
        // Written as calcLogicHash has it: the text of the same digest.
        if (messageRowid == 0)
            logicHash = QString::fromLatin1(raw.toHex());
    }
    // A guid is no proof of identity: foreign or damaged files repeat guids
    // or leave them empty. A different message under a taken (or empty) guid
    // is stored under a fresh one rather than lost.
    bool freshGuid = message.guid.isEmpty();
    if (messageRowid == 0 && !freshGuid) {
        const qint64 byGuid = messageRowidByGuid(message.guid);
        if (byGuid != 0 && isOtherMessage(byGuid, logicHash))
            freshGuid = true;
        else
            messageRowid = byGuid;
    }
    if (messageRowid == 0) {
        const qint64 otherRowid = message.rare().otherHandle ? joinedHandle(chatRowid, message.rare().otherHandle) : 0;
        if (freshGuid) {
            _MsgMessage renamed = message;
            renamed.editRare().attributedBody = attributedBodyOf(message);
            renamed.guid = newGuid();
            messageRowid = db.insertMessage(&renamed, handleRowid, otherRowid, logicHash);
            if (guidsRead)
                guidDigests.insert(guidDigest(renamed.guid));
        } else {
            messageRowid = db.insertMessage(&message, handleRowid, otherRowid, logicHash);
            if (guidsRead)
                guidDigests.insert(guidDigest(message.guid));
        }
        if (logicHashes)
            hashRows.insertNew(digest, messageRowid);
        db.joinChatMessage(chatRowid, messageRowid);
        // The chat's newest date is written once at the end of the run.
        auto last = chatLast.find(chatRowid);
        if (last == chatLast.end())
            chatLast.insert(chatRowid, message.date);
        else if (*last < message.date)
            *last = message.date;
        ++written;
    }

    if (chat->isGroup() && message.handle)
        lastAddressed.insert(chatRowid, message.handle->id);

    if (message.attachments.isEmpty())
        return;
    for (const _MsgAttachment *attachment : sortedAttachments(message)) {
        copyAttachmentFile(*attachment);
        qint64 attachmentRowid = db.attachmentRowid(attachment);
        if (attachmentRowid == 0)
            attachmentRowid = db.insertAttachment(attachment);
        db.joinMessageAttachment(messageRowid, attachmentRowid);
    }
}

qint64 ExportMessagesDb::chatRowidOrInsert(const _MsgChat *chat)
{
    // A NULL guid matches no row of the file; the insert is refused below.
    if (chat->guid.isNull())
        return unwritableChats.contains(chat->guid) ? 0 : insertChat(chat);
    const auto seen = chatsSeen.constFind(chat);
    if (seen != chatsSeen.constEnd() && seen->guid.constData() == chat->guid.constData() &&
        seen->guid.size() == chat->guid.size())
        return seen->rowid;
    qint64 rowid = chatRows.value(chat->guid);
    if (rowid == 0 && !unwritableChats.contains(chat->guid))
        rowid = insertChat(chat);
    if (rowid != 0)
        chatsSeen.insert(chat, ChatSeen{chat->guid, rowid});
    return rowid;
}

qint64 ExportMessagesDb::insertChat(const _MsgChat *chat)
{
    qint64 rowid = 0;
    // A chat the database refuses (a member without an id, a constraint of a
    // foreign schema) costs its own messages, not the run: its rows go back
    // to the savepoint and the caller counts what was left out.
    db.executeThrow(Sqlite3Sql(QStringLiteral("SAVEPOINT new_chat")));
    try {
        rowid = db.insertChat(chat);
    } catch (const Sqlite3Exception &e) {
        if (!IOS6MessageDb::refusedRow(e))
            throw;
        qWarning("ExportMessagesDb: chat %s left out: %s", qUtf8Printable(chat->guid), e.what());
        db.executeThrow(Sqlite3Sql(QStringLiteral("ROLLBACK TO new_chat")));
        rowid = 0;
        unwritableChats.insert(chat->guid);
    }
    db.executeThrow(Sqlite3Sql(QStringLiteral("RELEASE new_chat")));
    if (rowid != 0) {
        if (!chat->guid.isNull())
            chatRows.insert(chat->guid, rowid);
        rememberMembers(rowid);
    }
    return rowid;
}

bool ExportMessagesDb::isOtherMessage(qint64 rowid, const QString &logicHash)
{
    // Rows from before the logic hash existed keep none: their guid is all
    // there is to go by.
    if (logicHash.isEmpty())
        return false;
    Sqlite3Cursor cursor =
        db.queryThrow(Sqlite3Sql("select logic_hash from message where rowid=?").addInt64Param(rowid));
    if (!cursor.moveNext())
        return false;
    const QString stored = cursor.getText(QStringLiteral("logic_hash"));
    return !stored.isEmpty() && stored != logicHash;
}

ContainedPath ExportMessagesDb::attachmentFolder(const QDir &dbDir)
{
    ContainedPath folder(dbDir.absoluteFilePath(QStringLiteral("file-relay")));
    folder.protectFile(IOS6MessageDb::databasePath(dbDir));
    folder.protectFolder(QFileInfo(IOSContactsMemDb::addressBookPath(dbDir)).absolutePath());
    // These two lie beside "file-relay", out of reach already; named all the
    // same, so that no later change of the folder layout opens them up.
    folder.protectFile(IOSContactsMemDb::cachePath(dbDir));
    folder.protectFile(IOS6MessageDb::recyclePath(dbDir));
    return folder;
}

QString ExportMessagesDb::attachmentTarget(const QDir &dbDir, const QString &phonePath)
{
    return attachmentTarget(attachmentFolder(dbDir), phonePath);
}

QString ExportMessagesDb::attachmentTarget(const ContainedPath &folder, const QString &phonePath)
{
    static const QRegularExpression leadingSlash(QStringLiteral("^/"));
    static const QRegularExpression homeFolder(QStringLiteral("^~/"));
    static const QRegularExpression refused(QStringLiteral("[:*?\"<>|]"));

    QString relative = phonePath;
    relative.remove(leadingSlash);
    relative.replace(homeFolder, QStringLiteral("var/mobile/"));
    relative.remove(refused);
    return folder.target(relative);
}

void ExportMessagesDb::copyAttachmentFile(const _MsgAttachment &attachment) const
{
    if (attachment.localPath.isEmpty() || !QFileInfo(attachment.localPath).isFile())
        return;
    const QString target = attachmentTarget(fileRelay, attachment.filename);
    if (target.isEmpty()) {
        qWarning("ExportMessagesDb: attachment %s not copied, its path \"%s\" leads outside the database folder "
                 "or onto a file the program keeps there.",
                 qUtf8Printable(attachment.guid), qUtf8Printable(attachment.filename));
        return;
    }
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        return;
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        throw std::runtime_error(QStringLiteral("Could not create the folder of %1.")
                                     .arg(QDir::toNativeSeparators(target))
                                     .toUtf8()
                                     .toStdString());
    // A copy that fails (a full disk) ends the run: a database that records
    // an attachment whose file never arrived would tell the user it is kept.
    DurableFile::copy(attachment.localPath, target);
}
