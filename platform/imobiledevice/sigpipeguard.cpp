#include "platform/imobiledevice/sigpipeguard.h"

#include <pthread.h>
#include <time.h>

SigpipeGuard::SigpipeGuard()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    wasBlocked = sigismember(&previous, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard()
{
    if (wasBlocked)
        return;
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    // Only a SIGPIPE of this thread's own writes can be pending for it.
    const timespec none = {0, 0};
    while (sigtimedwait(&pipe, nullptr, &none) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
