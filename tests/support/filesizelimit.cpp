#include "tests/support/filesizelimit.h"

namespace testsupport {

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previousAction);
    getrlimit(RLIMIT_FSIZE, &previous);
    rlimit cap = previous;
    cap.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &cap);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &previous);
    sigaction(SIGXFSZ, &previousAction, nullptr);
}

} // namespace testsupport
