#include "ios/ios6restoremessagesthread.h"

#include "app/durablefile.h"
#include "app/failure.h"
#include "app/progressform.h"
#include "app/regularfile.h"
#include "ios/backupleftovers.h"
#include "ios/backupmanifest.h"
#include "ios/backupswapjournal.h"
#include "ios/manifestdbedit.h"
#include "ios/mbdb.h"
#include "platform/plist/plistnode.h"
#include "store/attributedbodysource.h"
#include "store/ios6messagedb.h"
#include "store/messagerecycledb.h"
#include "store/msgtext.h"

#include "platform/sqlite_qt/sqlite3exception.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QSharedPointer>

#include <algorithm>
#include <stdexcept>

namespace {

// The stamp that names this run's new and set-aside files: the time in
// seconds, moved on while any of those names is taken (a second run within
// the same second).
QString freeStamp(const QDir &backupDir, const QStringList &bases)
{
    auto taken = [&](const QString &stamp) {
        for (const QString &base : bases)
            for (const QString &sep : {QStringLiteral("-"), QStringLiteral("-new")})
                if (QFileInfo::exists(backupDir.absoluteFilePath(base) + sep + stamp))
                    return true;
        return false;
    };
    qint64 now = QDateTime::currentSecsSinceEpoch();
    while (taken(QString::number(now)))
        ++now;
    return QString::number(now);
}

const char *const kHomeDomain = "HomeDomain";
const char *const kMediaDomain = "MediaDomain";
const char *const kSmsDbPath = "Library/SMS/sms.db";
// The phone pairs sms.db with these when it finds them: a journal of the old
// database must never meet the new one.
const char *const kSmsJournalPaths[] = {"Library/SMS/sms.db-wal", "Library/SMS/sms.db-shm"};

QMutex hookMutex;
std::function<void(const char *)> stepHook;

void step(const char *name)
{
    std::function<void(const char *)> hook;
    {
        QMutexLocker lock(&hookMutex);
        hook = stepHook;
    }
    if (hook)
        hook(name);
}

// A file of the backup and the new file written whole beside it.
struct Replacement
{
    QString name;
    QString newName;
};

// Puts the new database and manifest in place of the old ones in one swap
// that a kill cannot leave half done; the old files, and the old database's
// journal files (no longer listed), step aside under "<name>-<stamp>".
void swapIn(const QDir &backupDir, const Replacement &database, const Replacement &manifest,
            const QStringList &journalNames, const QString &stamp)
{
    BackupSwapJournal swap(backupDir);
    swap.addMove(database.name, database.newName, database.name + QLatin1Char('-') + stamp);
    swap.addMove(manifest.name, manifest.newName, manifest.name + QLatin1Char('-') + stamp);
    for (const QString &name : journalNames)
        if (QFileInfo::exists(backupDir.absoluteFilePath(name)))
            swap.addMove(name, QString(), name + QLatin1Char('-') + stamp);
    swap.commit([&](const QString &renaming) {
        if (renaming == QLatin1String("done"))
            step("swap done");
        else if (renaming == database.name + QLatin1String(" aside"))
            step("swap database");
        else if (renaming == database.name + QLatin1String(" in"))
            step("swap database in");
        else if (renaming == manifest.name + QLatin1String(" aside"))
            step("swap manifest");
        else if (renaming == manifest.name + QLatin1String(" in"))
            step("swap manifest in");
        else
            step("swap old journal");
    });
}

quint64 distance(qint64 a, qint64 b)
{
    // Unsigned, so that rowids far apart cannot overflow.
    return a > b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
}


bool isEncryptedBackup(const QDir &backupDir, bool *readable)
{
    QByteArray bytes;
    try {
        bytes = RegularFile::read(backupDir.absoluteFilePath(QStringLiteral("Manifest.plist")),
                                  kMaxManifestPlistBytes);
    } catch (const std::exception &) {
        *readable = false;
        return false;
    }
    const PlistNode manifest = PlistNode::parse(bytes);
    *readable = manifest.isDictionary();
    return manifest.value(QStringLiteral("IsEncrypted")).toBool();
}

// Length and SHA-1 of a regular file; length -1 when there is none to read.
QPair<qint64, QByteArray> lengthAndDigest(const QString &path)
{
    QFile file;
    try {
        RegularFile::open(file, path);
    } catch (const std::exception &) {
        return {-1, QByteArray()};
    }
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file))
        throwError(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    return {file.size(), hash.result()};
}

