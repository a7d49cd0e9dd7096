#include "ios/backup2tool.h"

#include "ios/applelibs.h"
#include "ios/mobiledevice.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>

#include <stdexcept>

#include <sys/statvfs.h>

namespace {

// The program prints nothing while it works: the bar follows the clock, and a
// poll this short keeps a cancel prompt.
constexpr int kPollMs = 200;
constexpr int kStartWaitMs = 60000;
constexpr int kDefaultEstimate = 60;
constexpr double kSecondsPerMiB = 0.03;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

} // namespace

qint64 diskFreeSpace(const QDir &dir)
{
    return diskFreeSpaceOf(dir, QStorageInfo(dir.absolutePath()));
}

qint64 diskFreeSpaceOf(const QDir &dir, const QStorageInfo &volume)
{
    // QStorageInfo climbs to an existing parent by itself; a missing folder
    // must answer -1 like a missing drive.
    const QString path = dir.absolutePath();
    if (!QFileInfo(path).isDir())
        return -1;
    if (volume.isValid() && volume.isReady())
        return volume.bytesAvailable();
    // QStorageInfo finds the volume in the mount table, which in a chroot or
    // a container can describe another file system tree and hold no entry
    // for this one; the folder itself still answers.
    struct statvfs fs;
    if (statvfs(QFile::encodeName(path).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

backup2tool::backup2tool(void *device, const QString &udid, const QDir &folder, QObject *parent)
    : QObject(parent), device(device), udid(udid), folder(folder)
{
}

backup2tool::~backup2tool() = default;

QString backup2tool::programPath()
{
    return QDir(commonProgramFilesDir()).absoluteFilePath(QStringLiteral("Apple/Mobile Device Support/AppleMobileBackup.exe"));
}

QStringList backup2tool::arguments(int op, const QString &udid, const QDir &root)
{
    const QString rootPath = QDir::toNativeSeparators(root.absolutePath());
    switch (op) {
    case BACKUP2TOOL_OP_BACKUP:
        return {"-u", udid, "--backup", "--target", udid, "--root", rootPath};
    case BACKUP2TOOL_OP_RESTORE:
        return {"-u", udid, "--restore", "--target", udid, "--root", rootPath, "--source", udid};
    default:
        return {};
    }
}

int backup2tool::estimateSeconds(qint64 totalDataCapacity, qint64 amountDataAvailable)
{
    const qint64 usedMiB = (totalDataCapacity - amountDataAvailable) / 1024 / 1024;
    if (usedMiB <= 0)
        return kDefaultEstimate;
    const int seconds = int(double(usedMiB) * kSecondsPerMiB);
    // Below 34 MiB in use the product is 0, and the bar would divide by it.
    return seconds < 1 ? kDefaultEstimate : seconds;
}

double backup2tool::progressAfter(qint64 elapsedSeconds, int estimate)
{
    if (estimate < 1)
        estimate = kDefaultEstimate;
    const double value = double(elapsedSeconds) / double(estimate) * 99.0;
    return value > 99.0 ? 99.0 : value;
}

int backup2tool::estimate() const
{
    try {
        const QList<CFType> values = mobiledevice_copy_values(device, {QString()}, QStringLiteral("com.apple.disk_usage"));
        if (values.isEmpty())
            return kDefaultEstimate;
        const CFType &usage = values.first();
        if (!usage.isDictionary())
            return kDefaultEstimate;
        const CFType total = usage.value(QStringLiteral("TotalDataCapacity"));
        const CFType available = usage.value(QStringLiteral("AmountDataAvailable"));
        return estimateSeconds(total.isNumber() ? total.toInt64() : 0, available.isNumber() ? available.toInt64() : 0);
    } catch (...) {
        // No session, no library: the estimate is only for the bar.
        return kDefaultEstimate;
    }
}

void backup2tool::run(const backup2tool_options &options)
{
    canceled = false;
    progress = 0;
    const int seconds = estimate();

    const QStringList args = arguments(options.op, udid, folder);
    if (args.isEmpty())
        throw std::runtime_error("unknown backup2tool_op.");

    QProcess process;
    process.setProgram(programPath());
    process.setArguments(args);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(kStartWaitMs))
        fail(QStringLiteral("can not start AppleMobileBackup process."));

    const qint64 start = QDateTime::currentSecsSinceEpoch();
    while (!stopRequested()) {
        // An already finished process also answers false here.
        if (process.waitForFinished(kPollMs) || process.state() == QProcess::NotRunning)
            break;
        const qint64 elapsed = QDateTime::currentSecsSinceEpoch() - start;
        progress = progressAfter(elapsed, seconds);
        emit update(progress, QString(), QStringLiteral("%1 seconds passed").arg(elapsed));
    }
    if (stopRequested()) {
        // The user stopped it: the dialog has closed already, nothing to tell.
        process.kill();
        process.waitForFinished(kStartWaitMs);
        return;
    }

    QByteArray output = process.readAllStandardError() + '\n' + process.readAllStandardOutput();
    const int nul = output.indexOf('\0');
    if (nul >= 0)
        output.truncate(nul);
    const QString text = QString::fromLatin1(output);
    const bool crashed = process.exitStatus() == QProcess::CrashExit;
    qDebug("%s", text.toLocal8Bit().constData());
    qDebug("AppleMobileBackup %s with code %d", crashed ? "crashed" : "exited", process.exitCode());

    if (text.contains(QLatin1String("error"), Qt::CaseInsensitive))
        throw std::runtime_error(text.toUtf8().toStdString());
    // A program that died half-way has not finished its backup, whatever it
    // managed to print before.
    if (crashed)
        fail(QStringLiteral("AppleMobileBackup process crashed (code %1).").arg(process.exitCode()));
}

void backup2tool::cancel()
{
    canceled = true;
}
