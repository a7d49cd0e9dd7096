#pragma once
// The phone's file-relay service, which hands out groups of the phone's
// files as one archive. On its socket:
//
//   1. request, one message frame (mobiledevice.h): {"Sources": [<group>...]},
//      the program asks for "UserDatabases" (messages and address book);
//   2. reply, one message frame: {"Status": "Acknowledged"} (the letter case
//      varies between phones); anything else refuses the request;
//   3. the archive, raw bytes with no framing, up to the phone's close.
#include <QStringList>

// Starts "com.apple.mobile.file_relay" and puts its socket into *socket.
// Throws mobiledevice_start_service's texts.
void mobiledevice_file_relay_start(void *device, int *socket);
// Sends the request for sources and checks the reply; the archive follows
// on the socket when this returns. Throws std::runtime_error: the framing
// errors of mobiledevice_sendmsg and mobiledevice_recmsg, or
// "invalid feedback.\n<the reply as an XML property list>".
void mobiledevice_file_relay_request(int socket, QStringList sources);
