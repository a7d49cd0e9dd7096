#include "devicelink/afcfile.h"

#include "devicelink/afcoperations.h"

#include <exception>

AfcFile::AfcFile() = default;

AfcFile::~AfcFile()
{
    close();
}

void AfcFile::close()
{
    if (handle == 0)
        return;
    try {
        mobiledevice_afc_file_close(socket, handle);
    } catch (const std::exception &) {
        // The handle is forgotten all the same; the device drops it with the connection.
    }
    handle = 0;
}

int AfcFile::read(void *buffer, int length)
{
    if (length < 0 || (length > 0 && !buffer))
        return -1;
    try {
        return int(mobiledevice_afc_file_read(socket, handle, buffer, unsigned(length)));
    } catch (const std::exception &) {
        return -1;
    }
}

int AfcFile::write(const char *data, int length)
{
    if (length < 0 || (length > 0 && !data))
        return -1;
    try {
        return int(mobiledevice_afc_file_write(socket, handle, data, unsigned(length)));
    } catch (const std::exception &) {
        return -1;
    }
}
