#include "platform/imobiledevice/usbmuxphone.h"

#include "platform/imobiledevice/lockdownerrors.h"
#include "platform/imobiledevice/plistbridge.h"
#include "platform/imobiledevice/sigpipeguard.h"
#include "platform/imobiledevice/tlsrelay.h"

#include <usbmuxd.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// How this program names itself to the phone's lockdown service.
const char *const kLabel = "quillmarten";
// Backup services of a locked phone want the escrow bag usbmuxd keeps with
// the pair record.
const char *const kBackupService = "com.apple.mobilebackup2";

// NULL for a NULL or empty domain: the top level.
std::string optionalText(const CoreFoundationLink &cf, CFStringRef value, bool *present)
{
    const std::string text = value ? cf.text(value) : std::string();
    *present = !text.empty();
    return text;
}

} // namespace

int UsbmuxPhone::reachable() const
{
    return attached ? 0 : kAMDDeviceDisconnectedError;
}

int UsbmuxPhone::noteTrust(int code)
{
    if (code == kAMDPairingDialogResponsePendingError || code == kAMDPasswordProtectedError)
        awaitingTrust = true;
    return code;
}

int UsbmuxPhone::connect()
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (connections > 0) {
        ++connections;
        return 0;
    }
    // USB first: a phone seen over both is reached over its cable.
    const idevice_error_t found = idevice_new_with_options(
        &device, udid.c_str(), idevice_options(IDEVICE_LOOKUP_USBMUX | IDEVICE_LOOKUP_NETWORK));
    if (found != IDEVICE_E_SUCCESS) {
        device = nullptr;
        return LockdownErrors::code(found);
    }
    const lockdownd_error_t opened = lockdownd_client_new(device, &plain, kLabel);
    if (opened != LOCKDOWN_E_SUCCESS) {
        plain = nullptr;
        idevice_free(device);
        device = nullptr;
        return LockdownErrors::code(opened);
    }
    plist_t version = nullptr;
    if (lockdownd_get_value(plain, nullptr, "ProductVersion", &version) == LOCKDOWN_E_SUCCESS && version
        && plist_get_node_type(version) == PLIST_STRING) {
        char *text = nullptr;
        plist_get_string_val(version, &text);
        majorVersion = text ? std::atoi(text) : 0;
        free(text);
    }
    plist_free(version);
    connections = 1;
    return 0;
}

void UsbmuxPhone::closeSession()
{
    if (session)
        lockdownd_client_free(session); // says StopSession first
    session = nullptr;
    sessions = 0;
}

void UsbmuxPhone::closeAll()
{
    closeSession();
    if (plain)
        lockdownd_client_free(plain);
    plain = nullptr;
    if (device)
        idevice_free(device);
    device = nullptr;
    connections = 0;
}

int UsbmuxPhone::disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    // The last connection ends the sessions opened on it.
    if (--connections == 0)
        closeAll();
    return 0;
}

int UsbmuxPhone::isPaired()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
        if (!attached)
            return 0;
    }
    char *record = nullptr;
    uint32_t size = 0;
    const bool kept = usbmuxd_read_pair_record(udid.c_str(), &record, &size) == 0 && record && size > 0;
    free(record);
    return kept ? 1 : 0;
}

int UsbmuxPhone::pair()
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    return noteTrust(LockdownErrors::code(lockdownd_pair(plain, nullptr)));
}

int UsbmuxPhone::pairAfresh()
{
    usbmuxd_delete_pair_record(udid.c_str());
    return noteTrust(LockdownErrors::code(lockdownd_pair(plain, nullptr)));
}

int UsbmuxPhone::validatePairing()
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    // From iOS 7 on the phone has no such step (the session start checks the
    // pairing); libimobiledevice skips it there too.
    if (majorVersion >= 7)
        return 0;
    int code = LockdownErrors::code(lockdownd_validate_pair(plain, nullptr));
    if (code == kAMDInvalidHostIDError) {
        code = pairAfresh();
        if (code == 0)
            code = LockdownErrors::code(lockdownd_validate_pair(plain, nullptr));
    }
    return code;
}

int UsbmuxPhone::startSession()
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    if (session) {
        ++sessions;
        return 0;
    }
    lockdownd_error_t opened = lockdownd_client_new_with_handshake(device, &session, kLabel);
    if (opened == LOCKDOWN_E_INVALID_HOST_ID) {
        session = nullptr;
        if (int code = pairAfresh())
            return code;
        opened = lockdownd_client_new_with_handshake(device, &session, kLabel);
    }
    if (opened != LOCKDOWN_E_SUCCESS) {
        session = nullptr;
        // The handshake pairs by itself when usbmuxd has no record.
        return noteTrust(LockdownErrors::code(opened));
    }
    sessions = 1;
    return 0;
}

