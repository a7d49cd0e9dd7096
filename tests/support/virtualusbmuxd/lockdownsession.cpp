#include "lockdownsession.h"

#include "backup2peer.h"
#include "lockdownsettings.h"
#include "muxserver.h"
#include "tlsserver.h"

#include "platform/mobiledevice/plistwire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <thread>

namespace {

// The HostID of a request's PairRecord, or of the request itself.
std::string hostId(plist_t message)
{
    plist_t record = plist_dict_get_item(message, "PairRecord");
    if (record && plist_get_node_type(record) == PLIST_DICT)
        return plistwire::textOf(plistwire::valueOf(record, "HostID"));
    return plistwire::textOf(plistwire::valueOf(message, "HostID"));
}

// The muxer's end of a socket whose other end the phone's backup peer
// serves on a thread of its own; -1 when none could be made.
int startBackupPeer(const std::string &folder)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    const int served = ends[1];
    std::thread([served, folder] {
        Backup2Peer::serve(served, folder);
        close(served);
    }).detach();
    return ends[0];
}

plist_t answerTo(const std::string &request)
{
    plist_t answer = plist_new_dict();
    plist_dict_set_item(answer, "Request", plist_new_string(request.c_str()));
    return answer;
}

plist_t failure(const std::string &request, const std::string &error)
{
    plist_t answer = answerTo(request);
    plist_dict_set_item(answer, "Error", plist_new_string(error.c_str()));
    return answer;
}

// What lockdownd tells anyone who asks, paired or not.
const std::set<std::string> kPublicKeys = {"ProductVersion", "BuildVersion", "ProductType",  "DeviceClass",
                                           "DeviceName",     "UniqueDeviceID", "DevicePublicKey", "WiFiAddress"};

} // namespace

LockdownSession::LockdownSession(MuxServer &server, AMDeviceRef phone, const std::string &udid,
                                 const std::string &folder, int fd)
    : server(server), phone(phone), udid(udid), folder(folder), wire(fd)
{
}

void LockdownSession::serve()
{
    for (;;) {
        plist_t message = wire.readPlist();
        if (!message && wire.hasTls()) {
            // The client ended the session's TLS (close_notify): plain again.
            wire.dropTls();
            message = wire.readPlist();
        }
        if (!message)
            return;
        const std::string request = plistwire::textOf(plistwire::valueOf(message, "Request"));
        bool startTls = false, stopTls = false, end = false;
        plist_t reply = answer(request, message, &startTls, &stopTls, &end);
        plist_free(message);
        if (!reply)
            return;
        const bool sent = wire.writePlist(reply);
        plist_free(reply);
        if (!sent || end)
            return;
        if (startTls) {
            SSL *ssl = TlsServer::instance().accept(wire.fd);
            if (!ssl)
                return;
            wire.useTls(ssl);
        }
        if (stopTls && wire.hasTls()) {
            // The client sends its close_notify next; the read above sees it.
        }
    }
}

plist_t LockdownSession::getValue(plist_t message)
{
    const std::string domain = plistwire::textOf(plistwire::valueOf(message, "Domain"));
    const std::string key = plistwire::textOf(plistwire::valueOf(message, "Key"));
    if (!inSession && (!domain.empty() || !kPublicKeys.count(key)))
        return failure("GetValue", "GetProhibited");
    plist_t value = nullptr;
    if (domain.empty() && key == "DevicePublicKey") {
        const std::string pem = server.devicePublicKey(phone);
        value = plist_new_data(pem.data(), pem.size());
    } else {
        value = server.standIn.copyValue(phone, domain.empty() ? nullptr : domain.c_str(),
                                         key.empty() ? nullptr : key.c_str());
        if (!value && domain.empty() && key == "WiFiAddress")
            value = plist_new_string("e0:b9:ba:00:00:01");
    }
    if (!value)
        return failure("GetValue", "MissingValue");
    plist_t answer = answerTo("GetValue");
    if (!domain.empty())
        plist_dict_set_item(answer, "Domain", plist_new_string(domain.c_str()));
    if (!key.empty())
        plist_dict_set_item(answer, "Key", plist_new_string(key.c_str()));
    plist_dict_set_item(answer, "Value", value);
    return answer;
}

