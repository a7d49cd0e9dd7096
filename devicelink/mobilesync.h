#pragma once
// A client of "com.apple.mobilesync": after the device-link handshake
// (devicelinkservice.h) it syncs one data class at a time. Every message is an
// XML property-list array whose item 0 names it; each reply's item 0 is
// compared exactly with the name expected:
//
//   sent                                               expected back
//   SDMessageSyncDataClassWithDevice, class, a, b, 106 SDMessageSyncDataClassWithComputer
//   DLMessagePing, "Preparing to get changes for device" (none)
//   SDMessageGetAllRecordsFromDevice, class            SDMessageProcessChanges (records as item 2),
//                                                      each acknowledged, until
//                                                      SDMessageDeviceReadyToReceiveChanges
//   SDMessageAcknowledgeChangesFromDevice, class       (the next batch or the end)
//   SDMessageProcessChanges, class, records, false, actions
//                                                      SDMessageRemapRecordIdentifiers (item 2)
//   SDMessageClearAllRecordsOnDevice, class, "___EmptyParameterString___"
//                                                      SDMessageDeviceWillClearAllRecords
//   SDMessageFinishSessionOnDevice, class              anything
//
// Order: start; get all records and/or process changes, or clear; finish; the
// caller closes the socket. Failures are std::runtime_error with a UTF-8 text.
#include "devicelink/syncdataclass.h"
#include "ios/cftype.h"

#include <QList>
#include <QString>

enum class SyncMessage {
    SyncDataClassWithDevice,
    SyncDataClassWithComputer,
    GetAllRecordsFromDevice,
    ProcessChanges,
    AcknowledgeChangesFromDevice,
    DeviceReadyToReceiveChanges,
    RemapRecordIdentifiers,
    ClearAllRecordsOnDevice,
    DeviceWillClearAllRecords,
    FinishSessionOnDevice,
};
extern const SyncMessage kAllSyncMessages[10];
// The message's name on the wire, e.g. "SDMessageProcessChanges".
QString toText(SyncMessage message);

// The sync protocol version sent when a sync opens.
constexpr int kSyncProtocolVersion = 106;
// How long the device may take to end a sync.
constexpr int kSyncFinishTimeoutMs = 3600000;

void mobiledevice_sync_start(void *device, const _SyncDataClass &syncClass, int &socket, bool ping);
// Copies of every record dictionary the device sends.
QList<CFType> mobiledevice_sync_get_all_records(int socket, const QString &dataClass);
// A copy of the device's identifier remapping.
CFType mobiledevice_sync_process_changes(int socket, const CFType &records, const QString &dataClass,
                                         const CFType &actions);
void mobiledevice_sync_clear_all_records(int socket, const QString &dataClass);
void mobiledevice_sync_finish(int socket, const QString &dataClass);
// Stores {"DisableTethered": disable} under key in "com.apple.mobile.tethered_sync";
// answers the device's code (0 success) unjudged.
int mobiledevice_sync_set_tethered(void *device, const QString &key, bool disable);
