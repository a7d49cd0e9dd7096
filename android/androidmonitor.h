#pragma once
// Watches adb's device list for the life of the main window and reports
// phones that enter it (deviceConnected) or leave it (deviceDisconnected). The
// loop runs on a pool thread of its own; the signals reach the window
// queued. Only entering and leaving are reported: a state change of a listed
// phone, or a phone that leaves and returns between two passes, is not.
//
// Shared state: the stop flag is atomic, the set of known serials sits under
// one lock (the GUI thread asks only whether it is empty). The destructor stops
// the loop at once (its waits and a running adb see the stop flag), then stops
// adb's server, which is the user's shared server.
#include "android/adbdevice.h"

#include <QFuture>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QThread>
#include <QThreadPool>
#include <atomic>

class AndroidMonitor : public QThread
{
    Q_OBJECT

public:
    explicit AndroidMonitor(QObject *parent = nullptr);
    ~AndroidMonitor() override;

    // Starts monitorLoop on the monitor's own pool thread; called once.
    void startMonitoring();
    // Starts adb's server (with the driver helper's help when adb does not say
    // it started one), then one pass every pass interval until stopped.
    void monitorLoop();

    bool hasKnownSerials() const;

    // The driver helper beside the program: "QuillmartenDeviceManager.exe".
    static QString deviceManagerPath();

    // Seams for tests, set before startMonitoring (ms, path).
    void setPassInterval(int ms) { passIntervalMs = ms; }
    void setDeviceManagerWait(int ms) { deviceManagerWaitMs = ms; }
    void setDeviceManagerProgram(const QString &path) { deviceManagerProgram = path; }

signals:
    void deviceConnected(const AdbDevice &device);
    void deviceDisconnected(QString serial);

private:
    void runDeviceManager();
    void pass();

    std::atomic<bool> stopRequested;
    mutable QMutex knownLock;
    QSet<QString> knownSerials;
    QThreadPool loopPool;
    QFuture<void> future;

    int passIntervalMs = 3000;
    int deviceManagerWaitMs = 5000;
    QString deviceManagerProgram;
};
