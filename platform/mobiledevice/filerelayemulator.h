#pragma once
// The file-relay service of a virtual phone ("com.apple.mobile.file_relay").
//
// On the socket, as a phone speaks it:
//   1. the caller sends one request frame (4-byte big-endian length, then a
//      property list; the program asks {"Sources": ["UserDatabases"]});
//   2. the phone answers one frame, {"Status": "Acknowledged"};
//   3. the phone streams one cpio archive (newc), raw with no framing, and
//      closes the connection at its end.
//
// The archive holds the phone's file tree (the phone's "root" folder) as
// "./<path>" entries: every folder first, parents before children, then
// every regular file, each with its mode bits, size and modification time.
//
// device.plist may steer the service with a dictionary "FileRelay", read
// afresh at each start of the service:
//   Reply        dictionary  answered instead of {"Status": "Acknowledged"};
//                            the archive follows only when its "Status" is
//                            "Acknowledged" in any letter case
//   Compression  string      "gzip": the archive goes through gzip
//   Archive      string      a file streamed byte for byte instead of the
//                            tree (relative paths below the phone's folder)
//   HoldAfter    integer     only this many bytes of the stream go out; the
//                            connection then stays open, silent, until the
//                            caller closes it (a phone that stalls)
//
// Each run leaves a record in the phone's folder, "file-relay.plist" (XML):
//   Request  data     the request frame's body as it came
//   Sent     integer  the bytes of the stream that went out
//   End      string   "complete" (the whole stream went out and the phone
//                     closed), "closed by caller" (the caller closed first),
//                     "not acknowledged", "no request", or "failed: <why>"
// It is written before the phone closes its end after a complete stream, and
// after the caller's close otherwise.
#include <string>

class VirtualIPhone;

class FileRelayEmulator
{
public:
    static const char *const kServiceName;

    // Serves one connection on socket, the phone's end; returns when the
    // service is over. The caller closes the socket.
    static void serve(const VirtualIPhone &phone, int socket);
};
