#include "ios/mobiledevice.h"

#include "app/failure.h"
#include "ios/devicetrustpending.h"

#include "ios/applelibs.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <stdexcept>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

_DeviceNotifyTarget s_deviceNotifyTarget = {nullptr, "", ""};
const char *const kMaskedPassword = "********";

namespace {

const int kDefaultLengthWaitMs = 60000;
// Requests are quoted in error texts up to this many UTF-16 units.
const int kQuotedRequestLength = 800;

std::atomic<int> s_lengthWaitMs{kDefaultLengthWaitMs};
std::atomic<MobileDeviceResolver> s_mobileDeviceResolver{nullptr};
// Held while a notification is forwarded and while a receiver is cleared.
// Recursive: when the callback runs on the receiver's own thread the slot runs
// inside it, and may end in the receiver's destructor.
std::recursive_mutex s_notifyMutex;
// The handles reported removed; a handle reported again leaves the set.
struct LeftPhones
{
    std::mutex mutex;
    std::set<void *> handles;
};
// Never destroyed: the device library's notification thread may still call
// in while the process runs its exit handlers.
LeftPhones &leftPhones()
{
    static auto *left = new LeftPhones;
    return *left;
}

template <typename FunctionPointer>
FunctionPointer md(const char *name)
{
    const MobileDeviceResolver resolver = s_mobileDeviceResolver.load();
    return reinterpret_cast<FunctionPointer>(resolver ? resolver(name) : apple_md_resolve(name));
}

#define MD_FUNCTION(name) md<decltype(&::name)>(#name)

QString missingText(const char *name)
{
    return QStringLiteral("Failed to find %1 in the (Mobile Device) framework.").arg(QLatin1String(name));
}

QString quoted(const CFType &message)
{
    return mobiledevice_message_text(message).left(kQuotedRequestLength);
}

// A copy of value sharing its leaves, with every "Password" value masked.
// Containers are rebuilt rather than changed: parsed ones are immutable.
CFType masked(const CFType &value)
{
    if (value.isDictionary()) {
        CFType copy = CFType::newDictionary();
        for (const CFType &key : value.keys()) {
            const bool secret = key.toQString().compare(QLatin1String("Password"), Qt::CaseInsensitive) == 0;
            copy.setValue(key, secret ? CFType::fromString(QLatin1String(kMaskedPassword))
                                      : masked(value.valueForCFKey(key)));
        }
        return copy;
    }
    if (value.isArray()) {
        CFType copy = CFType::newArray();
        const int n = value.count();
        for (int i = 0; i < n; ++i)
            copy.append(masked(value.at(i)));
        return copy;
    }
    return value;
}

// Opens a session or throws its text.
void openSession(void *device)
{
    QString error;
    const int code = mobiledevice_connect(device, error);
    if (code == kAMDPairingDialogResponsePendingError || code == kAMDPasswordProtectedError)
        throw DeviceTrustPending(error.toUtf8().toStdString());
    if (code != 0)
        throwError(error);
}

} // namespace

// ---- notifications ------------------------------------------------------------

void mobiledevice_subscribe(_DeviceNotifyTarget *target)
{
    if (!apple_libs_loaded()) {
        QString error;
        if (!apple_libs_load(error))
            throwError(error);
    }
    auto subscribe = MD_FUNCTION(AMDeviceNotificationSubscribe);
    if (!subscribe)
        throwError(missingText("AMDeviceNotificationSubscribe"));
    void *handle = nullptr;
    subscribe(mobiledevice_notification_callback, 0, 0, target, &handle);
}

void mobiledevice_notification_callback(AMDeviceNotificationCallbackInfo *info, void *context)
{
    auto *target = static_cast<_DeviceNotifyTarget *>(context);
    if (!info || !target)
        return;
    {
        LeftPhones &left = leftPhones();
        std::lock_guard<std::mutex> lock(left.mutex);
        if (info->message == kAMDeviceAttached)
            left.handles.erase(info->device);
        else if (info->message == kAMDeviceDetached)
            left.handles.insert(info->device);
    }
    const char *slot = nullptr;
    if (info->message == kAMDeviceAttached)
        slot = target->connectedSlot;
    else if (info->message == kAMDeviceDetached)
        slot = target->disconnectedSlot;
    if (!slot || !*slot)
        return;
    std::lock_guard<std::recursive_mutex> lock(s_notifyMutex);
    if (target->receiver)
        QMetaObject::invokeMethod(target->receiver, slot, Qt::AutoConnection, Q_ARG(void *, info->device));
}

