#pragma once
// A usbmuxd socket with no phone behind it, for running libimobiledevice's
// tools in tests without the machine's own usbmuxd: point the environment
// variable USBMUXD_SOCKET_ADDRESS at address(). Every "ListDevices" request
// is answered with an empty "DeviceList"; any other request with a "Result"
// whose "Number" is 2 (no such device).
//
// The framing is usbmuxd's: a 16-byte little-endian header (total length,
// version 1, message type 8 = property list, tag) and an XML property list;
// the reply carries the request's tag.
#include <QString>

#include <atomic>
#include <thread>

namespace testsupport {

class EmptyUsbmuxListener
{
public:
    // Listens on a Unix socket at socketPath (replaced when it exists).
    explicit EmptyUsbmuxListener(const QString &socketPath);
    ~EmptyUsbmuxListener();
    EmptyUsbmuxListener(const EmptyUsbmuxListener &) = delete;
    EmptyUsbmuxListener &operator=(const EmptyUsbmuxListener &) = delete;

    bool isListening() const { return listenFd >= 0; }
    // The value for USBMUXD_SOCKET_ADDRESS.
    QString address() const { return QStringLiteral("UNIX:") + path; }
    // How many "ListDevices" requests were answered.
    int listRequests() const { return lists; }

private:
    void serve();
    void converse(int fd);

    QString path;
    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    std::atomic<int> lists{0};
    std::thread thread;
};

} // namespace testsupport