QString smsFileId()
{
    return mbdb_file_id(QLatin1String(kHomeDomain), QLatin1String(kSmsDbPath));
}

// Where the newer layout keeps a file's data: one folder down, named by the
// id's first two digits.
QString newerDataPath(const QDir &backupDir, const QString &id)
{
    return backupDir.absoluteFilePath(id.left(2) + QLatin1Char('/') + id);
}


} // namespace

bool restoreItemLessThan(const _RestoreItem &a, const _RestoreItem &b)
{
    const quint64 d = distance(a.rowid, b.rowid);
    const quint64 e = distance(a.date, b.date);
    if (d <= 20 && e <= 120) {
        if (a.rowid != b.rowid)
            return a.rowid < b.rowid;
        return a.existing && !b.existing;
    }
    if (a.date != b.date)
        return a.date < b.date;
    return a.existing && !b.existing;
}

IOS6RestoreMessagesThread::IOS6RestoreMessagesThread(const QString &mcc, QList<_MsgMessage *> *messages,
                                                     IOS6MessageDb *target, const QDir &backupDir,
                                                     ProgressForm *form, QObject *parent)
    : QThread(parent), mcc(mcc), messages(messages), target(target), backupDir(backupDir), form(form)
{
}

IOS6RestoreMessagesThread::~IOS6RestoreMessagesThread() = default;

void IOS6RestoreMessagesThread::setStepHook(std::function<void(const char *)> hook)
{
    QMutexLocker lock(&hookMutex);
    stepHook = std::move(hook);
}

void IOS6RestoreMessagesThread::run()
{
    form->postUpdateProgress(tr("IDS_MERGING_IOS6_MESSAGES"), 0, QString());
    skipped = 0;
    restored = 0;
    leftOut = 0;
    leftOutChats = 0;

    bool readable = false;
    if (isEncryptedBackup(backupDir, &readable)) {
        form->postErrorOccurred(tr("IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT"));
        return;
    }
    if (!readable) {
        // Without it nobody can tell whether the backup is encrypted.
        form->postErrorOccurred(QStringLiteral("can not read %1.")
                                    .arg(backupDir.absoluteFilePath(QStringLiteral("Manifest.plist"))));
        return;
    }
    try {
        // A swap an earlier run left unfinished is settled before anything
        // here is read from the backup.
        BackupSwapJournal::recover(backupDir);
        takeSnapshot();
    } catch (const std::exception &e) {
        form->postErrorOccurred(QString::fromUtf8(e.what()));
        return;
    }

    const QString targetPath = target->filePath();
    const QString workPath = targetPath + QString::number(QDateTime::currentSecsSinceEpoch());
    target->close();
    try {
        step("work copy");
    } catch (...) {
        form->postErrorOccurred(QStringLiteral("copy database to %1 failed.").arg(workPath));
        return;
    }
    try {
        DurableFile::copy(targetPath, workPath);
    } catch (const std::exception &e) {
        form->postErrorOccurred(QStringLiteral("copy database to %1 failed. %2").arg(workPath, QString::fromUtf8(e.what())));
        return;
    }

    std::unique_ptr<IOS6MessageDb> work;
    auto discardWork = [&] {
        if (work)
            work->close();
        work.reset();
        QFile::remove(workPath);
        QFile::remove(workPath + QStringLiteral("-wal"));
        QFile::remove(workPath + QStringLiteral("-shm"));
        QFile::remove(workPath + QStringLiteral("-journal"));
    };
    try {
        work.reset(new IOS6MessageDb(target->cacheFolder(), mcc, false));
        work->setPath(workPath);
        QList<_MsgMessage *> withAttachments;
        merge(*work, withAttachments);
        work->close();
        work.reset();
        if (QFileInfo::exists(backupDir.absoluteFilePath(QStringLiteral("Manifest.db"))))
            replaceInNewerBackup(workPath, withAttachments);
        else
            replaceInBackup(workPath, withAttachments);
        // The cached copy now trails the backup; its file may keep the old
        // date to the second, and a later look would take the stale copy for
        // current. The merged database takes its place, or it goes.
        for (const char *side : {"-wal", "-shm", "-journal"})
            QFile::remove(targetPath + QLatin1String(side));
        QFile::remove(targetPath);
        try {
            DurableFile::copy(workPath, targetPath);
        } catch (const std::exception &e) {
            qWarning("The cached message database %s was removed: %s", qPrintable(targetPath), e.what());
        }
        discardWork();
        form->postSucceed(QString());
    } catch (int) {
        discardWork();
    } catch (const std::exception &e) {
        discardWork();
        form->postErrorOccurred(QString::fromUtf8(e.what()));
    } catch (...) {
        discardWork();
        form->postErrorOccurred(QStringLiteral("Saving messages into the backup failed."));
    }
}

