// The virtual usbmuxd with its phones' lockdownd (muxserver.h), for tests of
// the MobileDevice library over libimobiledevice:
//
//   virtual_usbmuxd <socket> <phones folder> <pair records folder>
//                   <libCoreFoundation.so> <libiTunesMobileDevice.so>
//
// It serves the folder of virtual phones (the stand-in's format) until it is
// killed. Its own libimobiledevice (the pairing preflight) finds it through
// USBMUXD_SOCKET_ADDRESS, which it sets for itself.
#include "muxserver.h"
#include "standinphones.h"

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SOCKET PHONES RECORDS COREFOUNDATION MOBILEDEVICE\n", argv[0]);
        return 2;
    }
    // TLS writes go through OpenSSL's plain write(): a client gone must not
    // end the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    // A test that dies takes its daemon with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const std::string socketPath = argv[1];
    setenv("QP_VIRTUAL_IPHONES_DIR", argv[2], 1);
    setenv("QP_VIRTUAL_IPHONES_POLL_MS", "20", 0);
    setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socketPath).c_str(), 1);

    static StandInPhones phones;
    const std::string loaded = phones.load(argv[4], argv[5]);
    if (!loaded.empty()) {
        std::fprintf(stderr, "virtual_usbmuxd: %s\n", loaded.c_str());
        return 1;
    }
    static MuxServer server(phones, argv[3]);
    phones.watch([](AMDeviceRef handle, const std::string &udid,
                    const std::string &folder) { server.arrived(handle, udid, folder); },
                 [](AMDeviceRef handle) { server.left(handle); });
    const std::string listening = server.listen(socketPath);
    if (!listening.empty()) {
        std::fprintf(stderr, "virtual_usbmuxd: %s\n", listening.c_str());
        return 1;
    }
    server.run();
    return 0;
}
