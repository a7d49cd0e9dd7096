#pragma once
// Makes file permissions bind the calling thread even when the tests run as
// root: the capabilities that let root pass over them (DAC override, DAC
// read-search, owner override) leave the thread's effective set, so a
// read-only folder refuses to lose its entries as it would for a user.
// Threads started while the object lives inherit the reduced set. They come
// back with destruction. Does nothing for a user without them.
#include <cstdint>

namespace testsupport {

class PermissionsApply
{
public:
    PermissionsApply();
    ~PermissionsApply();
    PermissionsApply(const PermissionsApply &) = delete;
    PermissionsApply &operator=(const PermissionsApply &) = delete;

private:
    std::uint32_t previous[2] = {0, 0}; // effective sets as they were
    bool changed = false;
};

// Makes a folder read-only (r-x) or writable again (rwx) for its owner.
void setFolderWritable(const char *path, bool writable);

} // namespace testsupport
