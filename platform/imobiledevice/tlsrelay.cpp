#include "platform/imobiledevice/tlsrelay.h"

#include "platform/imobiledevice/sigpipeguard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace {

// At least one TLS record's payload (16 KiB), so a read from the phone takes
// a whole record and nothing decrypted is left waiting in the TLS layer while
// poll sees an idle socket.
const size_t kChunk = 64 * 1024;

int aboveStandardStreams(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// Reads in a row that bring nothing before the connection counts as broken.
const int kMaxIdleReads = 16;

// Whether the phone's side of the socket has ended (nothing is taken).
bool phoneClosed(int fd)
{
    char byte;
    const ssize_t peeked = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool sendAll(int fd, const char *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t sent = send(fd, data + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += size_t(sent);
    }
    return true;
}

} // namespace

int TlsRelay::start(idevice_connection_t connection)
{
    int phoneFd = -1;
    int ends[2];
    if (idevice_connection_get_fd(connection, &phoneFd) != IDEVICE_E_SUCCESS
        || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        idevice_disconnect(connection);
        return -1;
    }
    ends[0] = aboveStandardStreams(ends[0]);
    ends[1] = aboveStandardStreams(ends[1]);
    if (ends[0] < 0 || ends[1] < 0) {
        for (int end : ends) {
            if (end >= 0)
                close(end);
        }
        idevice_disconnect(connection);
        return -1;
    }
    std::thread(run, connection, ends[1]).detach();
    return ends[0];
}

void TlsRelay::run(idevice_connection_t connection, int relayEnd)
{
    const SigpipeGuard quietPipe;
    int phoneFd = -1;
    idevice_connection_get_fd(connection, &phoneFd);
    std::vector<char> buffer(kChunk);
    int idle = 0;
    for (;;) {
        pollfd fds[2] = {{relayEnd, POLLIN, 0}, {phoneFd, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (fds[0].revents) {
            const ssize_t got = recv(relayEnd, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break; // the program closed its socket
            uint32_t sent = 0;
            if (idevice_connection_send(connection, buffer.data(), uint32_t(got), &sent) != IDEVICE_E_SUCCESS
                || sent != uint32_t(got))
                break;
        }
        if (fds[1].revents) {
            uint32_t got = 0;
            const idevice_error_t read =
                idevice_connection_receive(connection, buffer.data(), uint32_t(buffer.size()), &got);
            if (read == IDEVICE_E_SUCCESS && got > 0) {
                idle = 0;
                if (!sendAll(relayEnd, buffer.data(), got))
                    break;
            } else if (phoneClosed(phoneFd) || ++idle > kMaxIdleReads) {
                // A record without data (a TLS 1.3 session ticket) reads as
                // nothing; only the phone's end, or a connection that keeps
                // reading nothing, ends the relay.
                break;
            }
        }
    }
    // The program's next read sees the end; the phone's side is closed with
    // its TLS session.
    shutdown(relayEnd, SHUT_RDWR);
    close(relayEnd);
    idevice_disconnect(connection);
}
