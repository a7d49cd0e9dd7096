#pragma once
// One Android phone: how it is reached (adb over USB, or the companion app's
// control port over WiFi) and what the app said of it in "$hello:". A plain
// value, copied between threads, dialogs and tree nodes.
//
// Opening a service ("device2", "backup2", "restore2"; URLs from
// simpleprotocol.h) returns a connected socket on which the app has already
// said "$ready:".
//   USB:  adb shell am broadcast -n com.quillmarten.smssync/.AdbSyncBroadcastReceiver -d URL
//         adb forward tcp:P tcp:P, then connect 127.0.0.1:P, retrying until the time limit
//   WiFi: control port (44441): PC sends the URL as a line; the app answers one
//         status line, "0" + base64(UTF-8 error) when it cannot start the
//         service, anything else when it listens; then connect host:P.
// Every wait is bounded or sees the thread's CancelScope (cancelscope.h).
#include <QDateTime>
#include <QDir>
#include <QString>

class QObject;
class QTcpSocket;

class AndroidDevice
{
public:
    QString tag;
    QString serial; // adb serial; empty for a WiFi phone
    QString uid;    // "$hello:" uid
    bool isWifi = false;
    QString host;   // the typed IPv4 address (WiFi)
    int controlPort = 0;
    int version = 0;
    QString model;
    QString manufacturer;
    QString imei;
    QString sdk;
    int sdkId = 0;
    bool rooted = false;
    QString storage1;
    QString mmc;    // mobile country code
    QDateTime time;

    // manufacturer, a blank and model, trimmed.
    QString displayName() const;
    // Fills the members named by the "key=value;" pairs of a "$hello:" payload;
    // unknown keys and pairs with an empty value leave everything as it was.
    void parseHello(const QString &payload);
    // The phone's folder below the data folder's "android_cache", created when
    // missing; see cacheFolderName.
    QDir cacheDir() const;
    // The folder's name: the imei when it is one (letters, digits and "-", at
    // most 64), else md5Hex of uid, or of serial (then host) when uid is empty.
    // The imei comes from the wire: "..", "/" or an empty imei must neither
    // lead outside "android_cache" nor let two phones share one cache, where
    // the send thread would skip messages "already" on the other phone.
    QString cacheFolderName() const;
    // uid for a WiFi phone, serial for a USB phone.
    QString deviceKey() const;

    // A connected socket owned by the caller (no parent), after "$ready:".
    QTcpSocket *openService(const QString &serviceUrl, int timeoutMs);
    // The time the threads give openService (ms).
    static constexpr int kServiceTimeoutMs = 10000;
    // Deleter of a socket openService returned: disconnects, aborts what does
    // not close at once, and deletes it.
    struct SocketDrop
    {
        void operator()(QTcpSocket *socket) const;
    };
    QTcpSocket *openUsbService(const QString &serviceUrl, int timeoutMs, QObject *parent);
    QTcpSocket *openWifiService(const QString &serviceUrl, int timeoutMs, QObject *parent);

    // The fixed waits of the openings (ms); tests shorten them.
    struct Waits
    {
        int usbConnect = 5000;  // one USB attempt's connect
        int usbReady = 5000;    // one USB attempt's wait for "$ready:"
        int usbPause = 250;     // between two USB attempts
        int control = 10000;    // WiFi: control connect, and its status line
    };
    static Waits waits;

    static constexpr int kWifiControlPort = 44441;
};
