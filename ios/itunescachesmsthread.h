#pragma once
// Worker that copies a backup's "Library/SMS" and "Library/AddressBook" into
// a cache folder, below "file-relay/var/mobile/Library" where the file-relay
// download puts a phone's files, so that the message readers and the contacts
// cache open them unchanged. Encrypted backups are decrypted on the way.
//
// "manifest.db" in the cache folder (ITunesCacheDb) keeps each copied file's
// modification time: a file is copied again only when it has no date there,
// its date differs from the record's, or its copy has gone from the cache.
//
// The manifest must be loaded, unlocked when encrypted, and given its tree
// before the thread starts; the thread then only reads it. It reports only
// through the progress dialog's post operations and reads its failed flag
// before every node.
#include "ios/itunescachedb.h"

#include <QDir>
#include <QThread>

class BackupManifest;
class ContainedPath;
class ProgressForm;
struct _BackupFileNode;

class ITunesCacheSMSThread : public QThread
{
    Q_OBJECT

public:
    // The backup's own cache: "itunes_cache/<cache id>" in the data folder.
    // Nothing is created on disk.
    ITunesCacheSMSThread(BackupManifest *manifest, ProgressForm *form, QObject *parent = nullptr);
    // A cache folder of the caller's (a device's own cache folder).
    ITunesCacheSMSThread(BackupManifest *manifest, const QDir &cacheDir, ProgressForm *form,
                         QObject *parent = nullptr);
    ~ITunesCacheSMSThread() override;

    QDir cacheDir() const { return m_cacheDir; }

protected:
    void run() override;

private:
    // Copies node and everything below it into target (a folder below the
    // cache's Library folder, relative to contained's root), under asName
    // when given. Throws the int -1 on cancel and std::runtime_error when a
    // copy fails or a name would lead outside the cache.
    void cacheNode(const _BackupFileNode *node, const QString &target, const ContainedPath &contained,
                   const QString &asName = QString());
    // Whether the copy makes a folder of node.
    static bool isFolder(const _BackupFileNode *node);
    // Drops this run's dates and copies, so that the next run starts afresh.
    // Answers empty, or a sentence naming the first thing that stayed.
    QString discard(const QStringList &copied);

    BackupManifest *manifest;
    ProgressForm *form;
    QDir m_cacheDir;
    ITunesCacheDb cacheDb;
};
