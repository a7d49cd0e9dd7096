#pragma once
// Runs the `adb` program (found on PATH) as a child process for one command and
// reads its output. Stateless and blocking; any thread may use one, and runs
// of several threads overlap freely.
//
// Waits: the short commands (devices, forward, the activity manager's
// broadcast, the package listing) end after a hard limit, kill-server after a
// shorter one, so a hung adb cannot freeze a pass or the exit. An install (and
// every other command) has no fixed limit: nothing else fits a large app on a
// slow phone. Every run also obeys the thread's CancelScope: a cancel kills
// adb at once.
#include "android/adbdevice.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class AdbClient
{
public:
    // "adb"
    static QString programName();

    // Runs adb with the arguments and returns standard output, or, when adb
    // wrote to standard error, "<error text>\n<output>"; both read as Latin-1
    // up to their first NUL. With throwOnError, standard error text throws
    // std::runtime_error with that text instead. adb that does not start gives
    // "run adb failed.", one stopped by limitMs (-1: none) or a cancel gives a
    // text saying so; both are thrown with throwOnError and returned otherwise.
    QString run(const QStringList &arguments, bool throwOnError, int limitMs = -1);

    QList<AdbDevice> devices();
    void killServer();
    void forward(const QString &serial, int localPort, int remotePort);
    QSet<QString> installedPackages(const QString &serial);
    // Throw the whole output when it has no "Success" line.
    void install(const QString &serial, const QString &apkPath);
    void uninstall(const QString &serial, const QString &package);
    // "shell am <verb>" with -n, -a, -d, -c (per category) and -t for the
    // non-empty values, in that order; throws the output on an "error:" line.
    void activityManager(const QString &serial, const QString &verb, const QString &component,
                         const QString &action, const QString &data, const QStringList &categories,
                         const QString &mimeType);
    QString logcat(const QString &serial);
    void forceStop(const QString &serial, const QString &package);

    // What the commands make of adb's text, apart from running it.
    // The lines after the header "List of devices attached" (any case), each
    // cut by ([a-zA-Z0-9\-_]+)[^a-zA-Z0-9\-_]+([a-zA-Z0-9\-_]+) into serial and
    // state; so "192.168.1.5:5555 device" gives serial "192" and state "168".
    static QList<AdbDevice> parseDevices(const QString &output);
    // The names after "package:" of `pm -l`.
    static QSet<QString> parsePackages(const QString &output);
    // A line that trimmed is "Success" in any case.
    static bool hasSuccessLine(const QString &output);
    // A line that trimmed starts with "error:" in any case.
    static bool hasErrorLine(const QString &output);

    // The hard limit of the short commands (ms); tests shorten it.
    static int shortCommandLimit();
    static void setShortCommandLimit(int ms);
    static constexpr int kDefaultShortCommandLimitMs = 30000;
    static constexpr int kKillServerLimitMs = 5000;

private:
    // run, telling whether adb was stopped (limit or cancel).
    QString execute(const QStringList &arguments, bool throwOnError, int limitMs, bool *stopped);
};
