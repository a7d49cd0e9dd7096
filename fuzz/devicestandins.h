#pragma once
// What the targets reading device frames share: the MobileDevice and
// CoreFoundation stand-ins loaded as the program loads them, and the count of
// values the CoreFoundation stand-in holds, which must be the same after each
// input as before the first (a value still alive is a leak).
#include "ios/applelibs.h"
#include "ios/cftype.h"
#include "ios/mobiledevice.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace devicestandins {

[[noreturn]] inline void fault(const char *target, const char *what)
{
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

inline qint64 liveValues(const char *target)
{
    auto live = CFType::resolve<decltype(&qp_cf_live_values)>("qp_cf_live_values");
    if (!live)
        fault(target, "the CoreFoundation library lacks qp_cf_live_values");
    return live();
}

// For LLVMFuzzerInitialize, after fuzzenv::init: loads the stand-ins built
// with the target (unless the environment names other install folders),
// bounds each wait for more of a frame to waitMs (never the minute a device
// gets), and answers the live values to compare against.
inline qint64 load(const char *target, int waitMs)
{
    if (qEnvironmentVariableIsEmpty(kCommonFilesVar))
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
    QString error;
    if (!apple_libs_load(error)) {
        std::fprintf(stderr, "%s: %s\n", target, qPrintable(error));
        std::exit(1);
    }
    mobiledevice_set_length_wait_ms(waitMs);
    return liveValues(target);
}

// After each input.
inline void checkNothingLeft(const char *target, qint64 liveAtStart)
{
    if (liveValues(target) != liveAtStart)
        fault(target, "a CoreFoundation value outlived its input");
}

} // namespace devicestandins
