#include "devicelink/mobilesync.h"

#include "app/failure.h"
#include "devicelink/devicelinkservice.h"
#include "ios/mobiledevice.h"

#include <stdexcept>

namespace {

const char *const kMobileSyncService = "com.apple.mobilesync";

CFType text(const QString &value)
{
    return CFType::fromString(value);
}

CFType messageOf(SyncMessage name, const QString &dataClass)
{
    CFType message = CFType::newArray();
    message.append(text(toText(name)));
    message.append(text(dataClass));
    return message;
}

void send(int socket, const CFType &message)
{
    mobiledevice_sendmsg(socket, message, false, kDeviceLinkTimeoutMs);
}

// The reply to sent, whose item 0 must be expected.
CFType expectReply(int socket, const CFType &sent, SyncMessage sentName, SyncMessage expected)
{
    const CFType reply = mobiledevice_recmsg(socket, sent, kDeviceLinkTimeoutMs);
    if (reply.at(0).toQString() != toText(expected))
        throwError(QStringLiteral("invalid feedback after send %1.\n%2")
                       .arg(toText(sentName), mobiledevice_message_text(reply)));
    return reply;
}

} // namespace

const SyncMessage kAllSyncMessages[10] = {
    SyncMessage::SyncDataClassWithDevice,      SyncMessage::SyncDataClassWithComputer,
    SyncMessage::GetAllRecordsFromDevice,      SyncMessage::ProcessChanges,
    SyncMessage::AcknowledgeChangesFromDevice, SyncMessage::DeviceReadyToReceiveChanges,
    SyncMessage::RemapRecordIdentifiers,       SyncMessage::ClearAllRecordsOnDevice,
    SyncMessage::DeviceWillClearAllRecords,    SyncMessage::FinishSessionOnDevice,
};

QString toText(SyncMessage message)
{
    switch (message) {
    case SyncMessage::SyncDataClassWithDevice:
        return QStringLiteral("SDMessageSyncDataClassWithDevice");
    case SyncMessage::SyncDataClassWithComputer:
        return QStringLiteral("SDMessageSyncDataClassWithComputer");
    case SyncMessage::GetAllRecordsFromDevice:
        return QStringLiteral("SDMessageGetAllRecordsFromDevice");
    case SyncMessage::ProcessChanges:
        return QStringLiteral("SDMessageProcessChanges");
    case SyncMessage::AcknowledgeChangesFromDevice:
        return QStringLiteral("SDMessageAcknowledgeChangesFromDevice");
    case SyncMessage::DeviceReadyToReceiveChanges:
        return QStringLiteral("SDMessageDeviceReadyToReceiveChanges");
    case SyncMessage::RemapRecordIdentifiers:
        return QStringLiteral("SDMessageRemapRecordIdentifiers");
    case SyncMessage::ClearAllRecordsOnDevice:
        return QStringLiteral("SDMessageClearAllRecordsOnDevice");
    case SyncMessage::DeviceWillClearAllRecords:
        return QStringLiteral("SDMessageDeviceWillClearAllRecords");
    case SyncMessage::FinishSessionOnDevice:
        return QStringLiteral("SDMessageFinishSessionOnDevice");
    }
    return QString();
}

void mobiledevice_sync_start(void *device, const _SyncDataClass &syncClass, int &socket, bool ping)
{
    mobiledevice_start_service(device, kMobileSyncService, &socket);
    mobiledevice_link_sc_version_exchange(socket);
    CFType open = messageOf(SyncMessage::SyncDataClassWithDevice, syncClass.dataClass);
    open.append(text(syncClass.firstAnchor));
    open.append(text(syncClass.secondAnchor));
    open.append(CFType::fromInt32(kSyncProtocolVersion));
    send(socket, open);
    expectReply(socket, open, SyncMessage::SyncDataClassWithDevice, SyncMessage::SyncDataClassWithComputer);
    if (ping) {
        CFType message = CFType::newArray();
        message.append(text(toText(DeviceLinkMessage::Ping)));
        message.append(text(QStringLiteral("Preparing to get changes for device")));
        send(socket, message);
    }
}

QList<CFType> mobiledevice_sync_get_all_records(int socket, const QString &dataClass)
{
    const CFType request = messageOf(SyncMessage::GetAllRecordsFromDevice, dataClass);
    send(socket, request);
    QList<CFType> records;
    for (;;) {
        const CFType reply = mobiledevice_recmsg(socket, request, kDeviceLinkTimeoutMs);
        const QString name = reply.at(0).toQString();
        if (name == toText(SyncMessage::DeviceReadyToReceiveChanges))
            return records;
        if (name != toText(SyncMessage::ProcessChanges))
            throwError(QStringLiteral("invalid feedback after send %1.\n%2")
                           .arg(toText(SyncMessage::GetAllRecordsFromDevice), mobiledevice_message_text(reply)));
        const CFType batch = reply.at(2);
        if (batch.isDictionary())
            records.append(CFType::deepCopy(batch));
        send(socket, messageOf(SyncMessage::AcknowledgeChangesFromDevice, dataClass));
    }
}

CFType mobiledevice_sync_process_changes(int socket, const CFType &records, const QString &dataClass,
                                         const CFType &actions)
{
    CFType message = messageOf(SyncMessage::ProcessChanges, dataClass);
    message.append(records);
    message.append(CFType::fromBool(false));
    message.append(actions);
    send(socket, message);
    const CFType reply = expectReply(socket, message, SyncMessage::ProcessChanges, SyncMessage::RemapRecordIdentifiers);
    return CFType::deepCopy(reply.at(2));
}

void mobiledevice_sync_clear_all_records(int socket, const QString &dataClass)
{
    CFType message = messageOf(SyncMessage::ClearAllRecordsOnDevice, dataClass);
    message.append(text(QLatin1String(kEmptyParameterString)));
    send(socket, message);
    expectReply(socket, message, SyncMessage::ClearAllRecordsOnDevice, SyncMessage::DeviceWillClearAllRecords);
}

void mobiledevice_sync_finish(int socket, const QString &dataClass)
{
    const CFType message = messageOf(SyncMessage::FinishSessionOnDevice, dataClass);
    send(socket, message);
    mobiledevice_recmsg(socket, message, kSyncFinishTimeoutMs);
}

int mobiledevice_sync_set_tethered(void *device, const QString &key, bool disable)
{
    CFType value = CFType::newDictionary();
    value.setValue(text(QStringLiteral("DisableTethered")), CFType::fromBool(disable));
    return mobiledevice_set_value(device, QStringLiteral("com.apple.mobile.tethered_sync"), key, value);
}
