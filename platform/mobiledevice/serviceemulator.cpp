#include "platform/mobiledevice/serviceemulator.h"

#include "platform/mobiledevice/deviceservices.h"
#include "platform/mobiledevice/filerelayemulator.h"
#include "platform/mobiledevice/servicechannel.h"
#include "platform/mobiledevice/servicehook.h"
#include "platform/mobiledevice/socketio.h"
#include "platform/mobiledevice/virtualiphone.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

const char *const kEchoService = "org.quillmarten.virtual.echo";
// Socket 0 means "none" to the program, and 0 to 2 are its standard streams:
// a descriptor that low (only possible when one of them was closed) is moved
// up. Answers the new descriptor, or -1.
int aboveStandardStreams(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

} // namespace

bool ServiceEmulator::knows(const std::string &service)
{
    return service == kEchoService || service == FileRelayEmulator::kServiceName || DeviceServices::find(service);
}

int ServiceEmulator::start(VirtualIPhone &phone, const std::string &service, int *socket)
{
    // A test's scripted peer takes any service the phone lets start.
    const ServiceHook::Taken hooked = ServiceHook::take();
    if (!hooked.peer && !knows(service))
        return kAMDInvalidServiceError;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return kAMDUndefinedError;
    ends[0] = aboveStandardStreams(ends[0]);
    ends[1] = aboveStandardStreams(ends[1]);
    if (ends[0] < 0 || ends[1] < 0) {
        for (int end : ends) {
            if (end >= 0)
                close(end);
        }
        return kAMDUndefinedError;
    }
    if (!phone.addServiceSocket(ends[1])) {
        close(ends[0]);
        close(ends[1]);
        return kAMDDeviceDisconnectedError;
    }
    const int served = ends[1];
    VirtualIPhone *owner = &phone;
    std::thread([owner, served, service, hooked] {
        if (hooked.peer) {
            hooked.peer(served, service.c_str(), hooked.context);
        } else if (service == FileRelayEmulator::kServiceName) {
            FileRelayEmulator::serve(*owner, served);
        } else if (DeviceServices::Serve serve = DeviceServices::find(service)) {
            ServiceChannel channel(served);
            serve(channel, owner->folder);
        } else {
            echo(served);
        }
        // Forgotten by the phone before it is closed, so a detach never shuts
        // down a number the system has handed to someone else meanwhile.
        owner->serviceEnded(served);
        close(served);
    }).detach();
    *socket = ends[0];
    return 0;
}

void ServiceEmulator::echo(int socket)
{
    std::vector<char> body;
    for (;;) {
        unsigned char length[4];
        if (!socketio::recvAll(socket, reinterpret_cast<char *>(length), 4))
            return;
        const uint32_t size = uint32_t(length[0]) << 24 | uint32_t(length[1]) << 16 | uint32_t(length[2]) << 8 | length[3];
        if (size > ServiceChannel::kMaxFrame)
            return;
        body.resize(size);
        if (!socketio::recvAll(socket, body.data(), size))
            return;
        if (socketio::sendAll(socket, reinterpret_cast<char *>(length), 4) < 4
            || socketio::sendAll(socket, body.data(), size) < size)
            return;
    }
}
