#pragma once
// The emulator's end of one service socket. An emulator waits for the
// caller's next request without a limit of its own (the caller closing its
// end, or the phone leaving, ends the wait); every wait for room to write is
// bounded, so a caller that stops reading cannot hold an emulator for ever.
//
// A property-list frame, as on every lockdown service:
//
//   offset  size  field
//   0       4     N, unsigned 32-bit big-endian, at most kMaxFrame
//   4       N     a binary or XML property list
#include "platform/mobiledevice/plistwire.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class ServiceChannel
{
public:
    // No message of a device comes near it; a longer frame ends the service.
    static constexpr uint32_t kMaxFrame = 64u * 1024 * 1024;
    static constexpr int kWriteWaitMs = 10000;

    explicit ServiceChannel(int socket) : fd(socket) {}
    ServiceChannel(const ServiceChannel &) = delete;
    ServiceChannel &operator=(const ServiceChannel &) = delete;

    int socket() const { return fd; }

    // false when the caller closed (or the phone left) before length bytes.
    bool read(char *buffer, size_t length);
    // Whole or false. Safe from several threads: writes never interleave.
    bool write(const char *data, size_t length);

    bool readFrame(std::string &body);
    bool writeFrame(const std::string &body);
    // One frame parsed through the guarded parse; *message is nullptr for a
    // frame that is not a property list. false when no frame came.
    bool readPlist(PlistOwned *message);
    bool writePlist(plist_t message, bool binary);

private:
    const int fd;
    std::mutex writeMutex;
};
