#pragma once
// The companion app on loopback, in the test process but on threads of its
// own, so code under test may block on it from the test's thread.
//
// Control listener (127.0.0.1, any port): reads one line, a service URL (from
// the WiFi opening, or from the fake adb's broadcast), opens a listener on the
// URL's port on 127.0.0.1 and answers one status line: "1" when it listens,
// "0" + base64(UTF-8 text) when told to fail.
// On every service connection: "$ready:", then the service's own lines:
//   device2   "$hello:" + hello payload; reads the PC's "$bye:"
//   backup2   "$count:" + n (when set); per batch "$batch:", "$sms:" lines,
//             "$end:", then reads the PC's "$batch:"; "$bye:", reads "$bye:"
//   restore2  "$defsmsapp:" + value (reads the PC's "$defsmsapp:" when not 0);
//             then reads "$batch:" ... "$end:" and answers "$batch:" per
//             batch, until the PC's "$bye:"; setRestoreDrop closes the
//             connection after the n-th "$sms:" line instead
// The app's own lines of a conversation are counted from 0 ("$ready:" is 0);
// a fault replaces the line of its step and ends the conversation.
// Everything the PC sends is recorded.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>

class QThread;
class QTcpSocket;

class FakeCompanionApp
{
public:
    enum class Fault {
        None,
        Error,        // "$error:" + base64(UTF-8 errorText)
        WrongToken,   // "$wrong:" instead; then reads the PC's "$error:"
        CloseMidLine, // half of the line without its line feed, then closes
        Silence,      // says nothing more and stays connected
        Overlong,     // a line of 16 MiB + 1 bytes before its line feed
    };

    // controlPort 0 listens on any free port; a fixed one (44441, the port
    // the WiFi dialog always uses) must be free, or the constructor fails.
    explicit FakeCompanionApp(quint16 controlPort = 0);
    ~FakeCompanionApp();
    FakeCompanionApp(const FakeCompanionApp &) = delete;
    FakeCompanionApp &operator=(const FakeCompanionApp &) = delete;

    quint16 controlPort() const { return port; }
    // A loopback port that nothing listened on a moment ago.
    static quint16 freePort();

    // Script, set before the PC connects.
    void setFault(const QString &scheme, Fault fault, int step, const QString &errorText = QString());
    void setCrLf(bool on);
    void setHello(const QString &payload);
    // backup2: count < 0 sends no "$count:" line.
    void setBackup(const QList<QStringList> &batches, int count);
    void setDefSmsApp(int value);
    // restore2: the connection is closed right after the n-th "$sms:" line
    // of the next conversation (0: never), as a phone that goes away.
    void setRestoreDrop(int smsLines);
    // Control: answer "0" + base64(text) and start nothing.
    void setStatusFailure(const QString &text);
    // Control: read the URL and never answer.
    void setStatusSilent(bool on);
    // Control: answer "1" but open no service listener.
    void setNoService(bool on);
    // The service listener opens ms after the request (a service that is
    // slow to come up behind adb's forward).
    void setServiceDelay(int ms);
    // The first n connections of a service are closed at once, as adb's
    // forward does while the app's service is not listening yet.
    void setDroppedConnections(int n);

    // Records.
    QStringList controlRequests() const;
    QStringList received(const QString &scheme) const;
    // Connections accepted for a scheme, or for "control".
    int connections(const QString &scheme) const;
    // Wait (at most timeoutMs) until that many lines came from the PC, or that
    // many connections of the scheme (or "control") have ended on the app's
    // side.
    bool waitForReceived(const QString &scheme, int lines, int timeoutMs = 20000) const;
    bool waitForClosed(const QString &scheme, int closedConnections, int timeoutMs = 20000) const;

private:
    struct Script
    {
        QHash<QString, Fault> faults;
        QHash<QString, int> faultSteps;
        QString errorText;
        bool crlf = false;
        QString hello;
        QList<QStringList> batches;
        int count = -1;
        int defSmsApp = 0;
        int restoreDrop = 0;
        QString statusFailure;
        bool statusSilent = false;
        bool noService = false;
        int serviceDelayMs = 0;
        int dropped = 0;
    };
    class Conversation;

    void controlLoop();
    void serveControl(QTcpSocket *socket);
    void serve(QTcpSocket *socket, const QString &scheme);
    // False when the port is held by another process (known only without a delay).
    bool startService(const QString &scheme, quint16 servicePort, int delayMs);
    void record(const QString &scheme, const QString &line);
    void clearRestoreDrop();

    std::atomic<bool> stopping{false};
    quint16 wantedPort = 0;
    std::atomic<quint16> port{0};
    mutable QMutex lock;
    Script script;
    QStringList requests;
    QHash<QString, QStringList> lines;
    QHash<QString, int> opened;
    QHash<QString, int> closed;
    QHash<quint16, QThread *> services;
    std::unique_ptr<QThread> control;
};
