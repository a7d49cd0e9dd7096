#pragma once
// libimobiledevice writes TLS through OpenSSL's socket layer, which writes
// with plain write(): to a phone that was just unplugged that raises SIGPIPE,
// whose default ends the whole program. While a guard lives, SIGPIPE is
// blocked for the calling thread (a write then fails with EPIPE, which
// libimobiledevice reports), and one raised meanwhile is taken before the
// thread's mask is restored. The program's own signal settings stay as they
// are.
#include <signal.h>

class SigpipeGuard
{
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

private:
    sigset_t previous;
    bool wasBlocked = false;
};
