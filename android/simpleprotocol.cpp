#include "android/simpleprotocol.h"

#include "android/cancelscope.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QIODevice>
#include <atomic>

namespace simpleprotocol {

const char *const kCancelled = "Operation cancelled.";
const char *const kDevice2Url = "device2://127.0.0.1:%1";
const char *const kBackup2Url = "backup2://127.0.0.1:%1";
const char *const kRestore2Url = "restore2://127.0.0.1:%1";

SocketDataTransferException::SocketDataTransferException(const QString &message)
    : std::runtime_error(message.toUtf8().toStdString())
{
}

RemoteException::RemoteException(const QString &message)
    : std::runtime_error(message.toUtf8().toStdString())
{
}

LocalException::LocalException(QIODevice *device, const QString &message)
    : std::runtime_error(message.toUtf8().toStdString())
{
    sendCommand(device, QStringLiteral("$error:"), QString::fromLatin1(message.toUtf8().toBase64()),
                true, -1);
}

namespace {

const QString kErrorToken = QStringLiteral("$error:");

enum class WaitFor { Read, Write };

// One slice of waiting for the device. Returns when the caller should look at
// the device again; throws on cancel, on a device that failed or closed, and
// when idle (time since the last progress) has reached the timeout.
void waitSlice(QIODevice *device, WaitFor what, int timeoutMs, const QElapsedTimer &idle)
{
    auto *socket = qobject_cast<QAbstractSocket *>(device);
    if (CancelScope::cancelRequested()) {
        if (socket)
            socket->abort();
        throw SocketDataTransferException(QString::fromLatin1(kCancelled));
    }
    qint64 slice = CancelScope::kSliceMs;
    if (timeoutMs >= 0)
        slice = qBound<qint64>(0, timeoutMs - idle.elapsed(), slice);
    const bool ready = what == WaitFor::Read ? device->waitForReadyRead(int(slice))
                                             : device->waitForBytesWritten(int(slice));
    if (ready)
        return;
    // A socket that only ran out of this slice is still worth waiting for;
    // anything else (closed, failed, a buffer at its end) is final.
    const bool sliceOver = socket && socket->state() == QAbstractSocket::ConnectedState
                           && socket->error() == QAbstractSocket::SocketTimeoutError;
    if (!sliceOver || (timeoutMs >= 0 && idle.elapsed() >= timeoutMs))
        throw SocketDataTransferException(device->errorString());
}

// Writes a socket's buffered bytes to the network. QAbstractSocket::flush
// alone answers false when the kernel's buffer is full for a moment, which is
// no failure; waiting until the buffer is empty is.
void pushOut(QIODevice *device, int timeoutMs)
{
    auto *socket = qobject_cast<QAbstractSocket *>(device);
    if (!socket)
        return;
    QElapsedTimer idle;
    idle.start();
    socket->flush();
    while (socket->bytesToWrite() > 0) {
        const qint64 before = socket->bytesToWrite();
        waitSlice(socket, WaitFor::Write, timeoutMs, idle);
        if (socket->bytesToWrite() < before)
            idle.restart();
    }
    if (socket->state() != QAbstractSocket::ConnectedState)
        throw SocketDataTransferException(socket->errorString());
}

} // namespace

QString readLine(QIODevice *device, int timeoutMs)
{
    QByteArray line;
    qint64 taken = 0; // bytes of this line consumed so far, carriage returns included
    char chunk[4096];
    QElapsedTimer idle;
    idle.start();
    for (;;) {
        if (!device->isReadable())
            throw SocketDataTransferException(device->errorString());
        // QIODevice::readLine stops after the first line feed, so the next
        // line (or raw data after it) stays in the device for the next call.
        const qint64 n = device->readLine(chunk, sizeof chunk);
        if (n > 0) {
            const bool complete = chunk[n - 1] == '\n';
            const qint64 body = complete ? n - 1 : n;
            taken += body;
            if (taken > kMaxLineBytes)
                throw SocketDataTransferException(
                    QStringLiteral("Line longer than %1 bytes.").arg(kMaxLineBytes));
            for (qint64 i = 0; i < body; ++i) {
                if (chunk[i] != '\r')
                    line.append(chunk[i]);
            }
            if (complete)
                return QString::fromLatin1(line);
            idle.restart();
            continue;
        }
        waitSlice(device, WaitFor::Read, timeoutMs, idle);
    }
}

QString readCommand(QIODevice *device, int timeoutMs)
{
    const QString line = readLine(device, timeoutMs);
    if (line.isEmpty())
        throw SocketDataTransferException(QStringLiteral("Null command."));
    if (line.startsWith(kErrorToken)) {
        QByteArray text = QByteArray::fromBase64(line.mid(kErrorToken.size()).toLatin1());
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        throw RemoteException(QString::fromUtf8(text));
    }
    return line;
}

QString expectCommand(QIODevice *device, const QString &token, int timeoutMs)
{
    const QString line = readCommand(device, timeoutMs);
    if (line.startsWith(token))
        return line;
    throw LocalException(device,
                         QStringLiteral("invalid feedback [%1], must be [%2]").arg(line, token));
}

void sendCommand(QIODevice *device, const QString &token, const QString &payload, bool flush,
                 int timeoutMs)
{
    writeString(device, token + payload + QLatin1Char('\n'), flush, timeoutMs);
}

void writeString(QIODevice *device, const QString &text, bool flush, int timeoutMs)
{
    const QByteArray bytes = text.toUtf8();
    writeData(device, bytes.constData(), bytes.size(), flush, timeoutMs);
}

void writeData(QIODevice *device, const char *data, qint64 length, bool flush, int timeoutMs)
{
    if (length <= 0)
        return;
    qint64 done = 0;
    QElapsedTimer idle;
    idle.start();
    while (done < length) {
        if (!device->isWritable())
            throw SocketDataTransferException(device->errorString());
        const qint64 n = device->write(data + done, length - done);
        if (n > 0) {
            done += n;
            idle.restart();
            continue;
        }
        waitSlice(device, WaitFor::Write, timeoutMs, idle);
    }
    if (flush)
        pushOut(device, timeoutMs);
}

void readData(QIODevice *device, char *buffer, qint64 length, int timeoutMs)
{
    qint64 done = 0;
    QElapsedTimer idle;
    idle.start();
    while (done < length) {
        if (!device->isReadable())
            throw SocketDataTransferException(device->errorString());
        const qint64 n = device->read(buffer + done, length - done);
        if (n > 0) {
            done += n;
            idle.restart();
            continue;
        }
        waitSlice(device, WaitFor::Read, timeoutMs, idle);
    }
}

} // namespace simpleprotocol

namespace {
// The next counter value to use; 100 is never used, the step after 99 gives 1.
std::atomic<int> s_portCounter{1};
} // namespace

int nextServicePort(const QTime &now)
{
    int current = s_portCounter.load();
    int use = 0;
    do {
        use = current % 100 == 0 ? 1 : current;
    } while (!s_portCounter.compare_exchange_weak(current, use + 1));
    return (now.minute() % 4 + 1) * 10000 + now.second() * 100 + use;
}

int nextServicePort()
{
    return nextServicePort(QTime::currentTime());
}
