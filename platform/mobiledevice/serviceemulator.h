#pragma once
// The services of a virtual phone. Each started service is one end of a
// socketpair handed to the caller; a thread of its own serves the other end
// until the caller closes its socket or the phone leaves.
//
// Services served now:
//   "org.quillmarten.virtual.echo"  sends every frame (a 4-byte big-endian
//                                   length and that many bytes) back as it came,
//                                   so the message framing can be tried end to end.
//   "com.apple.mobile.file_relay"   the phone's files as a cpio archive
//                                   (filerelayemulator.h).
//   the phone's own services        deviceservices.h
// A test may hand the next started service to a peer of its own
// (servicehook.h). Sockets are never numbered 0 to 2.
#include <string>

class VirtualIPhone;

class ServiceEmulator
{
public:
    static bool knows(const std::string &service);
    // Starts service for phone and puts the caller's end into *socket.
    // Answers 0 or an error code.
    static int start(VirtualIPhone &phone, const std::string &service, int *socket);

private:
    static void echo(int socket);
};