bool mobiledevice_has_left(void *device)
{
    LeftPhones &left = leftPhones();
    std::lock_guard<std::mutex> lock(left.mutex);
    return left.handles.count(device) > 0;
}

void mobiledevice_clear_receiver(_DeviceNotifyTarget *target)
{
    std::lock_guard<std::recursive_mutex> lock(s_notifyMutex);
    target->receiver = nullptr;
}

// ---- sessions and values --------------------------------------------------------

int mobiledevice_connect(void *device, QString &error)
{
    const QString hint = QStringLiteral(
        "Please restart your iPhone and computer to try again. If a prompt message pops out on your iPhone, "
        "please click \"Trust\".");
    auto failStep = [&](const char *step, int code) {
        const QString advice = mobiledevice_error_text(code);
        error = QStringLiteral("%1<br/><br/>Error code: %2")
                    .arg(advice.isEmpty() ? hint : advice, QStringLiteral("%1(%2)").arg(QLatin1String(step)).arg(code));
        return code;
    };
    // A function the library lacks fails its step: nothing is called through it.
    const int kMissing = -1;
    auto missing = [&](const char *name) {
        error = missingText(name);
        return kMissing;
    };
    auto disconnect = [&]() {
        if (auto amDisconnect = MD_FUNCTION(AMDeviceDisconnect))
            amDisconnect(device);
    };

    auto amConnect = MD_FUNCTION(AMDeviceConnect);
    if (!amConnect)
        return missing("AMDeviceConnect");
    if (int code = amConnect(device))
        return failStep("AMDeviceConnect", code);

    // From here on every failure leaves the device disconnected again.
    auto isPaired = MD_FUNCTION(AMDeviceIsPaired);
    if (!isPaired) {
        disconnect();
        return missing("AMDeviceIsPaired");
    }
    if (isPaired(device) == 0) {
        auto pair = MD_FUNCTION(AMDevicePair);
        if (!pair) {
            disconnect();
            return missing("AMDevicePair");
        }
        if (int code = pair(device)) {
            disconnect();
            return failStep("AMDevicePair", code);
        }
    }
    auto validate = MD_FUNCTION(AMDeviceValidatePairing);
    if (!validate) {
        disconnect();
        return missing("AMDeviceValidatePairing");
    }
    if (int code = validate(device)) {
        disconnect();
        return failStep("AMDeviceValidatePairing", code);
    }
    auto startSession = MD_FUNCTION(AMDeviceStartSession);
    if (!startSession) {
        disconnect();
        return missing("AMDeviceStartSession");
    }
    if (int code = startSession(device)) {
        disconnect();
        return failStep("AMDeviceStartSession", code);
    }
    return 0;
}

QString mobiledevice_error_text(int code)
{
    static const QString replug =
        QStringLiteral("Unplug your iPhone and plug it in again, then tap \"Trust\" on the iPhone when it asks.");
    switch (code) {
    case kAMDPairingDialogResponsePendingError:
        return QStringLiteral("Unlock your iPhone and tap \"Trust\" when it asks \"Trust This Computer?\". The "
                              "iPhone is read as soon as it trusts this computer; you do not need to plug it in "
                              "again.");
    case kAMDPasswordProtectedError:
        return QStringLiteral("Your iPhone is locked. Unlock it with its passcode and tap \"Trust\" when it asks "
                              "\"Trust This Computer?\". The iPhone is read as soon as it trusts this computer.");
    case kAMDUserDeniedPairingError:
        return QStringLiteral("Your iPhone does not trust this computer: \"Don't Trust\" was tapped on it. ") + replug;
    case kAMDInvalidHostIDError:
    case kAMDMissingPairRecordError:
        return QStringLiteral("Your iPhone no longer trusts this computer. ") + replug;
    case kAMDMuxError:
        return QStringLiteral("The iPhone connection service (usbmuxd) is not running or refused the connection. "
                              "Start it (for example: sudo systemctl start usbmuxd), then unplug your iPhone and "
                              "plug it in again.");
    case kAMDEscrowLockedError:
        return QStringLiteral("Unlock your iPhone with its passcode (once since it was switched on), then try "
                              "again.");
    case kAMDPairingProhibitedError:
        return QStringLiteral("Your iPhone does not allow this computer to pair with it: connect it with its USB "
                              "cable (not over Wi-Fi); if it is managed by an organisation, ask its administrator.");
    case kAMDSSLError:
        return QStringLiteral("The encrypted connection to your iPhone failed. ") + replug;
    case kAMDReceiveTimeoutError:
        return QStringLiteral("Your iPhone stopped answering. Unlock it and keep it unlocked, then unplug it and "
                              "plug it in again.");
    case kAMDSessionActiveError:
    case kAMDServiceLimitError:
        return QStringLiteral("Another program is using your iPhone. Close iPhone tools that are running (backup, "
                              "sync or file browsers), then try again.");
    case kAMDServiceProhibitedError:
        return QStringLiteral("Your iPhone refused the request. Unlock it, keep it unlocked and try again.");
    default:
        return QString();
    }
}

