#include "wirestream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {
// No lockdown message comes near it.
const uint32_t kMaxFrame = 4 * 1024 * 1024;
} // namespace

WireStream::~WireStream()
{
    if (ssl)
        SSL_free(ssl);
}

void WireStream::useTls(SSL *tls)
{
    ssl = tls;
}

void WireStream::dropTls()
{
    if (!ssl)
        return;
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ssl = nullptr;
}

bool WireStream::pending() const
{
    return ssl && SSL_pending(ssl) > 0;
}

size_t WireStream::readSome(char *buffer, size_t length)
{
    for (;;) {
        if (ssl) {
            const int got = SSL_read(ssl, buffer, int(length));
            return got > 0 ? size_t(got) : 0;
        }
        const ssize_t got = recv(fd, buffer, length, 0);
        if (got < 0 && errno == EINTR)
            continue;
        return got > 0 ? size_t(got) : 0;
    }
}

bool WireStream::read(char *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const size_t got = readSome(buffer + done, length - done);
        if (got == 0)
            return false;
        done += got;
    }
    return true;
}

bool WireStream::write(const char *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        if (ssl) {
            const int sent = SSL_write(ssl, data + done, int(length - done));
            if (sent <= 0)
                return false;
            done += size_t(sent);
            continue;
        }
        const ssize_t sent = send(fd, data + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += size_t(sent);
    }
    return true;
}

plist_t WireStream::readPlist()
{
    unsigned char head[4];
    if (!read(reinterpret_cast<char *>(head), 4))
        return nullptr;
    const uint32_t size = uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 | uint32_t(head[2]) << 8 | head[3];
    if (size == 0 || size > kMaxFrame)
        return nullptr;
    std::string body(size, '\0');
    if (!read(body.data(), size))
        return nullptr;
    plist_t message = nullptr;
    plist_from_memory(body.data(), size, &message);
    return message;
}

bool WireStream::writePlist(plist_t message)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(message, &xml, &length);
    if (!xml)
        return false;
    const char head[4] = {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
    std::string frame(head, 4);
    frame.append(xml, length);
    free(xml);
    return write(frame.data(), frame.size());
}
