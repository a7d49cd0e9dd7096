#pragma once
// The one table from what libimobiledevice answers (lockdown errors, which it
// parses from the phone's "Error" strings, and connection errors) to the
// MobileDevice codes of appleapi.h. The program turns a code into the text
// that tells the user what to do (ios/mobiledevice.cpp).
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

class LockdownErrors
{
public:
    static int code(lockdownd_error_t error);
    static int code(idevice_error_t error);
};
