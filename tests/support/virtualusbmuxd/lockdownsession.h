#pragma once
// One connection to a virtual phone's lockdownd (port 62078), served until
// the client closes it, says Goodbye, or the phone leaves.
//
// A frame: a 4-byte big-endian length, then a property list. Each answer
// names its request ("Request") and is a failure when it holds "Error".
//   QueryType      {Type: "com.apple.mobile.lockdown"}
//   GetValue       Domain?, Key? -> {Value}; outside a session only the
//                  phone's public keys (version, name, type, UDID,
//                  DevicePublicKey, WiFiAddress)
//   SetValue       Domain?, Key, Value; in a session
//   Pair           PairRecord{HostID,...}: per the phone's Trust setting;
//                  trusted: the HostID is remembered, {EscrowBag}
//   ValidatePair   PairRecord{HostID}: InvalidHostID for an unknown host
//   StartSession   HostID -> {SessionID, EnableSessionSSL: true}, then TLS
//                  on this connection until StopSession; InvalidHostID for
//                  an unknown host
//   StartService   Service (EscrowBag accepted) -> {Port, EnableServiceSSL}
//                  for a port the muxer connects to the service's emulator;
//                  "com.apple.mobilebackup2" is served by the whole backup
//                  peer of backup2peer.h once the stand-in let it start
//   StopSession    ends the session and its TLS
//   Goodbye        ends the connection
// The phone's Errors setting makes any request answer that Error instead.
#include "wirestream.h"

#include "platform/appleapi/appleapi.h"

#include <string>

class MuxServer;

class LockdownSession
{
public:
    LockdownSession(MuxServer &server, AMDeviceRef phone, const std::string &udid, const std::string &folder, int fd);
    void serve();

private:
    // The answer to one request; nullptr ends the connection after nothing.
    plist_t answer(const std::string &request, plist_t message, bool *startTls, bool *stopTls, bool *end);
    plist_t getValue(plist_t message);

    MuxServer &server;
    const AMDeviceRef phone;
    const std::string udid;
    const std::string folder;
    WireStream wire;
    bool inSession = false;
};
