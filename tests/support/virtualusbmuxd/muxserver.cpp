#include "muxserver.h"

#include "lockdownsession.h"
#include "lockdownsettings.h"
#include "tlsserver.h"
#include "wirestream.h"

#include "platform/mobiledevice/plistwire.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

const uint32_t kPlistMessage = 8;
const uint16_t kLockdownPort = 62078;
const uint64_t kResultBadCommand = 1;
const uint64_t kResultBadDevice = 2;
const uint64_t kResultRefused = 3;
const uint32_t kMaxPacket = 1024 * 1024;
const char *const kBuid = "0D1E2F30-4152-6374-8596-A7B8C9DAEBFC";

uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe32(char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char(v >> (8 * i));
}

uint64_t number(plist_t dict, const char *key)
{
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    uint64_t value = 0;
    if (node && plist_get_node_type(node) == PLIST_UINT)
        plist_get_uint_val(node, &value);
    return value;
}

} // namespace

MuxServer::MuxServer(StandInPhones &phones, const std::string &recordsDir) : standIn(phones), recordsDir(recordsDir)
{
}

std::string MuxServer::listen(const std::string &path)
{
    listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return "socket path too long";
    std::strcpy(address.sun_path, path.c_str());
    unlink(path.c_str());
    // Bound under a temporary name and renamed, so a client never finds the
    // path before it accepts.
    const std::string temporary = path + ".new";
    std::strcpy(address.sun_path, temporary.c_str());
    unlink(temporary.c_str());
    if (bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || ::listen(listenFd, 16) != 0)
        return std::strerror(errno);
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        return std::strerror(errno);
    std::thread([this] { preflight(); }).detach();
    return std::string();
}

void MuxServer::run()
{
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        std::thread([this, fd] { serveClient(fd); }).detach();
    }
}

plist_t MuxServer::attachedMessage(const Phone &phone, size_t link) const
{
    plist_t properties = plist_new_dict();
    const bool network = phone.links[link] == "Network";
    plist_dict_set_item(properties, "ConnectionType", plist_new_string(network ? "Network" : "USB"));
    plist_dict_set_item(properties, "DeviceID", plist_new_uint(phone.ids[link]));
    plist_dict_set_item(properties, "SerialNumber", plist_new_string(phone.udid.c_str()));
    if (network) {
        // A BSD sockaddr_in: length, family, port, 127.0.0.1.
        const char address[16] = {16, 2, 0, 0, 127, 0, 0, 1};
        plist_dict_set_item(properties, "NetworkAddress", plist_new_data(address, sizeof(address)));
        plist_dict_set_item(properties, "EscapedFullServiceName",
                            plist_new_string(("virtual@" + phone.udid + "._apple-mobdev2._tcp.local.").c_str()));
    } else {
        plist_dict_set_item(properties, "ConnectionSpeed", plist_new_uint(480000000));
        plist_dict_set_item(properties, "LocationID", plist_new_uint(phone.ids[link]));
        plist_dict_set_item(properties, "ProductID", plist_new_uint(0x12a8));
    }
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(message, "DeviceID", plist_new_uint(phone.ids[link]));
    plist_dict_set_item(message, "Properties", properties);
    return message;
}

bool MuxServer::reply(int fd, uint32_t tag, plist_t message)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(message, &xml, &length);
    plist_free(message);
    if (!xml)
        return false;
    std::string packet(16, '\0');
    putLe32(&packet[0], 16 + length);
    putLe32(&packet[4], 1);
    putLe32(&packet[8], kPlistMessage);
    putLe32(&packet[12], tag);
    packet.append(xml, length);
    free(xml);
    size_t done = 0;
    while (done < packet.size()) {
        const ssize_t sent = send(fd, packet.data() + done, packet.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += size_t(sent);
    }
    return true;
}

bool MuxServer::result(int fd, uint32_t tag, uint64_t code)
{
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "MessageType", plist_new_string("Result"));
    plist_dict_set_item(message, "Number", plist_new_uint(code));
    return reply(fd, tag, message);
}

void MuxServer::tellListeners(plist_t message)
{
    std::lock_guard<std::mutex> lock(listenersMutex);
    for (int fd : listeners)
        reply(fd, 0, plist_copy(message));
    plist_free(message);
}

void MuxServer::arrived(AMDeviceRef handle, const std::string &udid, const std::string &folder)
{
    Phone phone;
    phone.handle = handle;
    phone.udid = udid;
    phone.folder = folder;
    for (const std::string &link : LockdownSettings::read(folder).links) {
        if (link != "USB" && link != "Network")
            continue;
        phone.links.push_back(link);
        std::lock_guard<std::mutex> lock(mutex);
        phone.ids.push_back(nextId++);
    }
    std::vector<plist_t> messages;
    for (size_t i = 0; i < phone.ids.size(); ++i)
        messages.push_back(attachedMessage(phone, i));
    {
        // Known before listeners hear of it, so a Connect that follows the
        // news finds it.
        std::lock_guard<std::mutex> lock(mutex);
        phones[handle] = phone;
    }
    for (plist_t message : messages)
        tellListeners(message);
}

