#include "tests/support/emptyusbmuxlistener.h"

#include <QByteArray>
#include <QFile>

#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr quint32 kVersionPlist = 1;
constexpr quint32 kMessagePlist = 8;

quint32 le32(const char *p)
{
    return quint32(quint8(p[0])) | quint32(quint8(p[1])) << 8 | quint32(quint8(p[2])) << 16
        | quint32(quint8(p[3])) << 24;
}

void putLe32(QByteArray &out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}

bool readAll(int fd, char *buf, size_t n)
{
    while (n > 0) {
        const ssize_t got = read(fd, buf, n);
        if (got <= 0)
            return false;
        buf += got;
        n -= size_t(got);
    }
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    size_t n = size_t(bytes.size());
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put <= 0)
            return false;
        p += put;
        n -= size_t(put);
    }
    return true;
}

QByteArray plistDict(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
        + body + "</dict>\n</plist>\n";
}

} // namespace

EmptyUsbmuxListener::EmptyUsbmuxListener(const QString &socketPath) : path(socketPath)
{
    const QByteArray name = QFile::encodeName(socketPath);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof(addr.sun_path) || pipe(wakeFds) != 0)
        return;
    std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
    unlink(name.constData());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return;
    }
    listenFd = fd;
    thread = std::thread([this] { serve(); });
}

EmptyUsbmuxListener::~EmptyUsbmuxListener()
{
    if (thread.joinable()) {
        const char stop = 1;
        (void)!write(wakeFds[1], &stop, 1);
        thread.join();
    }
    if (listenFd >= 0) {
        close(listenFd);
        unlink(QFile::encodeName(path).constData());
    }
    for (int fd : wakeFds)
        if (fd >= 0)
            close(fd);
}

void EmptyUsbmuxListener::serve()
{
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            const int client = accept(listenFd, nullptr, nullptr);
            if (client >= 0) {
                converse(client);
                close(client);
            }
        }
    }
}

// One client, request by request, until it hangs up. A client of these tests
// asks once and closes, so serving one at a time is enough.
void EmptyUsbmuxListener::converse(int fd)
{
    for (;;) {
        char header[16];
        if (!readAll(fd, header, sizeof(header)))
            return;
        const quint32 length = le32(header);
        const quint32 tag = le32(header + 12);
        if (length < 16 || length > 1 << 20)
            return;
        QByteArray payload(int(length - 16), '\0');
        if (!readAll(fd, payload.data(), payload.size()))
            return;
        QByteArray body;
        if (payload.contains("ListDevices")) {
            ++lists;
            body = plistDict("\t<key>DeviceList</key>\n\t<array/>\n");
        } else {
            body = plistDict("\t<key>MessageType</key>\n\t<string>Result</string>\n"
                             "\t<key>Number</key>\n\t<integer>2</integer>\n");
        }
        QByteArray reply;
        putLe32(reply, quint32(16 + body.size()));
        putLe32(reply, kVersionPlist);
        putLe32(reply, kMessagePlist);
        putLe32(reply, tag);
        if (!writeAll(fd, reply + body))
            return;
    }
}

} // namespace testsupport
