#include "ios/iosmobilebackupthread.h"

#include "app/datafolder.h"
#include "app/durablefile.h"
#include "app/progressform.h"
#include "ios/backup2tool.h"
#include "ios/iosdevice.h"
#include "platform/plist/plistnode.h"

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

// A property list file parsed whole; an empty node when unreadable.
PlistNode readPlist(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return PlistNode();
    return PlistNode::parse(file.readAll());
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
        try {
            DurableFile::write(volumeFile(), volume.toUtf8());
        } catch (const std::exception &e) {
            // Only a remembered choice: without it the volume is chosen again.
            qWarning("%s", e.what());
        }
    }
    return QDir(QDir(volume).absoluteFilePath(QLatin1String(kTempRootName)));
}

bool IOSMobileBackupThread::removeTempBackup(QString *left)
{
    const QDir root = tempBackupRoot();
    if (!removeDirRecursively(root.absolutePath(), left))
        return false;
    QFile::remove(volumeFile());
    return true;
}

IOSMobileBackupThread::IOSMobileBackupThread(IOSDevice *device, ProgressForm *form, QObject *parent)
    : QThread(parent),
      device(device),
      form(form),
      m_backupDir(tempBackupRoot()),
      tool(new backup2tool(device->amDevice, device->uniqueDeviceId, m_backupDir))
{
}

IOSMobileBackupThread::~IOSMobileBackupThread()
{
    if (tool)
        tool->deleteLater();
}

bool IOSMobileBackupThread::canReuse(const QDir &folder, const QString &productVersion)
{
    for (const char *name : {"Status.plist", "Manifest.plist"})
        if (!QFileInfo::exists(folder.absoluteFilePath(QLatin1String(name))))
            return false;
    // The file list of either layout: Manifest.db from iOS 10 on.
    if (!QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb")))
        && !QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.db"))))
        return false;
    const PlistNode status = readPlist(folder.absoluteFilePath(QStringLiteral("Status.plist")));
    if (status.value(QStringLiteral("SnapshotState")).toString() != QLatin1String("finished"))
        return false;
    const PlistNode manifest = readPlist(folder.absoluteFilePath(QStringLiteral("Manifest.plist")));
    const QString version = manifest.value(QStringLiteral("Lockdown")).value(QStringLiteral("ProductVersion")).toString();
    return !version.isEmpty() && version == productVersion;
}

bool IOSMobileBackupThread::isSafeFolderName(const QString &udid)
{
    return !udid.isEmpty() && udid != QLatin1String(".") && udid != QLatin1String("..")
        && !udid.contains(QLatin1Char('/')) && !udid.contains(QLatin1Char('\\')) && !udid.contains(QChar(0));
}

QString IOSMobileBackupThread::backupErrorText(const QString &message)
{
    QString text = message;
    text.replace(QLatin1String("<"), QLatin1String("&lt;")).replace(QLatin1String(">"), QLatin1String("&gt;"));
    // The program's error lines, one under the other.
    text.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    return text + QLatin1String(kBackup2RestartNote);
}

void IOSMobileBackupThread::backupUpdate(double progress, QString, QString)
{
    form->postUpdateProgress(QString(), int(progress), QString());
}

void IOSMobileBackupThread::run()
{
    form->postUpdateProgress(tr("IDS_BACKING_UP_IOS"), 0, QString());
    const QString udid = device->uniqueDeviceId;
    if (!isSafeFolderName(udid)) {
        form->postErrorOccurred(backupErrorText(
            QStringLiteral("The device reports the unusable id \"%1\"; nothing was backed up.").arg(udid)));
        return;
    }
    const QString deviceBackup = m_backupDir.absoluteFilePath(udid);
    QString left;
    if (QFileInfo::exists(deviceBackup) && !canReuse(QDir(deviceBackup), device->productVersion)
        && !removeDirRecursively(deviceBackup, &left)) {
        // The tool would bring what stayed up to date as if it were whole.
        form->postErrorOccurred(backupErrorText(
            QStringLiteral("The earlier backup in %1 cannot be removed: %2 stays.").arg(deviceBackup, left)));
        return;
    }

    connect(tool, &backup2tool::update, this, &IOSMobileBackupThread::backupUpdate);
    connect(form, &ProgressForm::userCacel, tool, &backup2tool::cancel);
    tool->watch(&form->failed);
    try {
        tool->run(backup2tool_options(BACKUP2TOOL_OP_BACKUP));
        // A stopped backup is half a backup: the next one starts afresh
        // rather than trusting it. Whatever cannot go now has no finished
        // snapshot, so the next run refuses to reuse it.
        if (tool->stoppedByUser())
            removeDirRecursively(deviceBackup);
        form->postSucceed(QString());
    } catch (const std::exception &e) {
        // Half a backup must not be brought up to date next time.
        QString text = QString::fromUtf8(e.what());
        if (!removeDirRecursively(deviceBackup, &left))
            text += QStringLiteral(" The unfinished backup in %1 cannot be removed: %2 stays.").arg(deviceBackup, left);
        form->postErrorOccurred(backupErrorText(text));
    }
}