void IOS6RestoreMessagesThread::merge(IOS6MessageDb &work, QList<_MsgMessage *> &withAttachments)
{
    step("merge");
    // The unit of the phone's dates comes from the phone's file: the work
    // copy is emptied below, and a new message older than all of the phone's
    // would otherwise be the first date it sees and set seconds for the run.
    target->open();
    const qint64 dateScale = target->storedDateScale();

    work.open();
    // The message sequence stays: a new message must not take the rowid of
    // one the phone deleted, which its own bookkeeping may still name.
    for (const char *sql :
         {"delete from attachment", "delete from chat", "delete from handle", "delete from message",
          "delete from message_attachment_join", "delete from chat_message_join", "delete from chat_handle_join",
          "update sqlite_sequence set seq=0 where name in ('handle', 'chat', 'attachment')", "vacuum"})
        work.executeThrow(Sqlite3Sql(QLatin1String(sql)));
    work.setStoredDateScale(dateScale);
    work.beginTransaction();

    QList<Sqlite3Row> chats = target->selectAll(QStringLiteral("chat"));
    for (Sqlite3Row &row : chats) {
        // The phone rebuilds a chat's properties from its messages.
        bool found = false;
        for (auto it = row.begin(); it != row.end(); ++it) {
            if (it.key().compare(QLatin1String("properties"), Qt::CaseInsensitive) == 0) {
                it.value() = QVariant();
                found = true;
            }
        }
        if (!found)
            row.insert(QStringLiteral("properties"), QVariant());
        work.insert(row, QStringLiteral("chat"));
    }
    for (const char *table : {"handle", "chat_handle_join", "attachment"})
        for (const Sqlite3Row &row : target->selectAll(QLatin1String(table)))
            work.insert(row, QLatin1String(table));

    // The new messages that can be written, in merge order.
    QList<_RestoreItem> items;
    int accepted = 0;
    for (_MsgMessage *m : *messages) {
        if (!m->chat || m->chat->rowid <= UNKNOWN_CHAT_ID_BASE) {
            qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
            ++skipped;
            continue;
        }
        if (m->item_type != 0 && !work.hasItemType())
            continue;
        ++accepted;
        _RestoreItem item;
        item.rowid = m->srcRowid;
        item.date = m->date;
        item.source = m;
        item.existing = false;
        items.append(item);
    }
    if (accepted == 0)
        throwError(tr("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG").arg(skipped));
    std::stable_sort(items.begin(), items.end(), restoreItemLessThan);

    // Every message of the phone keeps its rowid, and so every join row
    // (copied whole, with any columns of its own) and every table this merge
    // does not rebuild, such as the phone's "recently deleted" marks, still
    // names the message it named. New messages follow under new rowids, in
    // time order among themselves.
    const QList<Sqlite3Row> existing = target->selectAll(QStringLiteral("message"));
    const int total = int(existing.size() + items.size());
    int done = 0;
    int shown = -1;
    auto nextItem = [&] {
        if (form->failed)
            throw -1;
        // One post per step of the bar, not one per message.
        const int value = int(double(++done) / total * 99);
        if (value != shown) {
            form->postUpdateProgress(QString(), value, QString());
            shown = value;
        }
    };
    for (const Sqlite3Row &row : existing) {
        nextItem();
        work.insert(row, QStringLiteral("message"));
    }
    for (const char *table : {"chat_message_join", "message_attachment_join"})
        for (const Sqlite3Row &row : target->selectAll(QLatin1String(table)))
            work.insert(row, QLatin1String(table));

    // Which message a guid stands for is told by content, compared without
    // attachments (the phone's messages are read without theirs). Kept for
    // the messages written in this run and, read once at the first guid that
    // needs it, for the phone's own (whose rowids are those of the work copy).
    auto contentHash = [](const _MsgMessage &m) {
        if (m.attachments.isEmpty())
            return calcLogicHash(m);
        _MsgMessage bare = m;
        bare.attachments.clear();
        return calcLogicHash(bare);
    };
    QHash<QString, QString> hashByGuid;
    QHash<QString, qint64> rowidByHash;
    bool phoneHashesRead = false;
    auto readPhoneHashes = [&] {
        if (phoneHashesRead)
            return;
        phoneHashesRead = true;
        QSharedPointer<_MsgStore> store;
        target->messages(store, 0);
        for (const _MsgMessage *m : allMessages(store)) {
            const QString hash = contentHash(*m);
            if (!hashByGuid.contains(m->guid))
                hashByGuid.insert(m->guid, hash);
            if (!rowidByHash.contains(hash))
                rowidByHash.insert(hash, m->rowid);
        }
    };
    // The row that already holds m, or 0; sets freshGuid when m is to be
    // written under a new guid because its own is empty or taken by another
    // message.
    auto storedAs = [&](const _MsgMessage &m, const QString &hash, bool *freshGuid) -> qint64 {
        *freshGuid = false;
        if (!m.guid.isEmpty()) {
            const qint64 r = work.messageRowid(m.guid);
            if (r == 0)
                return 0;
            if (!hashByGuid.contains(m.guid))
                readPhoneHashes();
            // A row the reader does not show as a message (a group event, a
            // message in no chat) cannot be compared: its guid decides.
            const QString known = hashByGuid.value(m.guid);
            if (known.isEmpty() || known == hash)
                return r;
        }
        // An empty or taken guid: the message may be here already under the
        // fresh guid an earlier run gave it.
        readPhoneHashes();
        const qint64 r = rowidByHash.value(hash);
        *freshGuid = r == 0;
        return r;
    };

    QSet<QString> unwritableChats;
    for (const _RestoreItem &item : std::as_const(items)) {
        nextItem();
        const _MsgMessage *m = static_cast<const _MsgMessage *>(item.source);
        qint64 c = work.chatRowid(m->chat->guid);
        if (c == 0 && !unwritableChats.contains(m->chat->guid)) {
            // A chat the phone's file refuses costs its own messages, not
            // the run: its rows go back to the savepoint and are counted.
            work.executeThrow(Sqlite3Sql(QStringLiteral("SAVEPOINT new_chat")));
            try {
                c = work.insertChat(m->chat);
            } catch (const Sqlite3Exception &e) {
                if (!IOS6MessageDb::refusedRow(e))
                    throw;
                qWarning("IOS6RestoreMessagesThread: chat %s left out: %s", qUtf8Printable(m->chat->guid), e.what());
                work.executeThrow(Sqlite3Sql(QStringLiteral("ROLLBACK TO new_chat")));
                c = 0;
                unwritableChats.insert(m->chat->guid);
            }
            work.executeThrow(Sqlite3Sql(QStringLiteral("RELEASE new_chat")));
        }
        if (c == 0) {
            ++leftOut;
            continue;
        }
        auto findOrJoin = [&](const _MsgHandle *handle) -> qint64 {
            if (!handle)
                return 0;
            qint64 h = work.handleRowid(handle);
            if (h != 0) {
                if (!work.hasChatHandle(c, h))
                    work.joinChatHandle(c, h);
            } else {
                h = work.insertHandle(handle);
                work.joinChatHandle(c, h);
            }
            return h;
        };
        const qint64 h = findOrJoin(m->handle);
        // A guid is no proof of identity: foreign or damaged files repeat
        // guids or leave them empty. A different message under a taken (or
        // empty) guid is written under a fresh one rather than lost.
        const QString hash = contentHash(*m);
        bool freshGuid = false;
        qint64 r = storedAs(*m, hash, &freshGuid);
        if (r == 0) {
            const qint64 o = findOrJoin(m->rare().otherHandle);
            _MsgMessage renamed;
            const _MsgMessage *written = m;
            if (freshGuid) {
                renamed = *m;
                renamed.editRare().attributedBody = attributedBodyOf(*m);
                renamed.guid = newGuid();
                written = &renamed;
            }
            r = work.insertMessage(written, h, o, QString());
            work.joinChatMessage(c, r);
            work.updateChatLast(c, m->date);
            hashByGuid.insert(written->guid, hash);
            if (!rowidByHash.contains(hash))
                rowidByHash.insert(hash, r);
            ++restored;
        }
        if (m->chat->isGroup() && m->handle)
            work.setLastAddressedHandle(c, m->handle->id);
        const QList<_MsgAttachment *> attachments = sortedAttachments(*m);
        if (!attachments.isEmpty())
            withAttachments.append(const_cast<_MsgMessage *>(m));
        for (const _MsgAttachment *attachment : attachments) {
            qint64 a = work.attachmentRowid(attachment);
            if (a == 0)
                a = work.insertAttachment(attachment);
            work.joinMessageAttachment(r, a);
        }
    }
    leftOutChats = int(unwritableChats.size());
    work.endTransaction(true);
}

