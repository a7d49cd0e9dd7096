#include "ios/iosmobilebackupthread.h"

#include "app/datafolder.h"
#include "ios/backup2tool.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

namespace {

const char *const kTempRootName = "__quillmarten_iosbk_temp";
const char *const kVolumeFileName = "__quillmarten_iosbk_temp.path";

QMutex candidatesMutex;
QStringList injectedCandidates;
IOSMobileBackupThread::FreeSpaceFn injectedFreeSpace;

// A folder made and removed again: the backup program will have to write there.
bool canMakeFolder(const QString &folder)
{
    const QString probe = QDir(folder).absoluteFilePath(
        QStringLiteral("__test%1").arg(QDateTime::currentMSecsSinceEpoch()));
    if (!QDir().mkpath(probe))
        return false;
    QDir().rmdir(probe);
    return true;
}

QString rememberedVolume()
{
    QFile file(IOSMobileBackupThread::volumeFile());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(file.readAll());
    // A path that was never absolute, or a folder that has gone (the data
    // folder moved, a disk removed), is chosen again rather than recreated
    // somewhere unexpected.
    if (text.isEmpty() || !QDir::isAbsolutePath(text) || !QFileInfo(text).isDir())
        return QString();
    return text;
}

} // namespace

QString IOSMobileBackupThread::volumeFile()
{
    return appDataDir().absoluteFilePath(QLatin1String(kVolumeFileName));
}

void IOSMobileBackupThread::setVolumeCandidates(const QStringList &folders, FreeSpaceFn freeSpace)
{
    QMutexLocker lock(&candidatesMutex);
    injectedCandidates = folders;
    injectedFreeSpace = std::move(freeSpace);
}

QString IOSMobileBackupThread::chooseVolume(const QStringList &candidates, const FreeSpaceFn &freeSpace)
{
    QString chosen;
    qint64 largest = 0;
    for (const QString &candidate : candidates) {
        if (!canMakeFolder(candidate))
            continue;
        // A failed query answers -1: it must not outrank every real figure.
        const qint64 free = freeSpace(QDir(candidate));
        if (free < 0)
            continue;
        if (free > largest) {
            largest = free;
            chosen = QDir(candidate).absolutePath();
        }
    }
    return chosen;
}

QDir IOSMobileBackupThread::tempBackupRoot()
{
    QString volume = rememberedVolume();
    if (volume.isEmpty()) {
        QStringList candidates;
        FreeSpaceFn freeSpace;
        {
            QMutexLocker lock(&candidatesMutex);
            candidates = injectedCandidates;
            freeSpace = injectedFreeSpace;
        }
        if (candidates.isEmpty())
            candidates = QStringList{appDataDir().absolutePath()};
        if (!freeSpace)
            freeSpace = diskFreeSpace;
        volume = chooseVolume(candidates, freeSpace);
        if (volume.isEmpty())
            volume = appDataDir().absolutePath();
        QFile file(volumeFile());
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(volume.toUtf8());
    }
    return QDir(QDir(volume).absoluteFilePath(QLatin1String(kTempRootName)));
}

void IOSMobileBackupThread::removeTempBackup()
{
    const QDir root = tempBackupRoot();
    removeDirRecursively(root.absolutePath());
    QFile::remove(volumeFile());
}
