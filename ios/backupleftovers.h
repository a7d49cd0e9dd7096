#pragma once
// Files this program leaves behind when a run is killed or replaced: the new
// files a merge writes beside a backup's own before swapping them in, the
// temporary files of its durable writes, the merge's work copies in the
// caches, and the set-aside copies of earlier merges. Only names this program
// makes are ever touched.
#include <QDir>
#include <QString>
#include <QStringList>

class BackupLeftovers
{
public:
    // A backup folder: first finishes or undoes a swap its journal records
    // (BackupSwapJournal::recover), then removes "<sms.db id>-new<digits>"
    // (one folder down, "<2 digits>/", from iOS 10 on), "Manifest.mbdb-new…"
    // or "Manifest.db-new…" and the temporary files of a cut-short durable
    // write. Answers the names removed. Throws when the journal cannot
    // be settled; nothing is removed then.
    static QStringList removeInBackup(const QDir &backupFolder);
    // A cache folder (a backup's or a device's): the merge's work copies
    // "sms.db<digits>" and their SQLite side files. Answers the names removed.
    static QStringList removeInCache(const QDir &cacheFolder);
    // At start-up, while no other run of the program can be using them: every
    // cache folder below the data folder ("itunes_cache/*", "ios_cache/*")
    // and every backup below the default backup root. Failures are logged;
    // answers the paths removed.
    static QStringList removeAtStartup();
    // After a successful merge: set-aside copies "<name>-<digits>" of each of
    // names, except those of keepStamp, the copies this run made.
    static void removeOlderSetAside(const QDir &backupFolder, const QStringList &names, const QString &keepStamp);
};
