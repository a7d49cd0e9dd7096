#include "ios/backup2tool.h"

#include "app/failure.h"
#include "ios/applelibs.h"
#include "ios/mobiledevice.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>

#include <stdexcept>

#include <sys/statvfs.h>

namespace {

// A poll this short keeps a cancel prompt; the bar is redrawn as soon as the
// program writes.
constexpr int kPollMs = 200;
constexpr int kStartWaitMs = 60000;
constexpr int kDefaultEstimate = 60;
constexpr double kSecondsPerMiB = 0.03;
// The program stops between two device-link messages; a phone busy sending a
// large file can hold it that long.
std::atomic<int> stopGraceMs{10000};
// What the log keeps of a long run: its last lines.
constexpr int kTranscriptLines = 2000;
constexpr int kErrorLines = 20;

const char *const kProgram = "idevicebackup2";

// The program's output, read as it comes: split on line feeds and on the
// carriage returns of its bar redraws, each piece judged once.
class ToolOutput
{
public:
    explicit ToolOutput(const QString &successLine) : successLine(successLine) {}

    void feed(QByteArray &pending, const QByteArray &bytes)
    {
        pending += bytes;
        int from = 0;
        for (int i = 0; i < pending.size(); ++i) {
            if (pending[i] != '\n' && pending[i] != '\r')
                continue;
            segment(pending.mid(from, i - from));
            from = i + 1;
        }
        pending.remove(0, from);
        // The bar is flushed without a line end: its latest redraw waits here.
        barPercent(QString::fromUtf8(pending));
    }

    void finish(QByteArray &pending)
    {
        segment(pending);
        pending.clear();
    }

    int percent = -1;
    bool succeeded = false;
    bool usage = false;
    bool failed = false; // a line that fails the run even at exit status 0
    QStringList errors;
    QStringList transcript;
    int dropped = 0;

private:
    // The length of a leading bar ("[===   ] 42%", its sizes or " Finished"),
    // 0 when the text does not begin with one.
    int barPercent(const QString &text)
    {
        static const QRegularExpression bar(
            QStringLiteral("^\\[[= ]*\\]\\s*(\\d{1,3})%(\\s*\\([^)]*\\))?(\\s*Finished)?"));
        const QRegularExpressionMatch m = bar.match(text);
        if (!m.hasMatch())
            return 0;
        percent = qMin(m.captured(1).toInt(), 100);
        return m.capturedLength(0);
    }

    void keep(const QString &line)
    {
        transcript << line;
        if (transcript.size() > kTranscriptLines) {
            transcript.removeFirst();
            ++dropped;
        }
    }

    void segment(const QByteArray &bytes)
    {
        QString line = QString::fromUtf8(bytes);
        line = line.mid(barPercent(line)).trimmed();
        if (line.isEmpty())
            return;
        keep(line);
        if (line == successLine)
            succeeded = true;
        if (line.startsWith(QLatin1String("Usage: ")))
            usage = true;
        // A line that only names a file says nothing of the outcome, whatever
        // the file is called.
        if (line.startsWith(QLatin1String("Sending '")) || line.startsWith(QLatin1String("Copying '")))
            return;
        // Nor do the paths quoted inside another line.
        static const QRegularExpression quoted(QStringLiteral("'.*'|\".*\""));
        QString judged = line;
        judged.remove(quoted);
        const bool fatal = judged.contains(QLatin1String("Failed")) || judged.contains(QLatin1String("Aborted"))
            || judged.contains(QLatin1String("ERROR:"));
        failed = failed || fatal;
        // The program's other error lines explain the failure; a run that
        // fails late may have printed many of them, and the verdict lines
        // come last.
        const bool explains = judged.contains(QLatin1String("error"), Qt::CaseInsensitive)
            || judged.startsWith(QLatin1String("No device found")) || judged.startsWith(QLatin1String("Could not"));
        if ((fatal && errors.size() < 2 * kErrorLines) || (explains && errors.size() < kErrorLines))
            errors << line;
    }

    QString successLine;
};

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
    // Virtual phones are served by the device library's stand-in, and the
    // backup program's stand-in beside it serves the same phones; real phones
    // get the program on PATH.
    if (mobileDeviceLibraryName() != QLatin1String("iTunesMobileDevice"))
        return QStandardPaths::findExecutable(QLatin1String(kProgram));
    const QString beside = QDir(commonProgramFilesDir())
                               .absoluteFilePath(QStringLiteral("Apple/Mobile Device Support/")
                                                 + QLatin1String(kProgram));
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStandardPaths::findExecutable(QLatin1String(kProgram));
}

void backup2tool::setStopGracePeriod(int ms)
{
    stopGraceMs = ms;
}

