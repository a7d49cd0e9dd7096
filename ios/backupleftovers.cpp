#include "ios/backupleftovers.h"

#include "app/datafolder.h"
#include "ios/backupmanifest.h"
#include "ios/backupswapjournal.h"
#include "ios/mbdb.h"

#include <QFile>
#include <QRegularExpression>

#include <stdexcept>

namespace {

const char *const kSmsFolderInCache = "file-relay/var/mobile/Library/SMS";

QString smsId()
{
    return mbdb_file_id(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"));
}

QStringList removeMatching(const QDir &folder, const QRegularExpression &pattern)
{
    QStringList removed;
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (!pattern.match(name).hasMatch())
            continue;
        if (QFile::remove(folder.absoluteFilePath(name)))
            removed << name;
        else
            qWarning("Cannot remove %s.", qPrintable(folder.absoluteFilePath(name)));
    }
    return removed;
}

} // namespace

QStringList BackupLeftovers::removeInBackup(const QDir &backupFolder)
{
    BackupSwapJournal::recover(backupFolder);
    // After recover no swap is pending: every "-new" file is a cut-short
    // merge's, and the old files are all in place. The file list is
    // Manifest.mbdb or, from iOS 10 on, Manifest.db with its SQLite journal.
    const QRegularExpression pattern(
        QStringLiteral("^(?:(?:%1|Manifest\\.mbdb|Manifest\\.db)-new\\d+(?:\\.tmp-\\w{6}|-journal)?"
                       "|(?:Manifest\\.mbdb|Manifest\\.db|%2)\\.tmp-\\w{6})$")
            .arg(smsId(), QRegularExpression::escape(BackupSwapJournal::fileName())));
    QStringList removed = removeMatching(backupFolder, pattern);
    // From iOS 10 on a data file lies one folder down, named by the first two
    // digits of its id.
    const QString dataFolder = smsId().left(2);
    const QRegularExpression newData(QStringLiteral("^%1-new\\d+(?:\\.tmp-\\w{6})?$").arg(smsId()));
    const QFileInfo folder(backupFolder.absoluteFilePath(dataFolder));
    if (folder.isDir() && !folder.isSymLink()) {
        for (const QString &name : removeMatching(QDir(folder.absoluteFilePath()), newData))
            removed << dataFolder + QLatin1Char('/') + name;
    }
    return removed;
}

QStringList BackupLeftovers::removeInCache(const QDir &cacheFolder)
{
    const QRegularExpression pattern(QStringLiteral("^sms\\.db\\d+(?:-wal|-shm|-journal)?$"));
    return removeMatching(QDir(cacheFolder.absoluteFilePath(QLatin1String(kSmsFolderInCache))), pattern);
}

QStringList BackupLeftovers::removeAtStartup()
{
    QStringList removed;
    for (const char *kind : {"itunes_cache", "ios_cache"}) {
        const QDir caches(appDataDir().absoluteFilePath(QLatin1String(kind)));
        for (const QString &name : caches.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QDir cache(caches.absoluteFilePath(name));
            const QDir sms(cache.absoluteFilePath(QLatin1String(kSmsFolderInCache)));
            for (const QString &file : removeInCache(cache))
                removed << sms.absoluteFilePath(file);
        }
    }
    const QDir backups = BackupManifest::defaultBackupRoot();
    for (const QString &name : backups.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir backup(backups.absoluteFilePath(name));
        try {
            for (const QString &file : removeInBackup(backup))
                removed << backup.absoluteFilePath(file);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
        }
    }
    return removed;
}

void BackupLeftovers::removeOlderSetAside(const QDir &backupFolder, const QStringList &names,
                                          const QString &keepStamp)
{
    QStringList escaped;
    for (const QString &name : names)
        escaped << QRegularExpression::escape(name);
    const QRegularExpression pattern(QStringLiteral("^(?:%1)-(\\d+)$").arg(escaped.join(QLatin1Char('|'))));
    const QStringList entries = backupFolder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : entries) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch() && match.captured(1) != keepStamp && !QFile::remove(backupFolder.absoluteFilePath(name)))
            qWarning("Cannot remove %s.", qPrintable(backupFolder.absoluteFilePath(name)));
    }
}
