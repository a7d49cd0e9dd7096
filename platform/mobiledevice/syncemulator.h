#pragma once
// "com.apple.mobilesync" of a virtual phone: the device-link version exchange
// (devicelinkpeer.h), then the sync messages, item 0 naming each:
//
//   caller                                      device
//   SDMessageSyncDataClassWithDevice, class...  SDMessageSyncDataClassWithComputer, class, anchor
//                                               (SDMessageRefuseToSyncDataClassWithComputer with
//                                               setup "RefuseSync")
//   SDMessageGetAllRecordsFromDevice, class     per batch: SDMessageProcessChanges, class, batch,
//                                               more-follow flag, "___EmptyParameterString___",
//                                               each awaiting SDMessageAcknowledgeChangesFromDevice;
//                                               then SDMessageDeviceReadyToReceiveChanges, class
//   SDMessageProcessChanges, class, records...  SDMessageRemapRecordIdentifiers, class, setup "Remap"
//                                               (or "___EmptyParameterString___")
//   SDMessageClearAllRecordsOnDevice, class     SDMessageDeviceWillClearAllRecords, class
//   SDMessageFinishSessionOnDevice, class       SDMessageDeviceFinishedSession, class
//   DLMessageDisconnect                         (the service ends)
//
// The batches are the setup's "Batches"[class], an array of the values sent
// as item 2; the device anchor is "DeviceAnchor" (default "1"). Other
// messages (pings) get no answer. Everything the caller sends is recorded.
#include <string>

class ServiceChannel;

class SyncEmulator
{
public:
    static void serve(ServiceChannel &channel, const std::string &phoneFolder);
};
