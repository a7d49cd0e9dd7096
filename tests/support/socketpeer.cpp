#include "tests/support/socketpeer.h"

#include "platform/appleapi/appleapi.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QThread>

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

QByteArray PeerSocket::read(int length, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (out.size() < length) {
        const int left = int(qMax<qint64>(0, timeoutMs - clock.elapsed()));
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        QByteArray chunk(length - out.size(), Qt::Uninitialized);
        const ssize_t n = recv(fd, chunk.data(), size_t(chunk.size()), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        out += chunk.left(n);
    }
    return out;
}

bool PeerSocket::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, 10000) <= 0)
            return false;
        const ssize_t n = send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray PeerSocket::readFrame(int timeoutMs)
{
    const QByteArray length = read(4, timeoutMs);
    if (length.size() < 4)
        return QByteArray();
    const quint32 n = quint32(quint8(length[0])) << 24 | quint32(quint8(length[1])) << 16
                      | quint32(quint8(length[2])) << 8 | quint8(length[3]);
    if (n > 64u * 1024 * 1024)
        return QByteArray();
    const QByteArray body = read(int(n), timeoutMs);
    if (body.size() < int(n))
        return QByteArray();
    return body.isNull() ? QByteArray("") : body;
}

bool PeerSocket::writeFrame(const QByteArray &body)
{
    const auto n = quint32(body.size());
    const char length[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return write(QByteArray(length, 4) + body);
}

bool PeerSocket::closedByClient(int timeoutMs)
{
    // Drains whatever is left; the end shows as a read of 0.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, int(qMax<qint64>(1, timeoutMs - clock.elapsed()))) <= 0)
            return false;
        char sink[4096];
        const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return true;
    }
    return false;
}

void PeerSocket::shutdownWrite()
{
    shutdown(fd, SHUT_WR);
}

SocketPeer::SocketPeer(PeerScript script)
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error("socketpair failed");
    const int far = ends[1];
    thread = std::thread([far, script] {
        PeerSocket peer(far);
        script(peer);
    });
}

SocketPeer::~SocketPeer()
{
    join();
    close(ends[0]);
    if (ends[1] >= 0)
        close(ends[1]);
}

void SocketPeer::join()
{
    if (thread.joinable())
        thread.join();
}

void SocketPeer::closePeer()
{
    shutdown(ends[1], SHUT_RDWR);
}

struct ServicePeerHook::State
{
    PeerScript script;
    QMutex mutex;
    QString service;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
};

namespace {

using HandNext = decltype(&qp_md_hand_next_service);

HandNext handNext()
{
    // The stand-in is loaded by the program under test; only asked here.
    void *library = dlopen("libiTunesMobileDevice.so", RTLD_NOW | RTLD_NOLOAD);
    if (!library)
        throw std::runtime_error("the MobileDevice stand-in is not loaded");
    auto function = reinterpret_cast<HandNext>(dlsym(library, "qp_md_hand_next_service"));
    dlclose(library);
    if (!function)
        throw std::runtime_error("the MobileDevice stand-in has no service hook");
    return function;
}

QList<ServicePeerHook::State *> &abandoned()
{
    static QList<ServicePeerHook::State *> states;
    return states;
}

void runHooked(int socket, const char *service, void *context)
{
    auto *state = static_cast<ServicePeerHook::State *>(context);
    {
        QMutexLocker lock(&state->mutex);
        state->service = QString::fromUtf8(service);
    }
    state->started = true;
    PeerSocket peer(socket);
    state->script(peer);
    state->finished = true;
}

} // namespace

ServicePeerHook::ServicePeerHook(PeerScript script) : state(new State)
{
    state->script = std::move(script);
    handNext()(runHooked, state);
}

ServicePeerHook::~ServicePeerHook()
{
    if (handNext()(nullptr, nullptr) == state) {
        // No start took it.
        delete state;
        return;
    }
    // Taken: the script runs on the stand-in's thread, which may only be
    // about to begin.
    QElapsedTimer clock;
    clock.start();
    while (!state->started && clock.elapsed() < 5000)
        QThread::msleep(5);
    if (state->started && waitFinished())
        delete state;
    else
        abandoned().append(state); // still in use, or a start that failed after taking it: kept, never freed
}

QString ServicePeerHook::service() const
{
    QMutexLocker lock(&state->mutex);
    return state->service;
}

bool ServicePeerHook::waitFinished(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!state->finished) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

} // namespace testsupport
