#include "devicelink/notificationproxy.h"

#include "ios/cftype.h"
#include "ios/mobiledevice.h"

#include <QDebug>

#include <stdexcept>

namespace {

const char *const kNotificationProxyService = "com.apple.mobile.notification_proxy";

CFType commandOf(NotificationCommand command, const QString &name = QString())
{
    CFType message = CFType::newDictionary();
    message.setValue(CFType::fromString(QStringLiteral("Command")), CFType::fromString(toText(command)));
    if (command != NotificationCommand::Shutdown)
        message.setValue(CFType::fromString(QStringLiteral("Name")), CFType::fromString(name));
    return message;
}

bool is(const QString &received, NotificationCommand command)
{
    return received.compare(toText(command), Qt::CaseInsensitive) == 0;
}

} // namespace

const NotificationCommand kAllNotificationCommands[5] = {
    NotificationCommand::ObserveNotification, NotificationCommand::PostNotification, NotificationCommand::Shutdown,
    NotificationCommand::RelayNotification,   NotificationCommand::ProxyDeath,
};

QString toText(NotificationCommand command)
{
    switch (command) {
    case NotificationCommand::ObserveNotification:
        return QStringLiteral("ObserveNotification");
    case NotificationCommand::PostNotification:
        return QStringLiteral("PostNotification");
    case NotificationCommand::Shutdown:
        return QStringLiteral("Shutdown");
    case NotificationCommand::RelayNotification:
        return QStringLiteral("RelayNotification");
    case NotificationCommand::ProxyDeath:
        return QStringLiteral("ProxyDeath");
    }
    return QString();
}

void mobiledevice_notification_start(void *device, int *socket)
{
    mobiledevice_start_service(device, kNotificationProxyService, socket);
}

void mobiledevice_notification_observe(int socket, const QString &name)
{
    mobiledevice_sendmsg(socket, commandOf(NotificationCommand::ObserveNotification, name), false,
                         kNotificationTimeoutMs);
}

QString mobiledevice_notification_get_throw(int socket)
{
    const CFType message = mobiledevice_recmsg(socket, CFType(), kNotificationBodyTimeoutMs);
    const QString command = message.value(QStringLiteral("Command")).toQString();
    if (is(command, NotificationCommand::RelayNotification)) {
        const QString name = message.value(QStringLiteral("Name")).toQString();
        qDebug("mobiledevice_notification_get_throw, got notification %s.", name.toLocal8Bit().constData());
        return name;
    }
    if (is(command, NotificationCommand::ProxyDeath))
        throw std::runtime_error("ERROR: NotificationProxy died!");
    throw std::runtime_error(
        QStringLiteral("unknown NotificationProxy command '%1' received!").arg(command).toUtf8().toStdString());
}

void mobiledevice_notification_post(int socket, const QString &name)
{
    qDebug("mobiledevice_notification_post, notification:%s", name.toLocal8Bit().constData());
    mobiledevice_sendmsg(socket, commandOf(NotificationCommand::PostNotification, name), false,
                         kNotificationTimeoutMs);
    mobiledevice_sendmsg(socket, commandOf(NotificationCommand::Shutdown), false, kNotificationTimeoutMs);
    const CFType answer = mobiledevice_recmsg(socket, CFType(), kNotificationTimeoutMs);
    const QString command = answer.value(QStringLiteral("Command")).toQString();
    if (!is(command, NotificationCommand::ProxyDeath))
        qDebug("mobiledevice_notification_post, unexpected answer: %s", command.toLocal8Bit().constData());
}
