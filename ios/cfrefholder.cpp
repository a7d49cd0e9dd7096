#include "ios/cfrefholder.h"

#include "ios/cftype.h"

void _CFRefHolder::release()
{
    if (owned && ref) {
        if (auto cfRelease = CFType::resolve<decltype(&CFRelease)>("CFRelease"))
            cfRelease(ref);
    }
    ref = nullptr;
}
