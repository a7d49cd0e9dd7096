#include "platform/mobiledevice/servicehook.h"

#include <mutex>

namespace {

std::mutex s_mutex;
ServiceHook::Taken s_hook;

} // namespace

void *ServiceHook::set(QpServicePeer peer, void *context)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    void *pending = s_hook.peer ? s_hook.context : nullptr;
    s_hook.peer = peer;
    s_hook.context = peer ? context : nullptr;
    return pending;
}

ServiceHook::Taken ServiceHook::take()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    const Taken taken = s_hook;
    s_hook = Taken();
    return taken;
}

extern "C" void *qp_md_hand_next_service(QpServicePeer peer, void *context)
{
    return ServiceHook::set(peer, context);
}
