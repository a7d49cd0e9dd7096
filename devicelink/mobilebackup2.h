#pragma once
// A client of "com.apple.mobilebackup2": the device-link handshake
// (devicelinkservice.h), a "Hello" that agrees on a protocol version, and
// requests as process messages:
//
//   ["DLMessageProcessMessage", {"MessageName": request,
//                                "TargetIdentifier": udid (always, also empty),
//                                "SourceIdentifier": udid (when not empty),
//                                "Options": {...} (when given),
//                                "Password" (Unback) / "CloudBackupState"
//                                (EnableCloudBackup): copied up from Options}]
//
// answered by ["DLMessageProcessMessage", {"MessageName": "Response",
// "ErrorCode": n (0 success), "ProtocolVersion": v (to Hello)}].
// Status responses: ["DLMessageStatusResponse", code, text or the empty
// parameter, dictionary or the empty parameter], binary.
//
// Order of use: start, version exchange, requests; the caller closes the
// socket (mobiledevice_closesocket). Failures are std::runtime_error with a
// UTF-8 text; texts that quote a request mask its password.
#include "ios/cftype.h"

#include <QString>

enum class MobileBackup2Error {
    Success = 0,
    NoCommonVersion = 1,
    ReplyNotOk,
};
extern const MobileBackup2Error kAllMobileBackup2Errors[3];
// The name of the error, e.g. "MOBILEBACKUP2_E_NO_COMMON_VERSION".
QString toText(MobileBackup2Error error);

// Starts the service into socket and runs the handshake.
void mobiledevice_backup2_start(void *device, int &socket);
// Any device-link message.
void mobiledevice_backup2_recv(int socket, CFType &message, QString &name);
// Sets "MessageName" = name in dictionary itself and sends it as a process
// message; answers the copy of the sent array.
CFType mobiledevice_backup2_send_message(int socket, const QString &name, CFType dictionary);
CFType mobiledevice_backup2_send_status_response(int socket, int code, const QString &text, const CFType &dictionary);
// A "Response" process message: its error code is handed out, not judged;
// answers a copy of the dictionary, whole (when given) the whole message.
CFType mobiledevice_backup2_recv_response(int socket, int &errorCode, const CFType &request, CFType *whole);
CFType mobiledevice_backup2_send_request(int socket, const QString &request, const QString &target,
                                         const QString &source, const CFType &options);
// "EnableCloudBackup"; a non-zero answer throws "Set EnableCloudBackup error code: <n>".
void mobiledevice_backup2_set_cloud_backup(int socket, const QString &udid, bool enable);
// "Backup", with {"ForceFullBackup": true} when full; no answer is read.
void mobiledevice_backup2_request_backup(int socket, const QString &udid, bool full);
// "Hello" with the first count versions; the agreed version.
double mobiledevice_backup2_version_exchange(int socket, const double *versions, signed char count);