void mobiledevice_disconnect(void *device)
{
    if (auto stopSession = MD_FUNCTION(AMDeviceStopSession))
        stopSession(device);
    if (auto amDisconnect = MD_FUNCTION(AMDeviceDisconnect))
        amDisconnect(device);
}

void mobiledevice_start_service(void *device, const char *serviceName, int *socket)
{
    openSession(device);
    auto startService = MD_FUNCTION(AMDeviceStartService);
    int code = 0;
    if (startService) {
        const CFType name = CFType::fromString(QString::fromUtf8(serviceName));
        code = startService(device, name.ref(), socket, nullptr);
    }
    // The session ends either way; a started service's socket stays open.
    mobiledevice_disconnect(device);
    if (!startService)
        throwError(missingText("AMDeviceStartService"));
    if (code != 0 && !mobiledevice_error_text(code).isEmpty()) {
        throwError(mobiledevice_error_text(code) + QStringLiteral("<br/><br/>Error code: AMDeviceStartService(%1)=%2")
                                                       .arg(QString::fromUtf8(serviceName))
                                                       .arg(code));
    }
    if (code != 0) {
        throwError(
            QStringLiteral(
                "Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  Launch iTunes -&gt; Connect your "
                "device -&gt; Go Summary -&gt; Options -&gt; Uncheck Sync with this device over Wi-Fi.<br/><br/>")
            + QStringLiteral("Error code: AMDeviceStartService(%1)=%2").arg(QString::fromUtf8(serviceName)).arg(code));
    }
}

QList<CFType> mobiledevice_copy_values(void *device, const QStringList &keys, const QString &domain)
{
    openSession(device);
    auto copyValue = MD_FUNCTION(AMDeviceCopyValue);
    if (!copyValue) {
        mobiledevice_disconnect(device);
        throwError(missingText("AMDeviceCopyValue"));
    }
    // The wrappers keep the CF strings alive across the calls.
    const CFType domainRef = domain.isEmpty() ? CFType() : CFType::fromString(domain);
    QList<CFType> values;
    values.reserve(keys.size());
    for (const QString &key : keys) {
        const CFType keyRef = key.isEmpty() ? CFType() : CFType::fromString(key);
        values.append(CFType(copyValue(device, domainRef.ref(), keyRef.ref()), true));
    }
    mobiledevice_disconnect(device);
    return values;
}

int mobiledevice_set_value(void *device, const QString &domain, const QString &key, const CFType &value)
{
    openSession(device);
    auto setValue = MD_FUNCTION(AMDeviceSetValue);
    if (!setValue) {
        mobiledevice_disconnect(device);
        throwError(missingText("AMDeviceSetValue"));
    }
    // Empty texts go as empty CF strings, not NULL.
    const CFType domainRef = CFType::fromString(domain);
    const CFType keyRef = CFType::fromString(key);
    const int result = setValue(device, domainRef.ref(), keyRef.ref(), value.ref());
    mobiledevice_disconnect(device);
    return result;
}

// ---- sockets ------------------------------------------------------------------------

int mobiledevice_wait_socket(int socket, int timeoutMs, bool forRead)
{
    if (socket <= 0)
        return -1;
    pollfd entry{socket, short(forRead ? POLLIN : POLLOUT), 0};
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int left = -1;
        if (timeoutMs >= 1)
            left = int(qMax<qint64>(0, timeoutMs - clock.elapsed()));
        const int ready = poll(&entry, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return ready < 0 ? -1 : 0;
        // A closed or failed peer counts as ready: the next call sees why.
        return (entry.revents & POLLNVAL) ? -1 : 1;
    }
}

