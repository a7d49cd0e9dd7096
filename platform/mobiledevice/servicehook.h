#pragma once
// A test's hold on the next service any virtual phone starts: instead of the
// service's emulator, the test's peer serves the emulator's end of the
// socket, on the emulator's thread, so fault cases can be scripted byte by
// byte. One start takes the hook; the socket is closed when the peer returns.
#include "platform/appleapi/appleapi.h"

class ServiceHook
{
public:
    struct Taken
    {
        QpServicePeer peer = nullptr;
        void *context = nullptr;
    };
    // Sets the hook (a null peer clears it); answers the context of a hook
    // that was set and not taken, so its owner knows it may free it.
    static void *set(QpServicePeer peer, void *context);
    // The hook, cleared; a null peer when none is set.
    static Taken take();
};
