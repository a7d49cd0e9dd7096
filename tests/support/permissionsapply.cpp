#include "tests/support/permissionsapply.h"

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The capabilities that override file permission checks.
const int kOverrides[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};

bool readCaps(__user_cap_header_struct &header, __user_cap_data_struct (&data)[2])
{
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0; // the calling thread
    return syscall(SYS_capget, &header, data) == 0;
}

} // namespace

PermissionsApply::PermissionsApply()
{
    __user_cap_header_struct header{};
    __user_cap_data_struct data[2]{};
    if (!readCaps(header, data))
        return;
    previous[0] = data[0].effective;
    previous[1] = data[1].effective;
    for (int cap : kOverrides)
        data[cap / 32].effective &= ~(1u << (cap % 32));
    // The permitted set stays, so the destructor can raise them again.
    changed = syscall(SYS_capset, &header, data) == 0;
}

PermissionsApply::~PermissionsApply()
{
    if (!changed)
        return;
    __user_cap_header_struct header{};
    __user_cap_data_struct data[2]{};
    if (!readCaps(header, data))
        return;
    data[0].effective = previous[0];
    data[1].effective = previous[1];
    syscall(SYS_capset, &header, data);
}

void setFolderWritable(const char *path, bool writable)
{
    ::chmod(path, writable ? 0700 : 0500);
}

} // namespace testsupport