QString IOS6RestoreMessagesThread::successText() const
{
    QString text = tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(restored);
    if (leftOut > 0)
        text += QLatin1String("<br/>")
                + tr("IDS_LEFT_OUT_%1_SMS_OF_%2_CHATS").arg(leftOut).arg(leftOutChats);
    return text;
}

void IOS6RestoreMessagesThread::takeSnapshot()
{
    if (QFileInfo::exists(backupDir.absoluteFilePath(QStringLiteral("Manifest.db")))) {
        // The newer layout: its list is a database, compared as a whole, and
        // the message database lies one folder down.
        const QPair<qint64, QByteArray> list =
            lengthAndDigest(backupDir.absoluteFilePath(QStringLiteral("Manifest.db")));
        if (list.first < 0)
            throwError(QStringLiteral("%1 is missing or is not a regular file.")
                           .arg(backupDir.absoluteFilePath(QStringLiteral("Manifest.db"))));
        startManifestDigest = list.second;
        const QPair<qint64, QByteArray> sms = lengthAndDigest(newerDataPath(backupDir, smsFileId()));
        startSmsLength = sms.first;
        startSmsDigest = sms.second;
        return;
    }
    const QString manifestPath = backupDir.absoluteFilePath(QStringLiteral("Manifest.mbdb"));
    if (!QFileInfo::exists(manifestPath))
        throwError(QStringLiteral("can not find %1.").arg(manifestPath));
    const QByteArray bytes = RegularFile::read(manifestPath, kMaxMbdbBytes);
    const QHash<QString, _MbdbRecord> records = mbdb_read_data(bytes);
    startManifestDigest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);

    const QString smsId = mbdb_file_id(QLatin1String(kHomeDomain), QLatin1String(kSmsDbPath));
    const QString smsPath = backupDir.absoluteFilePath(smsId);
    const QPair<qint64, QByteArray> sms = lengthAndDigest(smsPath);
    startSmsLength = sms.first;
    startSmsDigest = sms.second;
    const auto record = records.constFind(smsId);
    if (record == records.cend())
        return;
    // The merged database replaces this file: one that is missing or does not
    // match its record means the cached copy was not taken from it.
    if (startSmsLength < 0)
        throwError(QStringLiteral("The backup lists its message database, but its file %1 is missing or is not a "
                                  "regular file. Nothing was written.")
                       .arg(smsPath));
    if (startSmsLength != record->fileLength)
        throwError(QStringLiteral("The backup's message database %1 holds %2 bytes, but the backup's manifest "
                                  "records %3. The backup is damaged; nothing was written.")
                       .arg(smsPath)
                       .arg(startSmsLength)
                       .arg(record->fileLength));
}

