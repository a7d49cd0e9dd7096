#include "devicelink/devicelinkservice.h"

#include "app/failure.h"
#include "ios/mobiledevice.h"

#include <QDebug>

#include <stdexcept>

namespace {

QString nameOf(const CFType &message)
{
    return message.at(0).toQString();
}

CFType twoItems(DeviceLinkMessage name, const CFType &parameter)
{
    CFType message = CFType::newArray();
    message.append(CFType::fromString(toText(name)));
    message.append(parameter);
    return message;
}

} // namespace

const char *const kEmptyParameterString = "___EmptyParameterString___";

const DeviceLinkMessage kAllDeviceLinkMessages[6] = {
    DeviceLinkMessage::VersionExchange, DeviceLinkMessage::DeviceReady,    DeviceLinkMessage::ProcessMessage,
    DeviceLinkMessage::Disconnect,      DeviceLinkMessage::StatusResponse, DeviceLinkMessage::Ping,
};

QString toText(DeviceLinkMessage message)
{
    switch (message) {
    case DeviceLinkMessage::VersionExchange:
        return QStringLiteral("DLMessageVersionExchange");
    case DeviceLinkMessage::DeviceReady:
        return QStringLiteral("DLMessageDeviceReady");
    case DeviceLinkMessage::ProcessMessage:
        return QStringLiteral("DLMessageProcessMessage");
    case DeviceLinkMessage::Disconnect:
        return QStringLiteral("DLMessageDisconnect");
    case DeviceLinkMessage::StatusResponse:
        return QStringLiteral("DLMessageStatusResponse");
    case DeviceLinkMessage::Ping:
        return QStringLiteral("DLMessagePing");
    }
    return QString();
}

void mobiledevice_link_sc_send_disconnect(int socket, const QString &text)
{
    const CFType message = twoItems(DeviceLinkMessage::Disconnect,
                                    CFType::fromString(text.isEmpty() ? QLatin1String(kEmptyParameterString) : text));
    mobiledevice_sendmsg(socket, message, true, kDeviceLinkTimeoutMs);
}

CFType mobiledevice_link_sc_send_process_message(int socket, const CFType &dictionary)
{
    const CFType message = twoItems(DeviceLinkMessage::ProcessMessage, dictionary);
    mobiledevice_sendmsg(socket, message, true, kDeviceLinkTimeoutMs);
    return CFType::deepCopy(message);
}

void mobiledevice_link_sc_recv_dlmessaeg(int socket, CFType &message, QString &name, const CFType &request)
{
    const CFType received = mobiledevice_recmsg(socket, request, kDeviceLinkTimeoutMs);
    const QString receivedName = nameOf(received);
    if (!receivedName.startsWith(QLatin1String("DL"), Qt::CaseInsensitive)) {
        qDebug("mobiledevice_link_sc_recv_dlmessaeg recv invalid msg:\n%s",
               mobiledevice_message_text(received).toUtf8().constData());
        throwError(QStringLiteral("Did not receive a DL* message as expected."));
    }
    message = received;
    name = receivedName;
}

CFType mobiledevice_link_sc_recv_process_message(int socket, const CFType &request, CFType *whole)
{
    CFType message;
    QString name;
    mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, request);
    if (name != toText(DeviceLinkMessage::ProcessMessage)) {
        qDebug("mobiledevice_link_sc_recv_process_message recv invalid msg:\n%s",
               mobiledevice_message_text(message).toUtf8().constData());
        throwError(QStringLiteral("Did not receive DLMessageProcessMessage as expected."));
    }
    if (whole)
        *whole = message;
    return CFType::deepCopy(message.at(1));
}

void mobiledevice_link_sc_version_exchange(int socket)
{
    const CFType first = mobiledevice_recmsg(socket, CFType(), kDeviceLinkTimeoutMs);
    const QString ready = toText(DeviceLinkMessage::DeviceReady);
    if (nameOf(first) == ready)
        return;
    // Whatever versions the device offers, these are fine.
    const CFType answer = twoItems(DeviceLinkMessage::VersionExchange, CFType::fromString(QStringLiteral("DLVersionsOk")));
    mobiledevice_sendmsg(socket, answer, false, kDeviceLinkTimeoutMs);
    const CFType second = mobiledevice_recmsg(socket, answer, kDeviceLinkTimeoutMs);
    if (nameOf(second) != ready)
        throwError(QStringLiteral("invalid feedback after send DLMessageVersionExchange.\n%1")
                       .arg(mobiledevice_message_text(second)));
}
