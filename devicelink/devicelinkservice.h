#pragma once
// The device-link layer under mobilebackup2 and mobilesync: messages are
// property-list arrays whose item 0 names them ("DL..." here; the sync service
// adds "SD..."), the rest their parameters; "___EmptyParameterString___"
// stands in for an empty parameter. Each goes as one frame of the device
// layer (ios/mobiledevice.h). A service opens with the version exchange:
//
//   device  ["DLMessageVersionExchange", major, minor]   (or at once ["DLMessageDeviceReady"])
//   caller  ["DLMessageVersionExchange", "DLVersionsOk"]  XML, two items
//   device  ["DLMessageDeviceReady"]
//
// Items past the end of a received array read as empty, so a short message
// fails like a wrong one; a message that is not a property list is quoted as
// empty text. Quoted messages have their passwords masked
// (mobiledevice_message_text). Every send and receive waits at most
// kDeviceLinkTimeoutMs; failures are std::runtime_error with a UTF-8 text.
#include "ios/cftype.h"

#include <QString>

constexpr int kDeviceLinkTimeoutMs = 60000;
extern const char *const kEmptyParameterString; // "___EmptyParameterString___"

enum class DeviceLinkMessage {
    VersionExchange,
    DeviceReady,
    ProcessMessage,
    Disconnect,
    StatusResponse,
    Ping,
};
extern const DeviceLinkMessage kAllDeviceLinkMessages[6];
// The message's name on the wire, e.g. "DLMessageProcessMessage".
QString toText(DeviceLinkMessage message);

// ["DLMessageDisconnect", text or the empty-parameter string], binary.
void mobiledevice_link_sc_send_disconnect(int socket, const QString &text);
// ["DLMessageProcessMessage", dictionary], binary; answers an independent copy
// of the array sent, for a later receive to quote.
CFType mobiledevice_link_sc_send_process_message(int socket, const CFType &dictionary);
// Any message whose name begins with "DL" (letter case ignored): message and
// name are set on success. request is quoted in the device layer's texts.
void mobiledevice_link_sc_recv_dlmessaeg(int socket, CFType &message, QString &name, const CFType &request);
// A "DLMessageProcessMessage" (exactly): an independent copy of its item 1;
// whole, when given, receives the message.
CFType mobiledevice_link_sc_recv_process_message(int socket, const CFType &request, CFType *whole);
// The handshake above, once, right after the service started.
void mobiledevice_link_sc_version_exchange(int socket);