QStringList backup2tool::arguments(int op, const QString &udid, const QDir &root)
{
    const QString rootPath = QDir::toNativeSeparators(root.absolutePath());
    switch (op) {
    case BACKUP2TOOL_OP_BACKUP:
        return {"-u", udid, "backup", rootPath};
    case BACKUP2TOOL_OP_RESTORE:
        // The phone's own backup goes back onto it, system files included
        // (the message database lies among them); it restarts when done.
        return {"-u", udid, "-s", udid, "restore", "--system", rootPath};
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
    m_stopped = false;
    progress = 0;
    const int seconds = estimate();

    const QStringList args = arguments(options.op, udid, folder);
    if (args.isEmpty())
        throw std::runtime_error("unknown backup2tool_op.");

    const QString program = programPath();
    const QString cannotStart =
        QStringLiteral("can not start %1 process (package libimobiledevice-utils).").arg(QLatin1String(kProgram));
    if (program.isEmpty())
        throwError(cannotStart);
    // The program refuses a root that does not exist; it makes the phone's
    // folder in it itself.
    QDir().mkpath(folder.absolutePath());

    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(kStartWaitMs))
        throwError(cannotStart);

    ToolOutput output(
        QLatin1String(options.op == BACKUP2TOOL_OP_BACKUP ? "Backup Successful." : "Restore Successful."));
    QByteArray pendingOut, pendingErr;
    auto readOutput = [&] {
        output.feed(pendingOut, process.readAllStandardOutput());
        output.feed(pendingErr, process.readAllStandardError());
    };

    const qint64 start = QDateTime::currentSecsSinceEpoch();
    // The program waits for a phone that was unplugged in the middle of a
    // file for ever (Debian's 1.3.0 spins on the dead connection): the phone's
    // leaving stops it as a cancel does, and the run fails.
    bool phoneLeft = false;
    while (!stopRequested() && !(phoneLeft = device && mobiledevice_has_left(device))) {
        // Returns early when the program writes; false when it has ended.
        process.waitForReadyRead(kPollMs);
        readOutput();
        if (process.state() == QProcess::NotRunning)
            break;
        const qint64 elapsed = QDateTime::currentSecsSinceEpoch() - start;
        if (output.percent >= 0) {
            progress = output.percent;
            emit update(progress, QString(), QStringLiteral("%1%").arg(output.percent));
        } else {
            progress = progressAfter(elapsed, seconds);
            emit update(progress, QString(), QStringLiteral("%1 seconds passed").arg(elapsed));
        }
    }
    if ((phoneLeft || stopRequested()) && process.state() != QProcess::NotRunning) {
        // The user stopped it: the dialog has closed already, nothing to tell.
        // The program stops cleanly on SIGTERM; one that does not is killed.
        m_stopped = !phoneLeft;
        process.terminate();
        if (!process.waitForFinished(stopGraceMs)) {
            process.kill();
            process.waitForFinished(kStartWaitMs);
        }
    }
    process.waitForFinished(kStartWaitMs);
    readOutput();
    output.finish(pendingOut);
    output.finish(pendingErr);

    const bool crashed = process.exitStatus() == QProcess::CrashExit;
    const int status = process.exitCode();
    QStringList log = output.transcript;
    if (output.dropped > 0)
        log.prepend(QStringLiteral("(%1 earlier lines left out)").arg(output.dropped));
    qDebug("%s", log.join(QLatin1Char('\n')).toLocal8Bit().constData());
    qDebug("%s %s with %d%s", kProgram, crashed ? "crashed" : "exited", status, m_stopped ? " after a cancel" : "");
    if (m_stopped)
        return;
    if (phoneLeft)
        throwError(QStringLiteral("The iPhone was disconnected before the %1 was done. Plug it in again and keep it "
                                  "connected until the %1 is done.")
                       .arg(QLatin1String(options.op == BACKUP2TOOL_OP_BACKUP ? "backup" : "restore")));

    // A program that died half-way has not finished, whatever it printed.
    if (crashed)
        throwError(QStringLiteral("%1 process crashed (code %2).").arg(QLatin1String(kProgram)).arg(status));
    if (status != 0) {
        if (!output.errors.isEmpty())
            throwError(output.errors.join(QLatin1Char('\n')));
        if (output.usage)
            throwError(QStringLiteral("%1 did not accept its command line (exit status %2).")
                           .arg(QLatin1String(kProgram))
                           .arg(status));
        throwError(QStringLiteral("%1 failed with exit status %2.").arg(QLatin1String(kProgram)).arg(status));
    }
    if (output.failed)
        throwError(output.errors.join(QLatin1Char('\n')));
    if (!output.succeeded) {
        if (!output.errors.isEmpty())
            throwError(output.errors.join(QLatin1Char('\n')));
        throwError(QStringLiteral("%1 ended without reporting success (exit status 0).").arg(QLatin1String(kProgram)));
    }
}

void backup2tool::cancel()
{
    canceled = true;
}
