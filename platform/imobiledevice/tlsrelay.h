#pragma once
// A service whose start asked for TLS: the program still reads and writes a
// plain socket. One thread moves bytes between one end of a socketpair (the
// other end is the program's) and the TLS connection to the phone, and ends
// when either side ends: the program closing its socket, the phone closing,
// or the phone leaving (usbmuxd then drops the connection).
#include <libimobiledevice/libimobiledevice.h>

class TlsRelay
{
public:
    // Takes connection (TLS already on) in every case; answers the program's
    // end of the socketpair, numbered above 2, or -1.
    static int start(idevice_connection_t connection);

private:
    static void run(idevice_connection_t connection, int relayEnd);
};