plist_t LockdownSession::answer(const std::string &request, plist_t message, bool *startTls, bool *stopTls,
                                bool *end)
{
    const LockdownSettings settings = LockdownSettings::read(folder);
    const auto scripted = settings.errors.find(request);
    if (scripted != settings.errors.end())
        return failure(request, scripted->second);

    if (request == "QueryType") {
        plist_t answer = answerTo(request);
        plist_dict_set_item(answer, "Type", plist_new_string("com.apple.mobile.lockdown"));
        return answer;
    }
    if (request == "GetValue")
        return getValue(message);
    if (request == "SetValue") {
        if (!inSession)
            return failure(request, "SessionInactive");
        const std::string domain = plistwire::textOf(plistwire::valueOf(message, "Domain"));
        const std::string key = plistwire::textOf(plistwire::valueOf(message, "Key"));
        const std::string error = server.standIn.setValue(phone, domain.empty() ? nullptr : domain.c_str(),
                                                          key.c_str(), plist_dict_get_item(message, "Value"));
        return error.empty() ? answerTo(request) : failure(request, error);
    }
    if (request == "Pair") {
        const std::string host = hostId(message);
        if (host.empty())
            return failure(request, "InvalidHostID");
        if (settings.trust == "Pending") {
            server.awaitTrust(udid);
            return failure(request, "PairingDialogResponsePending");
        }
        if (settings.trust == "Denied")
            return failure(request, "UserDeniedPairing");
        if (settings.trust == "PasswordProtected")
            return failure(request, "PasswordProtected");
        LockdownSettings::addTrusted(folder, host);
        plist_t answer = answerTo(request);
        const char bag[32] = "virtual escrow bag of the phone";
        plist_dict_set_item(answer, "EscrowBag", plist_new_data(bag, sizeof(bag)));
        return answer;
    }
    if (request == "ValidatePair") {
        return LockdownSettings::trusts(folder, hostId(message)) ? answerTo(request)
                                                                  : failure(request, "InvalidHostID");
    }
    if (request == "StartSession") {
        if (!LockdownSettings::trusts(folder, hostId(message)))
            return failure(request, "InvalidHostID");
        if (inSession)
            return failure(request, "SessionActive");
        inSession = true;
        *startTls = true;
        plist_t answer = answerTo(request);
        plist_dict_set_item(answer, "SessionID", plist_new_string("5E55104D-0000-4000-8000-000000000001"));
        plist_dict_set_item(answer, "EnableSessionSSL", plist_new_bool(1));
        return answer;
    }
    if (request == "StopSession") {
        if (!inSession)
            return failure(request, "SessionInactive");
        inSession = false;
        *stopTls = true;
        return answerTo(request);
    }
    if (request == "StartService") {
        if (!inSession)
            return failure(request, "SessionInactive");
        const std::string service = plistwire::textOf(plistwire::valueOf(message, "Service"));
        int fd = -1;
        const std::string error = server.standIn.startService(phone, service, &fd);
        if (!error.empty())
            return failure(request, error);
        // The backup service is this side's own whole peer: the stand-in's
        // emulator, once the phone let the service start, ends unused.
        if (service == Backup2Peer::kService) {
            close(fd);
            fd = startBackupPeer(folder);
            if (fd < 0)
                return failure(request, "ServiceProhibited");
        }
        const bool tls = settings.sslServices.count(service) > 0;
        const uint16_t port = server.addService(phone, fd, tls);
        plist_t answer = answerTo(request);
        plist_dict_set_item(answer, "Service", plist_new_string(service.c_str()));
        plist_dict_set_item(answer, "Port", plist_new_uint(port));
        if (tls)
            plist_dict_set_item(answer, "EnableServiceSSL", plist_new_bool(1));
        return answer;
    }
    if (request == "Goodbye") {
        *end = true;
        return answerTo(request);
    }
    return failure(request, "InvalidRequest");
}
