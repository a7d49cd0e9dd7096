#include "tests/support/fakecompanionapp.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutexLocker>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <QtTest/QTest>

namespace {

const int kSliceMs = 50;
const int kLineLimitMs = 30000;
const qint64 kOverlongBytes = 16 * 1024 * 1024 + 1;

bool writeAll(QTcpSocket *socket, const QByteArray &bytes, const std::atomic<bool> &stopping)
{
    socket->write(bytes);
    while (socket->bytesToWrite() > 0 && socket->state() == QAbstractSocket::ConnectedState
           && !stopping)
        socket->waitForBytesWritten(kSliceMs);
    return socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState;
}

// One line without "\n" and "\r"; false when the peer closed, or nothing came
// in time.
bool readRawLine(QTcpSocket *socket, QByteArray &line, const std::atomic<bool> &stopping,
                 int limitMs = kLineLimitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!stopping && clock.elapsed() < limitMs) {
        if (socket->canReadLine()) {
            line = socket->readLine();
            line.replace("\r", "");
            line.chop(1);
            return true;
        }
        if (socket->state() != QAbstractSocket::ConnectedState)
            return false;
        socket->waitForReadyRead(kSliceMs);
    }
    return false;
}

void closeGracefully(QTcpSocket *socket)
{
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(1000);
}

} // namespace

class FakeCompanionApp::Conversation
{
public:
    Conversation(FakeCompanionApp *app, QTcpSocket *socket, const QString &scheme, const Script &script)
        : app(app), socket(socket), scheme(scheme), script(script)
    {
    }

    // The app's next line; false when the conversation ends here.
    bool send(const QByteArray &line)
    {
        const QByteArray eol = script.crlf ? "\r\n" : "\n";
        const int step = next++;
        const Fault fault = script.faults.value(scheme, Fault::None);
        if (fault == Fault::None || script.faultSteps.value(scheme) != step)
            return writeAll(socket, line + eol, app->stopping);
        switch (fault) {
        case Fault::Error:
            writeAll(socket, "$error:" + script.errorText.toUtf8().toBase64() + eol, app->stopping);
            break;
        case Fault::WrongToken: {
            writeAll(socket, "$wrong:" + eol, app->stopping);
            QByteArray answer;
            if (readRawLine(socket, answer, app->stopping))
                app->record(scheme, QString::fromUtf8(answer));
            break;
        }
        case Fault::CloseMidLine:
            writeAll(socket, line.left(qMax(1, int(line.size() / 2))), app->stopping);
            break;
        case Fault::Silence:
            while (readLine(nullptr)) {
            }
            break;
        case Fault::Overlong:
            writeAll(socket, QByteArray(kOverlongBytes, 'x') + eol, app->stopping);
            break;
        case Fault::None:
            break;
        }
        return false;
    }

    // The PC's next line, recorded; false when it closed or stayed silent.
    bool readLine(QByteArray *line)
    {
        QByteArray got;
        if (!readRawLine(socket, got, app->stopping))
            return false;
        app->record(scheme, QString::fromUtf8(got));
        if (line)
            *line = got;
        return true;
    }

    void run()
    {
        if (!send("$ready:"))
            return;
        QByteArray line;
        if (scheme == QLatin1String("device2")) {
            if (send("$hello:" + script.hello.toUtf8()))
                readLine(&line);
        } else if (scheme == QLatin1String("backup2")) {
            runBackup();
        } else if (scheme == QLatin1String("restore2")) {
            runRestore();
        } else {
            while (readLine(&line)) {
            }
        }
    }

private:
    void runBackup()
    {
        QByteArray line;
        if (script.count >= 0 && !send("$count:" + QByteArray::number(script.count)))
            return;
        for (const QStringList &batch : std::as_const(script.batches)) {
            if (!send("$batch:"))
                return;
            for (const QString &sms : batch) {
                if (!send("$sms:" + sms.toUtf8()))
                    return;
            }
            if (!send("$end:") || !readLine(&line))
                return;
        }
        if (send("$bye:"))
            readLine(&line);
    }

