#pragma once
// The virtual usbmuxd: a UNIX socket speaking usbmuxd's plist protocol to
// libusbmuxd, for the virtual phones of StandInPhones.
//
// A packet, both ways:
//
//   offset  size  field (little-endian)
//   0       4     length of the whole packet, this header included
//   4       4     version: 1 (property lists)
//   8       4     message: 8 (a property list)
//   12      4     tag: a request's own, echoed in its answer
//   16      ...   an XML property list
//
// Requests, one function each (MessageType):
//   Listen            Result 0; then Attached / Detached as phones come and
//                     go, and Paired after a SavePairRecord naming a device
//   ListDevices       {DeviceList: [{DeviceID, MessageType, Properties}]}
//   Connect           DeviceID, PortNumber (network byte order): 62078 is
//                     the phone's lockdownd, a port a StartService handed out
//                     is that service; the socket then carries it. Result 3
//                     (refused) for any other port, 2 for no such device
//   ReadBUID          {BUID}
//   ReadPairRecord    {PairRecordData} from <records>/<udid>.plist, or Result 2
//   SavePairRecord    writes it; Result 0
//   DeletePairRecord  removes it; Result 0
//   anything else     Result 1
//
// A phone reported over USB and the network has one DeviceID per link. A
// phone that leaves has every connection to it shut down, as a real
// unplugging does.
//
// The pairing preflight: usbmuxd itself finishes a pairing the phone was
// still asking about. When a Pair was answered "pending", the phone's folder
// is watched; once its Trust setting reads "Trusted", the muxer pairs it
// through libimobiledevice (a record of its own, saved through this socket,
// which announces Paired).
#include "platform/appleapi/appleapi.h"
#include "standinphones.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class MuxServer
{
public:
    MuxServer(StandInPhones &phones, const std::string &recordsDir);

    // "" once listening on path.
    std::string listen(const std::string &path);
    // Accepts clients for ever, a thread each.
    void run();

    void arrived(AMDeviceRef handle, const std::string &udid, const std::string &folder);
    void left(AMDeviceRef handle);

    // For the lockdownd of a phone.
    StandInPhones &standIn;
    std::string devicePublicKey(AMDeviceRef handle);
    uint16_t addService(AMDeviceRef handle, int emulatorFd, bool tls);
    void awaitTrust(const std::string &udid);

private:
    struct Phone
    {
        AMDeviceRef handle = nullptr;
        std::string udid;
        std::string folder;
        std::vector<uint32_t> ids;           // one per link
        std::vector<std::string> links;      // "USB", "Network", in the ids' order
        std::set<int> connections;           // shut down when it leaves
        std::string publicKey;
    };
    struct Service
    {
        AMDeviceRef handle;
        int emulatorFd;
        bool tls;
    };

    void serveClient(int fd);
    void serveService(int fd, const Service &service);
    bool reply(int fd, uint32_t tag, plist_t message);
    bool result(int fd, uint32_t tag, uint64_t number);
    plist_t attachedMessage(const Phone &phone, size_t link) const;
    void tellListeners(plist_t message);
    // The phone a DeviceID names; handle nullptr when none.
    Phone phoneById(uint32_t id);
    bool track(AMDeviceRef handle, int fd);
    void untrack(AMDeviceRef handle, int fd);
    std::string recordPath(const std::string &udid) const;
    void preflight();

    const std::string recordsDir;
    int listenFd = -1;
    std::mutex mutex;
    std::mutex listenersMutex; // held while a listener is written to
    uint32_t nextId = 1;
    uint16_t nextPort = 49152;
    std::map<AMDeviceRef, Phone> phones;
    std::map<uint16_t, Service> services;
    std::set<int> listeners;
    std::set<std::string> awaitingTrust; // UDIDs
};