int UsbmuxPhone::stopSession()
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (sessions == 0)
        return kAMDSessionInactiveError;
    if (--sessions == 0)
        closeSession();
    return 0;
}

int UsbmuxPhone::startService(const std::string &service, int *socket)
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (!session)
        return kAMDSessionInactiveError;
    lockdownd_service_descriptor_t descriptor = nullptr;
    lockdownd_error_t started = service == kBackupService
                                    ? lockdownd_start_service_with_escrow_bag(session, service.c_str(), &descriptor)
                                    : lockdownd_start_service(session, service.c_str(), &descriptor);
    // A record paired before the phone had an escrow bag to give: the plain
    // start is the next best.
    if (started == LOCKDOWN_E_INVALID_CONF && service == kBackupService)
        started = lockdownd_start_service(session, service.c_str(), &descriptor);
    if (started != LOCKDOWN_E_SUCCESS) {
        if (descriptor)
            lockdownd_service_descriptor_free(descriptor);
        return LockdownErrors::code(started);
    }
    const bool tls = descriptor->ssl_enabled != 0;
    idevice_connection_t connection = nullptr;
    const idevice_error_t connected = idevice_connect(device, descriptor->port, &connection);
    lockdownd_service_descriptor_free(descriptor);
    if (connected != IDEVICE_E_SUCCESS)
        return LockdownErrors::code(connected);

    if (tls) {
        const idevice_error_t secured = idevice_connection_enable_ssl(connection);
        if (secured != IDEVICE_E_SUCCESS) {
            idevice_disconnect(connection);
            return LockdownErrors::code(secured);
        }
        const int end = TlsRelay::start(connection);
        if (end < 0)
            return kAMDUndefinedError;
        *socket = end;
        return 0;
    }
    // The connection's own socket, moved above the standard streams (0 means
    // "no socket" to the program); the connection object is let go, its
    // descriptor closed, the copy stays the program's.
    int fd = -1;
    idevice_connection_get_fd(connection, &fd);
    const int own = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
    idevice_disconnect(connection);
    if (own < 0)
        return kAMDUndefinedError;
    *socket = own;
    return 0;
}

CFTypeRef UsbmuxPhone::copyValue(const CoreFoundationLink &cf, CFStringRef domain, CFStringRef key)
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (!attached || !session)
        return nullptr;
    if ((domain && !cf.isType(domain, cf.CFStringGetTypeID)) || (key && !cf.isType(key, cf.CFStringGetTypeID)))
        return nullptr;
    bool hasDomain = false, hasKey = false;
    const std::string domainText = optionalText(cf, domain, &hasDomain);
    const std::string keyText = optionalText(cf, key, &hasKey);
    plist_t value = nullptr;
    if (lockdownd_get_value(session, hasDomain ? domainText.c_str() : nullptr, hasKey ? keyText.c_str() : nullptr,
                            &value)
        != LOCKDOWN_E_SUCCESS) {
        plist_free(value);
        return nullptr;
    }
    CFTypeRef out = PlistBridge::toCF(cf, value);
    plist_free(value);
    return out;
}

int UsbmuxPhone::setValue(const CoreFoundationLink &cf, CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (int code = reachable())
        return code;
    if (!session)
        return kAMDSessionInactiveError;
    if ((domain && !cf.isType(domain, cf.CFStringGetTypeID)) || !cf.isType(key, cf.CFStringGetTypeID) || !value)
        return kAMDInvalidArgumentError;
    plist_t node = PlistBridge::toPlist(cf, value);
    if (!node)
        return kAMDInvalidArgumentError;
    bool hasDomain = false, hasKey = false;
    const std::string domainText = optionalText(cf, domain, &hasDomain);
    const std::string keyText = optionalText(cf, key, &hasKey);
    // The request takes the node, sent or not.
    return LockdownErrors::code(lockdownd_set_value(session, hasDomain ? domainText.c_str() : nullptr,
                                                    hasKey ? keyText.c_str() : nullptr, node));
}

void UsbmuxPhone::detach()
{
    std::lock_guard<std::mutex> lock(mutex);
    const SigpipeGuard quietPipe;
    if (!attached)
        return;
    attached = false;
    closeAll();
}