void MuxServer::left(AMDeviceRef handle)
{
    Phone phone;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = phones.find(handle);
        if (it == phones.end())
            return;
        phone = it->second;
        phones.erase(it);
        for (int fd : phone.connections)
            shutdown(fd, SHUT_RDWR);
        awaitingTrust.erase(phone.udid);
    }
    for (uint32_t id : phone.ids) {
        plist_t message = plist_new_dict();
        plist_dict_set_item(message, "MessageType", plist_new_string("Detached"));
        plist_dict_set_item(message, "DeviceID", plist_new_uint(id));
        tellListeners(message);
    }
}

MuxServer::Phone MuxServer::phoneById(uint32_t id)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &entry : phones) {
        for (uint32_t own : entry.second.ids) {
            if (own == id)
                return entry.second;
        }
    }
    return Phone();
}

bool MuxServer::track(AMDeviceRef handle, int fd)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = phones.find(handle);
    if (it == phones.end())
        return false;
    it->second.connections.insert(fd);
    return true;
}

void MuxServer::untrack(AMDeviceRef handle, int fd)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = phones.find(handle);
    if (it != phones.end())
        it->second.connections.erase(fd);
}

std::string MuxServer::devicePublicKey(AMDeviceRef handle)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = phones.find(handle);
        if (it == phones.end())
            return std::string();
        if (!it->second.publicKey.empty())
            return it->second.publicKey;
    }
    const std::string key = TlsServer::newDevicePublicKey();
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = phones.find(handle);
    if (it == phones.end())
        return std::string();
    if (it->second.publicKey.empty())
        it->second.publicKey = key;
    return it->second.publicKey;
}

uint16_t MuxServer::addService(AMDeviceRef handle, int emulatorFd, bool tls)
{
    std::lock_guard<std::mutex> lock(mutex);
    const uint16_t port = nextPort++;
    services[port] = Service{handle, emulatorFd, tls};
    return port;
}

void MuxServer::awaitTrust(const std::string &udid)
{
    std::lock_guard<std::mutex> lock(mutex);
    awaitingTrust.insert(udid);
}

std::string MuxServer::recordPath(const std::string &udid) const
{
    return recordsDir + "/" + udid + ".plist";
}

