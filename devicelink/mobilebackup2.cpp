#include "devicelink/mobilebackup2.h"

#include "app/failure.h"
#include "devicelink/devicelinkservice.h"
#include "ios/mobiledevice.h"

#include <QDebug>

#include <stdexcept>

namespace {

const char *const kBackup2Service = "com.apple.mobilebackup2";

CFType key(const char *name)
{
    return CFType::fromString(QLatin1String(name));
}

} // namespace

const MobileBackup2Error kAllMobileBackup2Errors[3] = {
    MobileBackup2Error::Success,
    MobileBackup2Error::NoCommonVersion,
    MobileBackup2Error::ReplyNotOk,
};

QString toText(MobileBackup2Error error)
{
    switch (error) {
    case MobileBackup2Error::Success:
        return QStringLiteral("MOBILEBACKUP2_E_SUCCESS");
    case MobileBackup2Error::NoCommonVersion:
        return QStringLiteral("MOBILEBACKUP2_E_NO_COMMON_VERSION");
    case MobileBackup2Error::ReplyNotOk:
        return QStringLiteral("MOBILEBACKUP2_E_REPLY_NOT_OK");
    }
    return QString();
}

void mobiledevice_backup2_start(void *device, int &socket)
{
    mobiledevice_start_service(device, kBackup2Service, &socket);
    mobiledevice_link_sc_version_exchange(socket);
}

void mobiledevice_backup2_recv(int socket, CFType &message, QString &name)
{
    mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, CFType());
}

CFType mobiledevice_backup2_send_message(int socket, const QString &name, CFType dictionary)
{
    dictionary.setValue(key("MessageName"), CFType::fromString(name));
    return mobiledevice_link_sc_send_process_message(socket, dictionary);
}

CFType mobiledevice_backup2_send_status_response(int socket, int code, const QString &text, const CFType &dictionary)
{
    const CFType empty = CFType::fromString(QLatin1String(kEmptyParameterString));
    CFType message = CFType::newArray();
    message.append(CFType::fromString(toText(DeviceLinkMessage::StatusResponse)));
    message.append(CFType::fromInt32(code));
    message.append(text.isEmpty() ? empty : CFType::fromString(text));
    message.append(dictionary.isEmpty() ? empty : dictionary);
    mobiledevice_sendmsg(socket, message, true, kDeviceLinkTimeoutMs);
    return CFType::deepCopy(message);
}

CFType mobiledevice_backup2_recv_response(int socket, int &errorCode, const CFType &request, CFType *whole)
{
    CFType message;
    const CFType dictionary = mobiledevice_link_sc_recv_process_message(socket, request, &message);
    if (dictionary.value(QStringLiteral("MessageName")).toQString() != QLatin1String("Response"))
        throwError(QStringLiteral("Did not receive a message(\"Message Name\" is \"Response\").\n%1")
                       .arg(mobiledevice_message_text(message)));
    errorCode = dictionary.value(QStringLiteral("ErrorCode")).toInt32(0);
    if (whole)
        *whole = message;
    return dictionary;
}

CFType mobiledevice_backup2_send_request(int socket, const QString &request, const QString &target,
                                         const QString &source, const CFType &options)
{
    CFType dictionary = CFType::newDictionary();
    dictionary.setValue(key("TargetIdentifier"), CFType::fromString(target));
    if (!source.isEmpty())
        dictionary.setValue(key("SourceIdentifier"), CFType::fromString(source));
    if (!options.isEmpty()) {
        dictionary.setValue(key("Options"), options);
        // The service reads these two at the top level as well.
        const char *lifted = request == QLatin1String("Unback")              ? "Password"
                             : request == QLatin1String("EnableCloudBackup") ? "CloudBackupState"
                                                                            : nullptr;
        if (lifted) {
            const CFType value = options.value(QLatin1String(lifted));
            if (!value.isEmpty())
                dictionary.setValue(key(lifted), value);
        }
    }
    return mobiledevice_backup2_send_message(socket, request, dictionary);
}

void mobiledevice_backup2_set_cloud_backup(int socket, const QString &udid, bool enable)
{
    qDebug("Set EnableCloudBackup: %d", enable ? 1 : 0);
    CFType options = CFType::newDictionary();
    options.setValue(key("CloudBackupState"), CFType::fromBool(enable));
    mobiledevice_backup2_send_request(socket, QStringLiteral("EnableCloudBackup"), udid, udid, options);
    int errorCode = 0;
    mobiledevice_backup2_recv_response(socket, errorCode, CFType(), nullptr);
    if (errorCode != 0)
        throwError(QStringLiteral("Set EnableCloudBackup error code: %1").arg(errorCode));
}

void mobiledevice_backup2_request_backup(int socket, const QString &udid, bool full)
{
    qDebug("Requesting backup from device, %s", full ? "Full backup mode" : "Incremental backup mode");
    CFType options;
    if (full) {
        options = CFType::newDictionary();
        options.setValue(key("ForceFullBackup"), CFType::fromBool(true));
    }
    mobiledevice_backup2_send_request(socket, QStringLiteral("Backup"), udid, udid, options);
}

double mobiledevice_backup2_version_exchange(int socket, const double *versions, signed char count)
{
    CFType offered = CFType::newArray();
    for (int i = 0; versions && i < count; ++i)
        offered.append(CFType::fromDouble(versions[i]));
    CFType hello = CFType::newDictionary();
    hello.setValue(key("SupportedProtocolVersions"), offered);
    mobiledevice_backup2_send_message(socket, QStringLiteral("Hello"), hello);
    int errorCode = 0;
    const CFType response = mobiledevice_backup2_recv_response(socket, errorCode, hello, nullptr);
    if (errorCode == int(MobileBackup2Error::NoCommonVersion))
        throwError(QStringLiteral("mobiledevice_backup2_version_exchange: ")
                   + toText(MobileBackup2Error::NoCommonVersion));
    if (errorCode != 0)
        throwError(QStringLiteral("mobiledevice_backup2_version_exchange: ") + toText(MobileBackup2Error::ReplyNotOk));
    return response.value(QStringLiteral("ProtocolVersion")).toDouble(0.0);
}
