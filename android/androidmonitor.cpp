#include "android/androidmonitor.h"

#include "android/adbclient.h"
#include "android/cancelscope.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QProcess>
#include <QStringList>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <exception>

AndroidMonitor::AndroidMonitor(QObject *parent)
    : QThread(parent), stopRequested(false), deviceManagerProgram(deviceManagerPath())
{
    qRegisterMetaType<AdbDevice>("AdbDevice");
}

AndroidMonitor::~AndroidMonitor()
{
    qDebug("%s", "~AndroidMonitor begin");
    stopRequested = true;
    future.waitForFinished();
    AdbClient().killServer();
    qDebug("%s", "~AndroidMonitor end");
}

QString AndroidMonitor::deviceManagerPath()
{
    return QDir::toNativeSeparators(
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("QuillmartenDeviceManager.exe"));
}

void AndroidMonitor::startMonitoring()
{
    // A pool of its own: the loop never ends, and on a machine with one core
    // the global pool has one thread, which Qt's painting also waits for.
    loopPool.setMaxThreadCount(1);
    future = QtConcurrent::run(&loopPool, &AndroidMonitor::monitorLoop, this);
}

bool AndroidMonitor::hasKnownSerials() const
{
    QMutexLocker lock(&knownLock);
    return !knownSerials.isEmpty();
}

void AndroidMonitor::monitorLoop()
{
    // Every adb run and wait of this loop ends as soon as the stop flag is set.
    CancelScope stopScope(&stopRequested);
    AdbClient adb;
    const QString started = adb.run({QStringLiteral("start-server")}, false);
    // Stopped already (the destructor may even run the loop itself when the
    // pool had not started it yet): no helper, no passes.
    if (stopRequested)
        return;
    if (!started.contains(QLatin1String("daemon started successfully"), Qt::CaseInsensitive)) {
        runDeviceManager();
        adb.run({QStringLiteral("start-server")}, false);
    }
    while (!stopRequested) {
        pass();
        if (!CancelScope::sleepFor(passIntervalMs))
            break;
    }
}

void AndroidMonitor::runDeviceManager()
{
    QProcess helper;
    helper.start(deviceManagerProgram, QStringList());
    if (!helper.waitForStarted())
        return;
    QElapsedTimer clock;
    clock.start();
    while (helper.state() != QProcess::NotRunning && clock.elapsed() < deviceManagerWaitMs
           && !stopRequested) {
        helper.waitForFinished(int(qMin<qint64>(CancelScope::kSliceMs,
                                                deviceManagerWaitMs - clock.elapsed())));
    }
    // Whatever the helper still does after its time is cut off, so that no
    // child of the monitor outlives it.
    if (helper.state() != QProcess::NotRunning) {
        helper.kill();
        helper.waitForFinished(2000);
    }
}

void AndroidMonitor::pass()
{
    try {
        const QList<AdbDevice> devices = AdbClient().devices();
        QSet<QString> current;
        for (const AdbDevice &device : devices) {
            current.insert(device.serial);
            bool isNew = false;
            {
                QMutexLocker lock(&knownLock);
                if (!knownSerials.contains(device.serial)) {
                    knownSerials.insert(device.serial);
                    isNew = true;
                }
            }
            if (isNew)
                emit deviceConnected(device);
        }
        QStringList gone;
        {
            QMutexLocker lock(&knownLock);
            for (const QString &serial : std::as_const(knownSerials)) {
                if (!current.contains(serial))
                    gone.append(serial);
            }
            for (const QString &serial : std::as_const(gone))
                knownSerials.remove(serial);
        }
        for (const QString &serial : std::as_const(gone))
            emit deviceDisconnected(serial);
    } catch (const std::exception &) {
        // adb failed this time: nothing is reported and nothing forgotten, so a
        // phone does not count as gone because one pass went wrong.
    }
}
