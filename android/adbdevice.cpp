#include "android/adbdevice.h"

bool AdbDevice::isReady() const
{
    return state.compare(QLatin1String("device"), Qt::CaseInsensitive) == 0;
}

bool AdbDevice::isOfflineOrUnauthorized() const
{
    return state.compare(QLatin1String("offline"), Qt::CaseInsensitive) == 0
           || state.compare(QLatin1String("unauthorized"), Qt::CaseInsensitive) == 0;
}
