#pragma once
// The far end of a service socket, played by a test: a script on a thread of
// its own reads what the client sends and writes the answers, byte by byte
// or frame by frame. Every read waits a bounded time, so a script never hangs
// a test; the client's end is an ordinary socket of a socketpair.
//
// ServicePeerHook gives the next service a virtual phone starts to a script
// in the same way (the stand-in's test hook), so clients that start their own
// service can meet a scripted device too.
#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

namespace testsupport {

class PeerSocket
{
public:
    explicit PeerSocket(int fd) : fd(fd) {}
    int socket() const { return fd; }

    // Exactly length bytes, or fewer when the client closed or nothing came
    // for timeoutMs.
    QByteArray read(int length, int timeoutMs = 10000);
    bool write(const QByteArray &bytes);
    // A frame's body (4-byte big-endian length first); null when none came
    // whole.
    QByteArray readFrame(int timeoutMs = 10000);
    bool writeFrame(const QByteArray &body);
    // Whether the client closed its end within timeoutMs (nothing more to read).
    bool closedByClient(int timeoutMs = 10000);
    void shutdownWrite();

private:
    int fd;
};

using PeerScript = std::function<void(PeerSocket &peer)>;

// A socketpair: socket() for the client, the other end for the script.
class SocketPeer
{
public:
    explicit SocketPeer(PeerScript script);
    // Waits for the script, then closes both ends.
    ~SocketPeer();
    SocketPeer(const SocketPeer &) = delete;
    SocketPeer &operator=(const SocketPeer &) = delete;

    int socket() const { return ends[0]; }
    // Waits for the script to end.
    void join();
    // Stops the client's end from receiving more (as a device that leaves).
    void closePeer();

private:
    int ends[2] = {-1, -1};
    std::thread thread;
};

class ServicePeerHook
{
public:
    // The next service a virtual phone starts is served by script.
    explicit ServicePeerHook(PeerScript script);
    // Waits (up to 20 s) for a script that was started to end; a hook no
    // start took is withdrawn.
    ~ServicePeerHook();
    ServicePeerHook(const ServicePeerHook &) = delete;
    ServicePeerHook &operator=(const ServicePeerHook &) = delete;

    // The service that took the hook; empty while none did.
    QString service() const;
    bool waitFinished(int timeoutMs = 20000);

    struct State;

private:
    State *state;
};

} // namespace testsupport
