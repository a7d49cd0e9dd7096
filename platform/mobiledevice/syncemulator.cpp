#include "platform/mobiledevice/syncemulator.h"

#include "platform/mobiledevice/devicelinkpeer.h"
#include "platform/mobiledevice/servicesetup.h"

namespace {

const char *const kMobileSyncService = "com.apple.mobilesync";
const char *const kEmptyParameter = "___EmptyParameterString___";

// Sends every batch of dataClass, each acknowledged before the next; false
// when the caller answered otherwise or left.
bool sendBatches(DeviceLinkPeer &peer, plist_t setup, const std::string &dataClass)
{
    plist_t batches = plistwire::valueOf(plistwire::valueOf(setup, "Batches"), dataClass.c_str());
    const uint32_t count = plistwire::countOf(plistwire::isArray(batches) ? batches : nullptr);
    for (uint32_t i = 0; i < count; ++i) {
        if (!peer.send(plistwire::array({plistwire::text("SDMessageProcessChanges"), plistwire::text(dataClass),
                                         plistwire::copy(plistwire::itemAt(batches, i)),
                                         plistwire::boolean(i + 1 < count), plistwire::text(kEmptyParameter)})))
            return false;
        PlistOwned answer;
        if (!peer.receive(&answer) || DeviceLinkPeer::nameOf(answer.get()) != "SDMessageAcknowledgeChangesFromDevice")
            return false;
    }
    return peer.send(
        plistwire::array({plistwire::text("SDMessageDeviceReadyToReceiveChanges"), plistwire::text(dataClass)}));
}

} // namespace

void SyncEmulator::serve(ServiceChannel &channel, const std::string &phoneFolder)
{
    const PlistOwned setup = ServiceSetup::read(phoneFolder, kMobileSyncService);
    DeviceLinkPeer peer(channel, phoneFolder, kMobileSyncService, setup.get());
    if (!peer.handshake())
        return;
    for (;;) {
        PlistOwned message;
        if (!peer.receive(&message))
            return;
        const std::string name = DeviceLinkPeer::nameOf(message.get());
        const std::string dataClass = DeviceLinkPeer::textAt(message.get(), 1);
        plist_t reply = nullptr;
        if (name == "DLMessageDisconnect") {
            return;
        } else if (name == "SDMessageSyncDataClassWithDevice") {
            if (plistwire::integerOf(plistwire::valueOf(setup.get(), "RefuseSync"), 0)) {
                reply = plistwire::array({plistwire::text("SDMessageRefuseToSyncDataClassWithComputer"),
                                          plistwire::text(dataClass), plistwire::text("refused")});
            } else {
                plist_t anchor = plistwire::valueOf(setup.get(), "DeviceAnchor");
                reply = plistwire::array({plistwire::text("SDMessageSyncDataClassWithComputer"),
                                          plistwire::text(dataClass),
                                          anchor ? plistwire::copy(anchor) : plistwire::text("1")});
            }
        } else if (name == "SDMessageGetAllRecordsFromDevice") {
            if (!sendBatches(peer, setup.get(), dataClass))
                return;
        } else if (name == "SDMessageProcessChanges") {
            plist_t remap = plistwire::valueOf(setup.get(), "Remap");
            reply = plistwire::array({plistwire::text("SDMessageRemapRecordIdentifiers"), plistwire::text(dataClass),
                                      plistwire::isDictionary(remap) ? plistwire::copy(remap)
                                                                     : plistwire::text(kEmptyParameter)});
        } else if (name == "SDMessageClearAllRecordsOnDevice") {
            reply = plistwire::array(
                {plistwire::text("SDMessageDeviceWillClearAllRecords"), plistwire::text(dataClass)});
        } else if (name == "SDMessageFinishSessionOnDevice") {
            reply = plistwire::array({plistwire::text("SDMessageDeviceFinishedSession"), plistwire::text(dataClass)});
        }
        if (reply && !peer.send(reply))
            return;
    }
}
