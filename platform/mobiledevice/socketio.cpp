#include "platform/mobiledevice/socketio.h"

#include <sys/socket.h>

#include <cerrno>

namespace socketio {

bool recvAll(int socket, char *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = recv(socket, buffer + done, length - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += size_t(got);
    }
    return true;
}

size_t sendAll(int socket, const char *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t sent = send(socket, buffer + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            break;
        done += size_t(sent);
    }
    return done;
}

} // namespace socketio