void MuxServer::serveClient(int fd)
{
    for (;;) {
        unsigned char head[16];
        size_t got = 0;
        while (got < sizeof(head)) {
            const ssize_t n = recv(fd, head + got, sizeof(head) - got, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += size_t(n);
        }
        if (got < sizeof(head))
            break;
        const uint32_t length = le32(head);
        const uint32_t message = le32(head + 8);
        const uint32_t tag = le32(head + 12);
        if (length < 16 || length > kMaxPacket)
            break;
        std::string body(length - 16, '\0');
        WireStream raw(fd);
        if (!body.empty() && !raw.read(body.data(), body.size()))
            break;
        plist_t request = nullptr;
        if (message == kPlistMessage && !body.empty())
            plist_from_xml(body.data(), uint32_t(body.size()), &request);
        const std::string type = plistwire::textOf(plistwire::valueOf(request, "MessageType"));

        if (type == "Listen") {
            plist_free(request);
            if (!result(fd, tag, 0))
                break;
            {
                std::lock_guard<std::mutex> lock(listenersMutex);
                std::vector<plist_t> news;
                {
                    std::lock_guard<std::mutex> phonesLock(mutex);
                    for (const auto &entry : phones) {
                        for (size_t i = 0; i < entry.second.ids.size(); ++i)
                            news.push_back(attachedMessage(entry.second, i));
                    }
                }
                for (plist_t item : news)
                    reply(fd, 0, item);
                listeners.insert(fd);
            }
            // A listener sends nothing more; its closing ends it.
            char byte;
            while (recv(fd, &byte, 1, 0) > 0) {
            }
            std::lock_guard<std::mutex> lock(listenersMutex);
            listeners.erase(fd);
            break;
        }
        if (type == "ListDevices") {
            plist_free(request);
            plist_t list = plist_new_array();
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (const auto &entry : phones) {
                    for (size_t i = 0; i < entry.second.ids.size(); ++i)
                        plist_array_append_item(list, attachedMessage(entry.second, i));
                }
            }
            plist_t answer = plist_new_dict();
            plist_dict_set_item(answer, "DeviceList", list);
            if (!reply(fd, tag, answer))
                break;
            continue;
        }
        if (type == "Connect") {
            const uint32_t id = uint32_t(number(request, "DeviceID"));
            const uint16_t wirePort = uint16_t(number(request, "PortNumber"));
            plist_free(request);
            const uint16_t port = uint16_t((wirePort >> 8) | (wirePort << 8));
            const Phone phone = phoneById(id);
            if (!phone.handle) {
                result(fd, tag, kResultBadDevice);
                continue;
            }
            if (port == kLockdownPort) {
                if (!track(phone.handle, fd) || !result(fd, tag, 0))
                    break;
                LockdownSession(*this, phone.handle, phone.udid, phone.folder, fd).serve();
                untrack(phone.handle, fd);
                break;
            }
            Service service{nullptr, -1, false};
            {
                std::lock_guard<std::mutex> lock(mutex);
                const auto it = services.find(port);
                if (it != services.end() && it->second.handle == phone.handle) {
                    service = it->second;
                    services.erase(it);
                }
            }
            if (!service.handle) {
                result(fd, tag, kResultRefused);
                continue;
            }
            if (track(phone.handle, fd) && result(fd, tag, 0))
                serveService(fd, service);
            untrack(phone.handle, fd);
            close(service.emulatorFd);
            break;
        }
        if (type == "ReadBUID") {
            plist_free(request);
            plist_t answer = plist_new_dict();
            plist_dict_set_item(answer, "BUID", plist_new_string(kBuid));
            if (!reply(fd, tag, answer))
                break;
            continue;
        }
        if (type == "ReadPairRecord") {
            const std::string id = plistwire::textOf(plistwire::valueOf(request, "PairRecordID"));
            plist_free(request);
            std::ifstream file(recordPath(id), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if (id.empty() || bytes.empty()) {
                if (!result(fd, tag, kResultBadDevice))
                    break;
                continue;
            }
            plist_t answer = plist_new_dict();
            plist_dict_set_item(answer, "PairRecordData", plist_new_data(bytes.data(), bytes.size()));
            if (!reply(fd, tag, answer))
                break;
            continue;
        }
        if (type == "SavePairRecord") {
            const std::string id = plistwire::textOf(plistwire::valueOf(request, "PairRecordID"));
            const uint32_t deviceId = uint32_t(number(request, "DeviceID"));
            plist_t data = plist_dict_get_item(request, "PairRecordData");
            char *bytes = nullptr;
            uint64_t size = 0;
            if (data && plist_get_node_type(data) == PLIST_DATA)
                plist_get_data_val(data, &bytes, &size);
            plist_free(request);
            bool saved = false;
            if (!id.empty() && bytes) {
                const std::string path = recordPath(id);
                {
                    std::ofstream file(path + ".tmp", std::ios::binary | std::ios::trunc);
                    file.write(bytes, std::streamsize(size));
                    saved = bool(file);
                }
                saved = saved && std::rename((path + ".tmp").c_str(), path.c_str()) == 0;
            }
            free(bytes);
            if (!result(fd, tag, saved ? 0 : kResultBadCommand))
                break;
            if (saved && deviceId && phoneById(deviceId).handle) {
                plist_t paired = plist_new_dict();
                plist_dict_set_item(paired, "MessageType", plist_new_string("Paired"));
                plist_dict_set_item(paired, "DeviceID", plist_new_uint(deviceId));
                tellListeners(paired);
            }
            continue;
        }
        if (type == "DeletePairRecord") {
            const std::string id = plistwire::textOf(plistwire::valueOf(request, "PairRecordID"));
            plist_free(request);
            if (!id.empty())
                std::remove(recordPath(id).c_str());
            if (!result(fd, tag, 0))
                break;
            continue;
        }
        plist_free(request);
        if (!result(fd, tag, kResultBadCommand))
            break;
    }
    close(fd);
}

void MuxServer::serveService(int fd, const Service &service)
{
    WireStream muxed(fd);
    if (service.tls) {
        SSL *ssl = TlsServer::instance().accept(fd);
        if (!ssl)
            return;
        muxed.useTls(ssl);
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        if (!muxed.pending()) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {service.emulatorFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents) {
                const ssize_t got = recv(service.emulatorFd, buffer.data(), buffer.size(), 0);
                if (got <= 0 || !muxed.write(buffer.data(), size_t(got)))
                    break;
            }
            if (!fds[0].revents)
                continue;
        }
        const size_t got = muxed.readSome(buffer.data(), buffer.size());
        if (got == 0)
            break;
        WireStream emulator(service.emulatorFd);
        if (!emulator.write(buffer.data(), got))
            break;
    }
    // The phone's side ends: the client reads the end after what was sent.
    if (muxed.hasTls())
        muxed.dropTls();
    shutdown(fd, SHUT_RDWR);
}

void MuxServer::preflight()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::vector<std::string> granted;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = awaitingTrust.begin(); it != awaitingTrust.end();) {
                std::string folder;
                for (const auto &entry : phones) {
                    if (entry.second.udid == *it)
                        folder = entry.second.folder;
                }
                if (!folder.empty() && LockdownSettings::read(folder).trust == "Trusted") {
                    granted.push_back(*it);
                    it = awaitingTrust.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const std::string &udid : granted) {
            // As usbmuxd does: pair through libimobiledevice, whose record
            // is saved through this very socket (USBMUXD_SOCKET_ADDRESS),
            // naming the device, so listeners hear Paired.
            idevice_t device = nullptr;
            if (idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS)
                continue;
            lockdownd_client_t client = nullptr;
            if (lockdownd_client_new(device, &client, "usbmuxd") == LOCKDOWN_E_SUCCESS) {
                lockdownd_pair(client, nullptr);
                lockdownd_client_free(client);
            }
            idevice_free(device);
        }
    }
}
