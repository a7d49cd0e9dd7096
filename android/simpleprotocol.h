#pragma once
// The companion app's line protocol, spoken over TCP (in practice a QTcpSocket
// on a worker thread; any QIODevice, a QBuffer too, reads the same way).
//
// A line on the wire:
//   "$" word ":" payload "\n"      a command line; "$word:" is its token
//   any text "\n"                  the WiFi control exchange (bare URL, status)
// - A line ends at the first 0x0A. Every 0x0D is dropped wherever it stands,
//   so "\r\n" reads like "\n".
// - Read bytes become characters of the same code (Latin-1); lines are written
//   as UTF-8. Text beyond ASCII therefore travels as base64 of UTF-8.
// - "$error:" + base64(UTF-8 text) may come instead of any expected line.
// - A line longer than kMaxLineBytes fails the read: a broken app, or whatever
//   else answers on the WiFi port, cannot make the reader hold unbounded memory.
//
// Timeouts are in ms, -1 for none; a timeout bounds each single wait for more
// bytes, not the whole line. Every wait also sees the thread's CancelScope: a
// cancel aborts a socket and throws SocketDataTransferException(kCancelled).
// After any exception the connection stands in mid-line; callers drop it.
#include <QString>
#include <QTime>
#include <stdexcept>

class QIODevice;

namespace simpleprotocol {

// A read or write failed, the peer closed, a wait timed out, a command line was
// empty ("Null command."), a line was too long, or the wait was cancelled.
class SocketDataTransferException : public std::runtime_error
{
public:
    explicit SocketDataTransferException(const QString &message);
};

// The peer sent "$error:"; what() is its decoded text.
class RemoteException : public std::runtime_error
{
public:
    explicit RemoteException(const QString &message);
};

// This side got a line it did not expect. Constructing one first tells the
// peer with "$error:"; a failure of that send throws SocketDataTransferException
// from the constructor instead.
class LocalException : public std::runtime_error
{
public:
    LocalException(QIODevice *device, const QString &message);
};

const qint64 kMaxLineBytes = 16 * 1024 * 1024;
extern const char *const kCancelled; // "Operation cancelled."

// Service URLs; %1 is the port from nextServicePort.
extern const char *const kDevice2Url;  // "device2://127.0.0.1:%1"
extern const char *const kBackup2Url;  // "backup2://127.0.0.1:%1"
extern const char *const kRestore2Url; // "restore2://127.0.0.1:%1"

// One line without its line feed and without carriage returns.
QString readLine(QIODevice *device, int timeoutMs);
// One non-empty line that is not "$error:", token included.
QString readCommand(QIODevice *device, int timeoutMs);
// One command line starting with token (case-sensitive), returned whole.
QString expectCommand(QIODevice *device, const QString &token, int timeoutMs);
// token + payload + "\n". flush pushes a socket's bytes to the network now.
void sendCommand(QIODevice *device, const QString &token, const QString &payload, bool flush,
                 int timeoutMs);
void writeString(QIODevice *device, const QString &text, bool flush, int timeoutMs);
void writeData(QIODevice *device, const char *data, qint64 length, bool flush, int timeoutMs);
void readData(QIODevice *device, char *buffer, qint64 length, int timeoutMs);

} // namespace simpleprotocol

// The TCP port for the next service connection:
// (minute % 4 + 1) * 10000 + second * 100 + counter, with a process-wide counter
// running 1..99 (taken and stepped in one atomic step). 10001..45999.
int nextServicePort();
// The same at a given local time.
int nextServicePort(const QTime &now);
