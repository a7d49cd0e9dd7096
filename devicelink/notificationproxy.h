#pragma once
// A client of "com.apple.mobile.notification_proxy". Messages are XML
// property-list dictionaries with a "Command" (compared without regard to
// case when received):
//
//   to the phone    {"Command": "ObserveNotification", "Name": n}  relay n from now on
//   to the phone    {"Command": "PostNotification", "Name": n}     post n on the phone
//   to the phone    {"Command": "Shutdown"}                        end the service
//   from the phone  {"Command": "RelayNotification", "Name": n}    n happened
//   from the phone  {"Command": "ProxyDeath"}                      the service ended
//
// Failures are std::runtime_error with a UTF-8 text.
#include <QString>

enum class NotificationCommand {
    ObserveNotification,
    PostNotification,
    Shutdown,
    RelayNotification,
    ProxyDeath,
};
extern const NotificationCommand kAllNotificationCommands[5];
// The command's name on the wire, e.g. "RelayNotification".
QString toText(NotificationCommand command);

constexpr int kNotificationTimeoutMs = 60000;
// How long the body of a relayed message may take once its length came.
constexpr int kNotificationBodyTimeoutMs = 500;

void mobiledevice_notification_start(void *device, int *socket);
void mobiledevice_notification_observe(int socket, const QString &name);
// The name of the next relayed notification. Throws for anything else: a
// failed or timed-out receive, "ERROR: NotificationProxy died!" for
// ProxyDeath, "unknown NotificationProxy command '<c>' received!".
QString mobiledevice_notification_get_throw(int socket);
// Posts name, then ends the service and reads its last word; the caller
// closes the socket.
void mobiledevice_notification_post(int socket, const QString &name);
