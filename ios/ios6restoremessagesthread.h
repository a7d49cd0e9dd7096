#pragma once
// Writes messages into an iTunes backup (old layout): the cached copy of the
// backup's message database is merged with the new messages into a work copy
// beside it (every row of the phone keeps its rowid, the new messages follow
// in time order), and the work copy then replaces the backup's
// database, with Manifest.mbdb updated and the new messages' attachment files
// copied in under MediaDomain.
//
// The user's backup is changed only once everything is written: the new
// database, the new manifest and the attachment files first go beside the old
// files, then the old database and manifest step aside under their name plus
// "-" and the Unix time, and the new ones take their names. A failure before
// that leaves the backup as it was (files this run added are removed); a
// failure among the renames puts back what was renamed.
//
// Encrypted backups are refused: their files cannot be read as written here.
#include "store/msgrecords.h"
#include "platform/sqlite_qt/sqlite3row.h"

#include <QDir>
#include <QList>
#include <QString>
#include <QThread>

#include <functional>

class IOS6MessageDb;
class ProgressForm;

// One entry of the merge list: a message row of the cached database or a new
// message.
struct _RestoreItem
{
    qint64 rowid = 0;        // the row's rowid, or the new message's srcRowid
    int date = 0;            // seconds since 2001 (a phone's nanoseconds converted)
    const void *source = nullptr; // the Sqlite3Row or the _MsgMessage; not owned
    bool existing = false;   // true for a row of the cached database
};

// The merge order: within 20 rowids and 120 seconds of each other by rowid,
// else by date; on a tie a row of the database goes before a new message.
// Never true for an item compared with itself.
bool restoreItemLessThan(const _RestoreItem &a, const _RestoreItem &b);

class IOS6RestoreMessagesThread : public QThread
{
    Q_OBJECT

public:
    // messages and their records, and target, stay alive and untouched by the
    // caller until the thread has ended. mcc is empty for a backup on the PC.
    IOS6RestoreMessagesThread(const QString &mcc, QList<_MsgMessage *> *messages, IOS6MessageDb *target,
                              const QDir &backupDir, ProgressForm *form, QObject *parent = nullptr);
    ~IOS6RestoreMessagesThread() override;

    // After the run: messages written as new rows (duplicates of messages the
    // phone has count not), left out for having no usable chat, and left out
    // because their chat could not be written.
    int restoredCount() const { return restored; }
    int skippedCount() const { return skipped; }
    int leftOutCount() const { return leftOut; }
    // The success box's text: what was written, and what was left out.
    QString successText() const;

    // Tests: called with the name of each step that changes files ("work copy",
    // "merge", "database", "attachments", "manifest", "swap database",
    // "swap manifest"), right before it; a throw from it fails the run there.
    static void setStepHook(std::function<void(const char *step)> hook);

protected:
    void run() override;

private:
    // The merge into the work copy at workPath; throws.
    void merge(IOS6MessageDb &work, QList<_MsgMessage *> &withAttachments);
    // Puts the merged database at workPath into the backup; throws, leaving
    // the backup as it was.
    void replaceInBackup(const QString &workPath, const QList<_MsgMessage *> &withAttachments);

    QString mcc;
    QList<_MsgMessage *> *messages;
    IOS6MessageDb *target;
    QDir backupDir;
    ProgressForm *form;
    int skipped = 0;
    int restored = 0;
    int leftOut = 0;
    int leftOutChats = 0;
};