int mobiledevice_send(int socket, const char *data, int length, int timeoutMs)
{
    if (length <= 0 || !data)
        return 0;
    int sent = 0;
    while (sent < length) {
        if (mobiledevice_wait_socket(socket, timeoutMs, false) != 1)
            break;
        const ssize_t n = ::send(socket, data + sent, size_t(length - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            break;
        sent += int(n);
    }
    return sent;
}

int mobiledevice_recv(int socket, char *buffer, int length, int timeoutMs)
{
    if (!buffer)
        return 0;
    int received = 0;
    while (received < length) {
        // A wait that timed out or failed ends the read: recv never blocks.
        if (mobiledevice_wait_socket(socket, timeoutMs, true) != 1)
            break;
        const ssize_t n = ::recv(socket, buffer + received, size_t(length - received), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            break;
        received += int(n);
    }
    return received;
}

QByteArray mobiledevice_recv_bytes(int socket, int length, int timeoutMs)
{
    QByteArray bytes;
    while (bytes.size() < length) {
        const int have = int(bytes.size());
        const int step = qMin(length - have, qMax(kRecvStep, have));
        bytes.resize(have + step);
        const int got = mobiledevice_recv(socket, bytes.data() + have, step, timeoutMs);
        if (got < step) {
            bytes.resize(have + qMax(got, 0));
            break;
        }
    }
    return bytes;
}

void mobiledevice_closesocket(int socket)
{
    if (socket > 0)
        ::close(socket);
}

void mobiledevice_shutdown_socket(int socket)
{
    if (socket > 0)
        ::shutdown(socket, SHUT_RDWR);
}

QString mobiledevice_message_text(const CFType &message)
{
    if (message.isEmpty())
        return QString();
    return QString::fromUtf8(masked(message).toPropertyListData(kCFPropertyListXMLFormat_v1_0));
}

// ---- messages -----------------------------------------------------------------------

void mobiledevice_sendmsg(int socket, const CFType &message, bool binary, int timeoutMs)
{
    const QByteArray body = message.toPropertyListData(binary ? kCFPropertyListBinaryFormat_v1_0
                                                              : kCFPropertyListXMLFormat_v1_0);
    if (body.isEmpty())
        return;
    const auto n = quint32(body.size());
    const char length[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    if (mobiledevice_send(socket, length, 4, timeoutMs) < 4)
        throwError(QStringLiteral("mobiledevice_sendmsg(msg-length) error.\n%1").arg(quoted(message)));
    if (mobiledevice_send(socket, body.constData(), int(body.size()), timeoutMs) < int(body.size()))
        throwError(QStringLiteral("mobiledevice_sendmsg(msg) error.\n%1").arg(quoted(message)));
}

CFType mobiledevice_recmsg(int socket, const CFType &request, int timeoutMs)
{
    auto failWith = [&](const QString &text) {
        throwError(request.isEmpty() ? text : text + QLatin1Char('\n') + quoted(request));
    };
    unsigned char length[4];
    const int got = mobiledevice_recv(socket, reinterpret_cast<char *>(length), 4, mobiledevice_length_wait_ms());
    if (got < 4)
        failWith(QStringLiteral("mobiledevice_recmsg(msg-length) error, received length: %1.").arg(got));
    const auto n = qint32(quint32(length[0]) << 24 | quint32(length[1]) << 16 | quint32(length[2]) << 8 | length[3]);
    // A length past the cap is refused before anything is allocated, like a
    // body that never came.
    if (n > kMaxDeviceMessageLength)
        failWith(QStringLiteral("mobiledevice_recmsg(msg) error, received length: 0."));
    // Read as it comes: a length is only the peer's word.
    const QByteArray body = n > 0 ? mobiledevice_recv_bytes(socket, n, timeoutMs) : QByteArray();
    const int count = int(body.size());
    if (count != n)
        failWith(QStringLiteral("mobiledevice_recmsg(msg) error, received length: %1.").arg(count));
    return CFType::fromPropertyListData(body);
}

int mobiledevice_length_wait_ms()
{
    return s_lengthWaitMs.load();
}

void mobiledevice_set_length_wait_ms(int ms)
{
    s_lengthWaitMs.store(ms);
}

MobileDeviceResolver mobiledevice_set_resolver(MobileDeviceResolver resolver)
{
    return s_mobileDeviceResolver.exchange(resolver);
}

#undef MD_FUNCTION
