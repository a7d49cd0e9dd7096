#pragma once
// The layer between the program and Apple's MobileDevice library: device
// notifications forwarded to the main window, the short sessions in which
// values are read or written and services started, the service sockets, and
// the messages on them.
//
// A message frame, the same in both directions:
//
//   offset  size  field
//   0       4     N, the length of the property list, unsigned 32-bit big-endian
//   4       N     the property list: binary ("bplist00", format 200) or XML
//                 text in UTF-8 (format 100), as the sender chooses
//
// Failures the caller must see are thrown as std::runtime_error carrying the
// UTF-8 text to show (rich text: it holds HTML line breaks).
#include "ios/cftype.h"

#include <QByteArray>

#include <QList>
#include <QString>
#include <QStringList>

class QObject;

// Where device notifications go: slot names without an argument list; each
// slot takes the device handle as its one void* argument.
struct _DeviceNotifyTarget
{
    QObject *receiver;
    const char *connectedSlot;
    const char *disconnectedSlot;
};

// The one target; the main window fills it before it subscribes.
extern _DeviceNotifyTarget s_deviceNotifyTarget;

// The longest frame accepted: no device message comes near it, and a peer's
// length is never trusted for an allocation beyond it.
constexpr qint32 kMaxDeviceMessageLength = 64 * 1024 * 1024;

// Loads Apple's libraries first when they are not loaded (throwing the
// loader's text when they cannot be), then subscribes the callback below with
// target as its context. The subscription is never cancelled.
void mobiledevice_subscribe(_DeviceNotifyTarget *target);
// Called by the library on its own thread: an arrival (message 1) or removal
// (message 2) is queued to the target's slot in the receiver's thread.
void mobiledevice_notification_callback(AMDeviceNotificationCallbackInfo *info, void *target);
// Stops forwarding to target's receiver, which is going away; a notification
// being forwarded at that moment finishes first.
void mobiledevice_clear_receiver(_DeviceNotifyTarget *target);
// Whether the library reported device removed (and not arrived again) since
// the subscription. Known at once on any thread, before the receiver's slot
// runs: a worker that waits on a program talking to the phone asks it, since
// such a program may wait for a phone that is gone for ever.
bool mobiledevice_has_left(void *device);

// Opens a session: connect, pair when not paired, validate the pairing,
// start the session. 0 when open; else the failing step's code, with error
// set to the text to show. Every failure after the connection disconnects.
// The calls below that open a session throw DeviceTrustPending
// (devicetrustpending.h) when the phone waits for its user to trust.
int mobiledevice_connect(void *device, QString &error);
void mobiledevice_disconnect(void *device);
// What the user is told to do about a MobileDevice code a real phone or
// usbmuxd can answer (unlock, tap "Trust", start usbmuxd, ...); empty for a
// code without advice of its own.
QString mobiledevice_error_text(int code);
// Starts a service in a session of its own; the socket outlives the session
// and the caller closes it. Throws on failure.
void mobiledevice_start_service(void *device, const char *serviceName, int *socket);
// One value per key, in order (empty when the device has none); an empty key
// answers the whole domain as a dictionary, an empty domain means the
// top-level values. Throws when no session can be opened.
QList<CFType> mobiledevice_copy_values(void *device, const QStringList &keys, const QString &domain);
// AMDeviceSetValue's answer. Throws when no session can be opened.
int mobiledevice_set_value(void *device, const QString &domain, const QString &key, const CFType &value);

// Socket 0 is "no socket" to every caller (a client that never connected
// holds 0), while descriptor 0 is the process's standard input: the calls
// below treat 0 and negative numbers as a socket that is not open and never
// touch those descriptors. No service socket is ever numbered 0 to 2.

// 1 ready, 0 timed out, -1 failed; a timeout below 1 ms waits without limit.
int mobiledevice_wait_socket(int socket, int timeoutMs, bool forRead);
// The bytes sent (0 when nothing could be); each wait for room is bounded by
// timeoutMs, and the peer closing never raises a signal.
int mobiledevice_send(int socket, const char *data, int length, int timeoutMs);
// Reads until length bytes arrived, the peer closed, or one wait for more
// passed timeoutMs; answers the count read.
int mobiledevice_recv(int socket, char *buffer, int length, int timeoutMs);
// The same for a length the peer announced: the bytes read, fewer when the
// peer stopped early. The buffer grows with what arrives (first steps of
// kRecvStep, then doubling), so a length a peer claims but never sends costs
// no memory of its size.
QByteArray mobiledevice_recv_bytes(int socket, int length, int timeoutMs);
constexpr int kRecvStep = 64 * 1024;
void mobiledevice_closesocket(int socket);
// Ends both directions of a socket that another thread may be waiting on:
// its wait wakes and its receive answers 0. The socket stays open until
// mobiledevice_closesocket.
void mobiledevice_shutdown_socket(int socket);

// The text error messages and log lines quote a message by: its XML property
// list, with the value of every "Password" key (at any depth, letter case
// ignored) replaced by kMaskedPassword. Texts that quote messages are logged,
// shown and sent with error reports; a backup password must never be among
// them. Empty for an empty message.
extern const char *const kMaskedPassword; // "********"
QString mobiledevice_message_text(const CFType &message);

// Sends message as one frame (binary or XML). An empty serialisation sends
// nothing and is no failure. Throws when the frame did not go whole.
void mobiledevice_sendmsg(int socket, const CFType &message, bool binary, int timeoutMs);
// Receives one frame and answers its property list (empty when it does not
// parse). The length is awaited for mobiledevice_length_wait_ms() whatever
// timeoutMs is; the body with timeoutMs per wait. request, the message this
// one answers, is quoted in the error text when it is not empty.
CFType mobiledevice_recmsg(int socket, const CFType &request, int timeoutMs);

// The wait for a frame's length: 60000 ms; tests shorten it.
int mobiledevice_length_wait_ms();
void mobiledevice_set_length_wait_ms(int ms);

// Where MobileDevice names are looked up: tests put a recorder (or a library
// lacking names) in between; nullptr restores the loaded library. Answers the
// one in place before.
using MobileDeviceResolver = void *(*)(const char *name);
MobileDeviceResolver mobiledevice_set_resolver(MobileDeviceResolver resolver);
