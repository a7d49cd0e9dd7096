#include "platform/mobiledevice/servicechannel.h"

#include "platform/mobiledevice/socketio.h"
#include "platform/plist/plistparse.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

bool ServiceChannel::read(char *buffer, size_t length)
{
    return socketio::recvAll(fd, buffer, length);
}

bool ServiceChannel::write(const char *data, size_t length)
{
    std::lock_guard<std::mutex> lock(writeMutex);
    size_t done = 0;
    while (done < length) {
        pollfd entry{fd, POLLOUT, 0};
        const int ready = poll(&entry, 1, kWriteWaitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t sent = send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (sent <= 0)
            return false;
        done += size_t(sent);
    }
    return true;
}

bool ServiceChannel::readFrame(std::string &body)
{
    unsigned char length[4];
    if (!read(reinterpret_cast<char *>(length), 4))
        return false;
    const uint32_t size = uint32_t(length[0]) << 24 | uint32_t(length[1]) << 16 | uint32_t(length[2]) << 8 | length[3];
    if (size > kMaxFrame)
        return false;
    body.resize(size);
    return read(body.data(), size);
}

bool ServiceChannel::writeFrame(const std::string &body)
{
    const auto n = uint32_t(body.size());
    std::string frame = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    frame += body;
    return write(frame.data(), frame.size());
}

bool ServiceChannel::readPlist(PlistOwned *message)
{
    std::string body;
    if (!readFrame(body))
        return false;
    message->reset(parsePlistGuarded(QByteArray::fromRawData(body.data(), qsizetype(body.size()))));
    return true;
}

bool ServiceChannel::writePlist(plist_t message, bool binary)
{
    return writeFrame(plistwire::serialise(message, binary));
}
