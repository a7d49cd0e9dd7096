#include "android/adbclient.h"

#include "android/cancelscope.h"
#include "android/simpleprotocol.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <atomic>
#include <stdexcept>

namespace {

const char *const kRunFailed = "run adb failed.";
const int kStartWaitMs = 10000;
// After a kill, the moment adb takes to go away.
const int kReapWaitMs = 2000;

std::atomic<int> s_shortCommandLimit{AdbClient::kDefaultShortCommandLimitMs};

// Bytes as characters of the same code, up to the first NUL.
QString latin1UpToNul(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? bytes : bytes.left(nul));
}

QString failure(const QString &text, bool throwOnError)
{
    if (throwOnError)
        throw std::runtime_error(text.toUtf8().toStdString());
    return text;
}

QStringList deviceArguments(const QString &serial, const QStringList &rest)
{
    return QStringList{QStringLiteral("-s"), serial} + rest;
}

} // namespace

QString AdbClient::programName()
{
    return QStringLiteral("adb");
}

int AdbClient::shortCommandLimit()
{
    return s_shortCommandLimit.load();
}

void AdbClient::setShortCommandLimit(int ms)
{
    s_shortCommandLimit.store(ms);
}

QString AdbClient::run(const QStringList &arguments, bool throwOnError, int limitMs)
{
    return execute(arguments, throwOnError, limitMs, nullptr);
}

QString AdbClient::execute(const QStringList &arguments, bool throwOnError, int limitMs, bool *stopped)
{
    if (stopped)
        *stopped = false;
    if (CancelScope::cancelRequested()) {
        if (stopped)
            *stopped = true;
        return failure(QString::fromLatin1(simpleprotocol::kCancelled), throwOnError);
    }

    QProcess process;
    process.start(programName(), arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(kStartWaitMs))
        return failure(QString::fromLatin1(kRunFailed), throwOnError);
    // adb shell would otherwise wait for input that never comes.
    process.closeWriteChannel();

    QElapsedTimer clock;
    clock.start();
    QString why;
    while (process.state() != QProcess::NotRunning) {
        if (CancelScope::cancelRequested()) {
            why = QString::fromLatin1(simpleprotocol::kCancelled);
            break;
        }
        qint64 slice = CancelScope::kSliceMs;
        if (limitMs >= 0) {
            const qint64 left = limitMs - clock.elapsed();
            if (left <= 0) {
                why = QStringLiteral("adb %1 did not finish within %2 ms.")
                              .arg(arguments.join(QLatin1Char(' ')))
                              .arg(limitMs);
                break;
            }
            slice = qMin(slice, left);
        }
        process.waitForFinished(int(slice));
    }
    if (!why.isEmpty()) {
        process.kill();
        process.waitForFinished(kReapWaitMs);
        if (stopped)
            *stopped = true;
        return failure(why, throwOnError);
    }

    const QString errorText = latin1UpToNul(process.readAllStandardError());
    const QString outputText = latin1UpToNul(process.readAllStandardOutput());
    if (errorText.isEmpty())
        return outputText;
    if (throwOnError)
        throw std::runtime_error(errorText.toUtf8().toStdString());
    return QStringLiteral("%0\n%1").arg(errorText, outputText);
}

QList<AdbDevice> AdbClient::devices()
{
    return parseDevices(run({QStringLiteral("devices")}, true, shortCommandLimit()));
}

void AdbClient::killServer()
{
    run({QStringLiteral("kill-server")}, false, kKillServerLimitMs);
}

void AdbClient::forward(const QString &serial, int localPort, int remotePort)
{
    run(deviceArguments(serial, {QStringLiteral("forward"), QStringLiteral("tcp:%0").arg(localPort),
                                 QStringLiteral("tcp:%0").arg(remotePort)}),
        true, shortCommandLimit());
}

QSet<QString> AdbClient::installedPackages(const QString &serial)
{
    return parsePackages(
        run(deviceArguments(serial, {QStringLiteral("shell"), QStringLiteral("pm"), QStringLiteral("-l")}),
            false, shortCommandLimit()));
}

void AdbClient::install(const QString &serial, const QString &apkPath)
{
    const QString output = run(deviceArguments(serial, {QStringLiteral("install"), apkPath}), false);
    if (!hasSuccessLine(output))
        throw std::runtime_error(output.toUtf8().toStdString());
}

void AdbClient::uninstall(const QString &serial, const QString &package)
{
    const QString output = run(deviceArguments(serial, {QStringLiteral("uninstall"), package}), true);
    if (!hasSuccessLine(output))
        throw std::runtime_error(output.toUtf8().toStdString());
}

void AdbClient::activityManager(const QString &serial, const QString &verb, const QString &component,
                                const QString &action, const QString &data,
                                const QStringList &categories, const QString &mimeType)
{
    QStringList arguments{QStringLiteral("shell"), QStringLiteral("am"), verb};
    if (!component.isEmpty())
        arguments << QStringLiteral("-n") << component;
    if (!action.isEmpty())
        arguments << QStringLiteral("-a") << action;
    if (!data.isEmpty())
        arguments << QStringLiteral("-d") << data;
    for (const QString &category : categories)
        arguments << QStringLiteral("-c") << category;
    if (!mimeType.isEmpty())
        arguments << QStringLiteral("-t") << mimeType;
    // A broadcast cut off by its limit or a cancel did not reach the app.
    bool stopped = false;
    const QString output = execute(deviceArguments(serial, arguments), false, shortCommandLimit(), &stopped);
    if (stopped || hasErrorLine(output))
        throw std::runtime_error(output.toUtf8().toStdString());
}

QString AdbClient::logcat(const QString &serial)
{
    return run(deviceArguments(serial, {QStringLiteral("shell"), QStringLiteral("logcat"), QStringLiteral("-d")}),
               false);
}

void AdbClient::forceStop(const QString &serial, const QString &package)
{
    run(deviceArguments(serial, {QStringLiteral("shell"), QStringLiteral("am"), QStringLiteral("force-stop"), package}),
        false);
}

QList<AdbDevice> AdbClient::parseDevices(const QString &output)
{
    static const QRegularExpression entry(
        QStringLiteral("([a-zA-Z0-9\\-_]+)[^a-zA-Z0-9\\-_]+([a-zA-Z0-9\\-_]+)"));
    QList<AdbDevice> result;
    bool afterHeader = false;
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (!afterHeader) {
            afterHeader = line.compare(QLatin1String("List of devices attached"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const QRegularExpressionMatch match = entry.match(line);
        if (!match.hasMatch())
            continue;
        AdbDevice device;
        device.line = line;
        device.serial = match.captured(1);
        device.state = match.captured(2);
        result.append(device);
    }
    return result;
}

QSet<QString> AdbClient::parsePackages(const QString &output)
{
    QSet<QString> packages;
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1String("package:")))
            packages.insert(line.mid(8).trimmed());
    }
    return packages;
}

bool AdbClient::hasSuccessLine(const QString &output)
{
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.trimmed().compare(QLatin1String("Success"), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool AdbClient::hasErrorLine(const QString &output)
{
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.trimmed().toLower().startsWith(QLatin1String("error:")))
            return true;
    }
    return false;
}
