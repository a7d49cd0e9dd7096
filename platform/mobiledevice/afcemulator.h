#pragma once
// The AFC file service of a virtual phone over one folder of the host: the
// phone's media folder ("com.apple.afc") or an app's container (after
// "com.apple.mobile.house_arrest" has vended it).
//
// A packet, both directions, every number little-endian:
//
//   offset  size  field
//   0       8     magic "CFA6LPAA"
//   8       8     entire length: 40 + parameters + data
//   16      8     this length: 40 + parameters
//   24      8     packet number (answered with the request's own)
//   32      8     operation
//   40      ...   parameters, then data
//
// Requests served, with their answers:
//   3  read directory (path)      2 data: the names, "." and ".." first, each ended by NUL
//   8  remove path (path)         1 status
//   9  make directory (path)      1 status; makes missing parents, an existing folder is no failure
//   10 file information (path)    2 data: key, NUL, value, NUL, ... (st_size, st_blocks, st_nlink,
//                                 st_ifmt, st_mtime and st_birthtime in nanoseconds, LinkTarget)
//   13 open (mode, path)          14 the new file handle, or 1 status
//   15 read (handle, count)       2 data: up to count bytes, none at the end of the file
//   16 write (handle; data)       1 status
//   20 close (handle)             1 status
//   24 rename (from, to)          1 status
//   27 lock (handle, operation)   1 status
// Anything else is answered with status 15 (not supported). A packet without
// the magic, with lengths that do not add up, or over 64 MiB ends the service.
//
// Device paths never resolve outside the folder: ".." stops at its top, and a
// link (anywhere on the path) that leads out of it is refused with status 10.
// File information and remove do not follow a path's last link.
#include "platform/mobiledevice/servicechannel.h"

#include <cstdint>
#include <map>
#include <string>

class AfcEmulator
{
public:
    AfcEmulator(ServiceChannel &channel, const std::string &rootFolder);
    ~AfcEmulator();
    AfcEmulator(const AfcEmulator &) = delete;
    AfcEmulator &operator=(const AfcEmulator &) = delete;

    // Answers requests until the caller closes its end.
    void serve();

private:
    struct Reply
    {
        uint64_t operation;
        std::string payload;
    };
    Reply answer(uint64_t operation, const std::string &parameters, const std::string &data);
    bool send(uint64_t packetNumber, const Reply &reply);

    // The host path of a device path, kept below the root by its words alone.
    std::string hostPath(const std::string &devicePath) const;
    // Whether path, resolving every link on it (the last one only when
    // followLast), stays inside the root.
    bool contained(const std::string &path, bool followLast) const;

    Reply readDirectory(const std::string &path);
    Reply fileInfo(const std::string &path);
    Reply makeDirectory(const std::string &path);
    Reply removePath(const std::string &path);
    Reply renamePath(const std::string &from, const std::string &to);
    Reply openFile(uint64_t mode, const std::string &path);
    Reply readFile(uint64_t handle, uint64_t count);
    Reply writeFile(uint64_t handle, const std::string &data);
    Reply closeFile(uint64_t handle);
    Reply lockFile(uint64_t handle, uint64_t operation);

    ServiceChannel &channel;
    const std::string root;
    std::string realRoot;
    std::map<uint64_t, int> files; // handle -> descriptor
    uint64_t nextHandle = 1;
};