void IOS6RestoreMessagesThread::replaceInBackup(const QString &workPath, const QList<_MsgMessage *> &withAttachments)
{
    const QString manifestName = QStringLiteral("Manifest.mbdb");
    const QString manifestPath = backupDir.absoluteFilePath(manifestName);
    const QString smsId = mbdb_file_id(QLatin1String(kHomeDomain), QLatin1String(kSmsDbPath));
    const QString smsPath = backupDir.absoluteFilePath(smsId);
    if (!QFileInfo::exists(manifestPath))
        throwError(QStringLiteral("can not find %1.").arg(manifestPath));
    const QByteArray manifestBytes = RegularFile::read(manifestPath, kMaxMbdbBytes);
    // Another writer's change since the start would be undone by the files
    // written here.
    auto refuseChanged = [&](const QString &what) {
        throwError(QStringLiteral("%1 changed while the messages were being merged. Nothing was written; please try "
                                  "again.")
                       .arg(what));
    };
    if (QCryptographicHash::hash(manifestBytes, QCryptographicHash::Sha1) != startManifestDigest)
        refuseChanged(manifestPath);
    QHash<QString, _MbdbRecord> records = mbdb_read_data(manifestBytes);

    QStringList journalIds;
    for (const char *journal : kSmsJournalPaths)
        journalIds << mbdb_file_id(QLatin1String(kHomeDomain), QLatin1String(journal));
    const QString stamp = freeStamp(backupDir, QStringList{smsPath, manifestPath} + journalIds);
    const QString newSmsName = smsId + QStringLiteral("-new") + stamp;
    const QString newManifestName = manifestName + QStringLiteral("-new") + stamp;
    const QString newSms = backupDir.absoluteFilePath(newSmsName);
    const QString newManifest = backupDir.absoluteFilePath(newManifestName);
    QStringList added; // files this run put into the backup folder
    auto removeAdded = [&] {
        for (const QString &path : added)
            QFile::remove(path);
    };
    try {
        // The database as one file: the connection that wrote it is closed,
        // and a journal it left behind is folded in first.
        step("database");
        if (QFileInfo::exists(workPath + QStringLiteral("-wal"))) {
            Sqlite3DB db;
            db.openThrow(workPath, 2);
            db.executeThrow(Sqlite3Sql(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")));
            db.close();
        }
        added << newSms;
        DurableFile::copy(workPath, newSms);

        const QFileInfo written(newSms);
        auto existingRecord = records.find(smsId);
        if (existingRecord == records.end()) {
            mbdb_add_file(records, newSms, QLatin1String(kHomeDomain), QLatin1String(kSmsDbPath));
            existingRecord = records.find(smsId);
        }
        _MbdbRecord &sms = existingRecord.value();
        sms.dataHash.setBytes(mbdb_file_digest(newSms).left(20));
        sms.mtime = quint32(written.lastModified().toSecsSinceEpoch());
        sms.atime = sms.mtime;
        const QDateTime born = written.birthTime().isValid() ? written.birthTime() : written.metadataChangeTime();
        sms.ctime = quint32(born.toSecsSinceEpoch());
        // The phone checks the length against the file it is given.
        sms.fileLength = written.size();
        for (const QString &id : journalIds)
            records.remove(id);

        step("attachments");
        for (const _MsgMessage *m : withAttachments) {
            for (const _MsgAttachment *attachment : sortedAttachments(*m)) {
                if (!QFileInfo(attachment->localPath).isFile())
                    continue;
                const int p = attachment->filename.indexOf(QLatin1String("Library/"));
                if (p < 0)
                    continue;
                const QString path = attachment->filename.mid(p);
                const QString dest = backupDir.absoluteFilePath(mbdb_file_id(QLatin1String(kMediaDomain), path));
                if (!QFileInfo::exists(dest)) {
                    added << dest;
                    DurableFile::copy(attachment->localPath, dest);
                }
                mbdb_add_file(records, dest, QLatin1String(kMediaDomain), path);
            }
        }

        step("manifest");
        QList<_MbdbRecord> list = records.values();
        added << newManifest;
        mbdb_write(list, newManifest);

        // The last look before the swap: the database this run replaces must
        // be the one it started from.
        step("check");
        const QPair<qint64, QByteArray> current = lengthAndDigest(smsPath);
        if (current.first != startSmsLength || current.second != startSmsDigest)
            refuseChanged(smsPath);
        if (QCryptographicHash::hash(RegularFile::read(manifestPath, kMaxMbdbBytes), QCryptographicHash::Sha1)
            != startManifestDigest)
            refuseChanged(manifestPath);
    } catch (...) {
        removeAdded();
        throw;
    }

    // Everything is written: the old files step aside under "-<stamp>" and
    // the new take their names, through a journal that a later run uses to
    // finish the swap should this one be killed in the middle of it. A
    // failure here puts back what already moved.
    try {
        swapIn(backupDir, {smsId, newSmsName}, {manifestName, newManifestName}, journalIds, stamp);
    } catch (...) {
        removeAdded();
        throw;
    }
    // Only this run's set-aside copies stay: older ones would pile up with
    // every merge.
    BackupLeftovers::removeOlderSetAside(backupDir, QStringList{smsId, manifestName} + journalIds, stamp);
}

void IOS6RestoreMessagesThread::replaceInNewerBackup(const QString &workPath,
                                                     const QList<_MsgMessage *> &withAttachments)
{
    // The newer layout keeps each file's data at "<first two digits>/<id>"
    // and the file list in Manifest.db; the list is changed on a copy in one
    // transaction, and the swap at the end goes through the same journal as
    // for Manifest.mbdb, with names one folder down.
    const QString manifestName = QStringLiteral("Manifest.db");
    const QString manifestPath = backupDir.absoluteFilePath(manifestName);
    auto dataName = [](const QString &id) { return id.left(2) + QLatin1Char('/') + id; };
    auto dataPath = [&](const QString &id) { return backupDir.absoluteFilePath(dataName(id)); };
    const QString home = QLatin1String(kHomeDomain);
    const QString media = QLatin1String(kMediaDomain);
    const QString smsName = dataName(smsFileId());
    const QString smsPath = backupDir.absoluteFilePath(smsName);
    auto refuseChanged = [&](const QString &what) {
        throwError(QStringLiteral("%1 changed while the messages were being merged. Nothing was written; please try "
                                  "again.")
                       .arg(what));
    };
    if (lengthAndDigest(manifestPath).second != startManifestDigest)
        refuseChanged(manifestPath);

    QStringList journalNames;
    for (const char *journal : kSmsJournalPaths)
        journalNames << dataName(mbdb_file_id(home, QLatin1String(journal)));
    const QString stamp = freeStamp(backupDir, QStringList{smsName, manifestName} + journalNames);
    const QString newSmsName = smsName + QStringLiteral("-new") + stamp;
    const QString newManifestName = manifestName + QStringLiteral("-new") + stamp;
    const QString newSms = backupDir.absoluteFilePath(newSmsName);
    const QString newManifest = backupDir.absoluteFilePath(newManifestName);
    QStringList added;       // files this run put into the backup folder
    QStringList madeFolders; // data folders this run made, deepest last
    auto removeAdded = [&] {
        for (const QString &path : std::as_const(added))
            QFile::remove(path);
        QFile::remove(newManifest + QStringLiteral("-journal"));
        for (auto it = madeFolders.crbegin(); it != madeFolders.crend(); ++it)
            QDir().rmdir(*it);
    };
    auto makeFolderOf = [&](const QString &file) {
        const QString folder = QFileInfo(file).absolutePath();
        const QFileInfo info(folder);
        if (info.isSymLink() || (info.exists() && !info.isDir()))
            throwError(QStringLiteral("%1 is not a folder of the backup.").arg(QDir::toNativeSeparators(folder)));
        if (info.exists())
            return;
        if (!QDir().mkpath(folder))
            throwError(QStringLiteral("can not overwrite %1.").arg(file));
        madeFolders << folder;
    };
    auto modified = [](const QString &path) { return QFileInfo(path).lastModified().toSecsSinceEpoch(); };

    try {
        step("database");
        if (QFileInfo::exists(workPath + QStringLiteral("-wal"))) {
            Sqlite3DB db;
            db.openThrow(workPath, 2);
            db.executeThrow(Sqlite3Sql(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")));
            db.close();
        }
        makeFolderOf(newSms);
        added << newSms;
        DurableFile::copy(workPath, newSms);

        added << newManifest;
        ManifestDbEdit edit(manifestPath, newManifest);
        // The phone checks the size against the file it is given.
        edit.putFile(home, QLatin1String(kSmsDbPath), QFileInfo(newSms).size(), modified(newSms));
        for (const char *journal : kSmsJournalPaths)
            edit.removeFile(home, QLatin1String(journal));

        step("attachments");
        for (const _MsgMessage *m : withAttachments) {
            for (const _MsgAttachment *attachment : sortedAttachments(*m)) {
                if (!QFileInfo(attachment->localPath).isFile())
                    continue;
                const int p = attachment->filename.indexOf(QLatin1String("Library/"));
                if (p < 0)
                    continue;
                const QString path = attachment->filename.mid(p);
                const QString dest = dataPath(mbdb_file_id(media, path));
                const bool existed = QFileInfo::exists(dest);
                if (!existed) {
                    makeFolderOf(dest);
                    added << dest;
                    DurableFile::copy(attachment->localPath, dest);
                }
                edit.putFile(media, path, QFileInfo(dest).size(), modified(dest), existed);
            }
        }

        step("manifest");
        edit.commit();

        // The last look before the swap: the database this run replaces must
        // be the one it started from, and the list too.
        step("check");
        const QPair<qint64, QByteArray> current = lengthAndDigest(smsPath);
        if (current.first != startSmsLength || current.second != startSmsDigest)
            refuseChanged(smsPath);
        if (lengthAndDigest(manifestPath).second != startManifestDigest)
            refuseChanged(manifestPath);
    } catch (...) {
        removeAdded();
        throw;
    }

    try {
        swapIn(backupDir, {smsName, newSmsName}, {manifestName, newManifestName}, journalNames, stamp);
    } catch (...) {
        removeAdded();
        throw;
    }
    // Only this run's set-aside copies stay, as in the older layout; a data
    // file's lie beside it, one folder down.
    BackupLeftovers::removeOlderSetAside(backupDir, QStringList{manifestName}, stamp);
    for (const QString &name : QStringList{smsName} + journalNames) {
        const QFileInfo data(backupDir.absoluteFilePath(name));
        BackupLeftovers::removeOlderSetAside(data.dir(), QStringList{data.fileName()}, stamp);
    }
}