    void runRestore()
    {
        QByteArray line;
        if (!send("$defsmsapp:" + QByteArray::number(script.defSmsApp)))
            return;
        if (script.defSmsApp != 0 && !readLine(&line))
            return;
        int sms = 0;
        while (readLine(&line)) {
            if (line.startsWith("$bye:"))
                return;
            if (!line.startsWith("$batch:"))
                continue;
            while (readLine(&line) && !line.startsWith("$end:")) {
                if (line.startsWith("$sms:") && ++sms == script.restoreDrop) {
                    app->clearRestoreDrop();
                    socket->abort();
                    return;
                }
            }
            if (!send("$batch:"))
                return;
        }
    }

    FakeCompanionApp *app;
    QTcpSocket *socket;
    QString scheme;
    Script script;
    int next = 0;
};

FakeCompanionApp::FakeCompanionApp(quint16 controlPort) : wantedPort(controlPort)
{
    control.reset(QThread::create([this]() { controlLoop(); }));
    control->start();
    QDeadlineTimer deadline(10000);
    while (port == 0 && !deadline.hasExpired())
        QThread::msleep(5);
    if (port == 0)
        qFatal("the fake companion app could not listen");
}

FakeCompanionApp::~FakeCompanionApp()
{
    stopping = true;
    control->wait();
    QList<QThread *> threads;
    {
        QMutexLocker guard(&lock);
        threads = services.values();
        services.clear();
    }
    for (QThread *thread : threads) {
        thread->wait();
        delete thread;
    }
}

quint16 FakeCompanionApp::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        qFatal("no free loopback port");
    return probe.serverPort();
}

void FakeCompanionApp::setFault(const QString &scheme, Fault fault, int step, const QString &errorText)
{
    QMutexLocker guard(&lock);
    script.faults.insert(scheme, fault);
    script.faultSteps.insert(scheme, step);
    script.errorText = errorText;
}

void FakeCompanionApp::setCrLf(bool on)
{
    QMutexLocker guard(&lock);
    script.crlf = on;
}

void FakeCompanionApp::setHello(const QString &payload)
{
    QMutexLocker guard(&lock);
    script.hello = payload;
}

void FakeCompanionApp::setBackup(const QList<QStringList> &batches, int count)
{
    QMutexLocker guard(&lock);
    script.batches = batches;
    script.count = count;
}

void FakeCompanionApp::setDefSmsApp(int value)
{
    QMutexLocker guard(&lock);
    script.defSmsApp = value;
}

void FakeCompanionApp::setRestoreDrop(int smsLines)
{
    QMutexLocker guard(&lock);
    script.restoreDrop = smsLines;
}

void FakeCompanionApp::clearRestoreDrop()
{
    QMutexLocker guard(&lock);
    script.restoreDrop = 0;
}

void FakeCompanionApp::setStatusFailure(const QString &text)
{
    QMutexLocker guard(&lock);
    script.statusFailure = text;
}

void FakeCompanionApp::setStatusSilent(bool on)
{
    QMutexLocker guard(&lock);
    script.statusSilent = on;
}

void FakeCompanionApp::setNoService(bool on)
{
    QMutexLocker guard(&lock);
    script.noService = on;
}

void FakeCompanionApp::setServiceDelay(int ms)
{
    QMutexLocker guard(&lock);
    script.serviceDelayMs = ms;
}

void FakeCompanionApp::setDroppedConnections(int n)
{
    QMutexLocker guard(&lock);
    script.dropped = n;
}

QStringList FakeCompanionApp::controlRequests() const
{
    QMutexLocker guard(&lock);
    return requests;
}

QStringList FakeCompanionApp::received(const QString &scheme) const
{
    QMutexLocker guard(&lock);
    return lines.value(scheme);
}

int FakeCompanionApp::connections(const QString &scheme) const
{
    QMutexLocker guard(&lock);
    return opened.value(scheme);
}

bool FakeCompanionApp::waitForReceived(const QString &scheme, int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (received(scheme).size() < count && !deadline.hasExpired())
        QTest::qWait(10);
    return received(scheme).size() >= count;
}

bool FakeCompanionApp::waitForClosed(const QString &scheme, int closedConnections, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    auto done = [&]() {
        QMutexLocker guard(&lock);
        return closed.value(scheme) >= closedConnections;
    };
    while (!done() && !deadline.hasExpired())
        QTest::qWait(10);
    return done();
}

