#pragma once
// Thrown by the device layer instead of a plain std::runtime_error when a
// phone waits for its user: unlocked, and "Trust" tapped on its "Trust This
// Computer?" question. Nothing failed: the phone is reported again once it
// trusts this computer, and the arrival goes on then. what() is the text
// that tells the user what to do.
#include <stdexcept>

class DeviceTrustPending : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
