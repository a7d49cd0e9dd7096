#pragma once
// Caps the size of every file this process writes (RLIMIT_FSIZE), so a test
// can make a write fail part-way as a full disk would, also when it runs as
// root. Writes past the cap fail with EFBIG instead of raising SIGXFSZ. The
// previous cap and signal handling come back with destruction.
#include <sys/resource.h>
#include <csignal>

namespace testsupport {

class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit previous{};
    struct sigaction previousAction{};
};

} // namespace testsupport