void FakeCompanionApp::record(const QString &scheme, const QString &line)
{
    QMutexLocker guard(&lock);
    lines[scheme].append(line);
}

void FakeCompanionApp::controlLoop()
{
    QTcpServer server;
    // A fixed port may still be held a moment by a test process just ending.
    QElapsedTimer clock;
    clock.start();
    while (!server.listen(QHostAddress::LocalHost, wantedPort)) {
        if (wantedPort == 0 || clock.elapsed() > 8000 || stopping)
            return;
        QThread::msleep(100);
    }
    port = server.serverPort();
    while (!stopping) {
        if (!server.waitForNewConnection(kSliceMs))
            continue;
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        if (!socket)
            continue;
        {
            QMutexLocker guard(&lock);
            opened[QStringLiteral("control")] += 1;
        }
        serveControl(socket.get());
        socket.reset();
        QMutexLocker guard(&lock);
        closed[QStringLiteral("control")] += 1;
    }
}

void FakeCompanionApp::serveControl(QTcpSocket *socket)
{
    QByteArray request;
    if (!readRawLine(socket, request, stopping, 5000))
        return;
    Script now;
    {
        QMutexLocker guard(&lock);
        requests.append(QString::fromUtf8(request));
        now = script;
    }
    const QUrl url(QString::fromUtf8(request));
    if (now.statusSilent) {
        QByteArray ignored;
        while (readRawLine(socket, ignored, stopping)) {
        }
        return;
    }
    const QByteArray eol = now.crlf ? "\r\n" : "\n";
    if (!now.statusFailure.isEmpty()) {
        writeAll(socket, "0" + now.statusFailure.toUtf8().toBase64() + eol, stopping);
    } else {
        // A port held by another test process on this machine fails the
        // broadcast at once: the program then reports it instead of waiting
        // for a service that never answers.
        if (!now.noService && url.port() > 0 && !startService(url.scheme(), quint16(url.port()), now.serviceDelayMs))
            writeAll(socket, "0" + QByteArray("port taken").toBase64() + eol, stopping);
        else
            writeAll(socket, "1" + eol, stopping);
    }
    closeGracefully(socket);
}

bool FakeCompanionApp::startService(const QString &scheme, quint16 servicePort, int delayMs)
{
    QMutexLocker guard(&lock);
    if (services.contains(servicePort))
        return true;
    auto bound = std::make_shared<QSemaphore>();
    auto taken = std::make_shared<std::atomic<bool>>(false);
    QThread *thread = QThread::create([this, scheme, servicePort, delayMs, bound, taken]() {
        if (delayMs > 0) {
            bound->release();
            QElapsedTimer clock;
            clock.start();
            while (!stopping && clock.elapsed() < delayMs)
                QThread::msleep(10);
        }
        QTcpServer server;
        const bool listening = server.listen(QHostAddress::LocalHost, servicePort);
        taken->store(!listening);
        if (delayMs <= 0)
            bound->release();
        if (!listening) {
            qWarning("fake companion app: port %u is taken", unsigned(servicePort));
            return;
        }
        while (!stopping) {
            if (!server.waitForNewConnection(kSliceMs))
                continue;
            QTcpSocket *socket = server.nextPendingConnection();
            if (!socket)
                continue;
            bool drop = false;
            {
                QMutexLocker inner(&lock);
                opened[scheme] += 1;
                if (script.dropped > 0) {
                    script.dropped -= 1;
                    drop = true;
                }
            }
            if (drop)
                socket->abort();
            else
                serve(socket, scheme);
            delete socket;
            QMutexLocker inner(&lock);
            closed[scheme] += 1;
        }
    });
    services.insert(servicePort, thread);
    thread->start();
    guard.unlock();
    bound->tryAcquire(1, 10000);
    return !taken->load();
}

void FakeCompanionApp::serve(QTcpSocket *socket, const QString &scheme)
{
    Script now;
    {
        QMutexLocker guard(&lock);
        now = script;
    }
    Conversation(this, socket, scheme, now).run();
    closeGracefully(socket);
}
