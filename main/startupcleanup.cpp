#include "main/startupcleanup.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Folders of the data folder that hold one message database per sub-folder.
const char *const kCacheRoots[] = {"ios_cache", "itunes_cache", "android_cache", "local_databases", "virtual_ios",
                                   "virtual_android"};
// Caches a merge into a backup works in.
const char *const kMergeCacheRoots[] = {"ios_cache", "itunes_cache"};
const char *const kSmsFolder = "file-relay/var/mobile/Library/SMS";

// The merge's work copy: the cached sms.db's path followed by the time in
// seconds, and what SQLite keeps beside it.
const QRegularExpression &workCopyName()
{
    static const QRegularExpression name(QStringLiteral("^sms\\.db[0-9]+(-wal|-shm|-journal)?$"));
    return name;
}

// The contacts cache is built under a temporary file's name (six letters or
// digits after "ct-phone.db.") and renamed once complete.
const QRegularExpression &contactsWorkName()
{
    static const QRegularExpression name(QStringLiteral("^ct-phone\\.db\\.[A-Za-z0-9]{6}(-journal)?$"));
    return name;
}

void removeMatching(const QDir &folder, const QRegularExpression &name, QStringList &removed)
{
    // Only plain files: a link or folder of such a name is not one of ours.
    const QFileInfoList entries = folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink() || !entry.isFile() || !name.match(entry.fileName()).hasMatch())
            continue;
        if (QFile::remove(entry.absoluteFilePath()))
            removed << entry.absoluteFilePath();
        else
            qWarning("%s", QStringLiteral("can not remove the leftover %1.").arg(entry.absoluteFilePath()).toUtf8().constData());
    }
}

QFileInfoList cacheFolders(const QDir &dataFolder, const char *root)
{
    return QDir(dataFolder.absoluteFilePath(QLatin1String(root))).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

QStringList removeLeftovers(const QDir &dataFolder)
{
    QStringList removed;
    for (const char *root : kCacheRoots) {
        for (const QFileInfo &cache : cacheFolders(dataFolder, root)) {
            if (!cache.isSymLink())
                removeMatching(QDir(cache.absoluteFilePath()), contactsWorkName(), removed);
        }
    }
    for (const char *root : kMergeCacheRoots) {
        for (const QFileInfo &cache : cacheFolders(dataFolder, root)) {
            if (!cache.isSymLink())
                removeMatching(QDir(cache.absoluteFilePath()).absoluteFilePath(QLatin1String(kSmsFolder)),
                               workCopyName(), removed);
        }
    }
    return removed;
}
