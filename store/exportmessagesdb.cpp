#include "store/exportmessagesdb.h"

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
    db.beginTransaction();
}

void ExportMessagesDb::end()
{
    try {
        db.endTransaction(true);
    } catch (...) {
        db.close();
        throw;
    }
    db.close();
}

void ExportMessagesDb::abort() noexcept
{
    // The connection's close rolls back whatever transaction is still open;
    // ending the marked one first keeps the object's own flag honest.
    try {
        db.endTransaction(false);
    } catch (...) {
    }
    db.close();
}

qint64 ExportMessagesDb::joinedHandle(qint64 chatRowid, const _MsgHandle *handle)
{
    qint64 rowid = db.handleRowid(handle);
    if (rowid == 0) {
        rowid = db.insertHandle(handle);
        db.joinChatHandle(chatRowid, rowid);
    } else if (!db.hasChatHandle(chatRowid, rowid)) {
        db.joinChatHandle(chatRowid, rowid);
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
    if (db.hasLogicHash()) {
        logicHash = calcLogicHash(message);
        messageRowid = db.messageRowidByLogicHash(logicHash);
    }
    // A guid is no proof of identity: foreign or damaged files repeat guids
    // or leave them empty. A different message under a taken (or empty) guid
    // is stored under a fresh one rather than lost.
    bool freshGuid = message.guid.isEmpty();
    if (messageRowid == 0 && !freshGuid) {
        const qint64 byGuid = db.messageRowid(message.guid);
        if (byGuid != 0 && isOtherMessage(byGuid, logicHash))
            freshGuid = true;
        else
            messageRowid = byGuid;
    }
    if (messageRowid == 0) {
        const qint64 otherRowid = message.otherHandle ? joinedHandle(chatRowid, message.otherHandle) : 0;
        if (freshGuid) {
            _MsgMessage renamed = message;
            renamed.guid = newGuid();
            messageRowid = db.insertMessage(&renamed, handleRowid, otherRowid, logicHash);
        } else {
            messageRowid = db.insertMessage(&message, handleRowid, otherRowid, logicHash);
        }
        db.joinChatMessage(chatRowid, messageRowid);
        db.updateChatLast(chatRowid, message.date);
        ++written;
    }

    if (chat->isGroup() && message.handle)
        db.setLastAddressedHandle(chatRowid, message.handle->id);

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
    qint64 rowid = db.chatRowid(chat->guid);
    if (rowid != 0 || unwritableChats.contains(chat->guid))
        return rowid;
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
