#pragma once
// One open file on a device, opened by AfcClient::openFile. It uses the
// client's socket without owning it, so it is closed before its client goes.
// Failures come back as -1 (read, write) or are swallowed (close): closing
// always forgets the handle, whatever the device says.
#include <QtGlobal>

class AfcFile
{
public:
    AfcFile();
    ~AfcFile();
    // A handle is the device's; two objects must never close it twice.
    AfcFile(const AfcFile &) = delete;
    AfcFile &operator=(const AfcFile &) = delete;

    int socket = 0;     // the client's; not owned
    quint64 handle = 0; // 0 while no file is open

    bool isOpen() const { return handle != 0; }
    // Releases the handle on the device; nothing is sent for a file not open.
    void close();
    // The bytes read (fewer at the end of the file), or -1.
    int read(void *buffer, int length);
    // The bytes written, or -1.
    int write(const char *data, int length);
};
