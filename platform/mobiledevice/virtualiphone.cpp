#include "platform/mobiledevice/virtualiphone.h"

#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

const char *const kDevicePlist = "device.plist";
const char *const kSetValuesPlist = "set-values.plist";

// A CF dictionary's entries as (key, value) pairs, borrowed from it.
std::vector<std::pair<CFTypeRef, CFTypeRef>> entries(const CoreFoundationLink &cf, CFTypeRef dict)
{
    std::vector<std::pair<CFTypeRef, CFTypeRef>> out;
    if (!cf.isType(dict, cf.CFDictionaryGetTypeID))
        return out;
    const auto count = size_t(cf.CFDictionaryGetCount(dict));
    std::vector<const void *> keys(count), values(count);
    cf.CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
    for (size_t i = 0; i < count; ++i)
        out.emplace_back(keys[i], values[i]);
    return out;
}

std::map<std::string, int> codes(const CoreFoundationLink &cf, CFTypeRef dict)
{
    std::map<std::string, int> out;
    for (const auto &entry : entries(cf, dict))
        out[cf.text(entry.first)] = int(cf.integer(entry.second, kAMDUndefinedError));
    return out;
}

} // namespace

VirtualIPhone::VirtualIPhone(const std::string &folder, const CoreFoundationLink &cf) : folder(folder), cf(cf)
{
}

VirtualIPhone *VirtualIPhone::load(const std::string &folder, const CoreFoundationLink &cf)
{
    std::ifstream file(folder + "/" + kDevicePlist, std::ios::binary);
    if (!file)
        return nullptr;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CFDataRef data = cf.CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(bytes.data()), CFIndex(bytes.size()));
    CFTypeRef root = cf.CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    cf.CFRelease(data);
    if (!cf.isType(root, cf.CFDictionaryGetTypeID)) {
        if (root)
            cf.CFRelease(root);
        return nullptr;
    }
    auto *phone = new VirtualIPhone(folder, cf);
    auto field = [&](const char *name) {
        CFStringRef key = cf.string(name);
        CFTypeRef value = cf.CFDictionaryGetValue(root, key);
        cf.CFRelease(key);
        return value;
    };
    CFTypeRef values = field("Values");
    phone->values = cf.isType(values, cf.CFDictionaryGetTypeID)
                        ? cf.CFDictionaryCreateMutableCopy(nullptr, 0, values)
                        : cf.newDictionary();
    phone->domains = cf.newDictionary();
    for (const auto &domain : entries(cf, field("Domains"))) {
        if (!cf.isType(domain.second, cf.CFDictionaryGetTypeID))
            continue;
        CFMutableDictionaryRef copy = cf.CFDictionaryCreateMutableCopy(nullptr, 0, domain.second);
        cf.CFDictionarySetValue(phone->domains, domain.first, copy);
        cf.CFRelease(copy);
    }
    phone->paired = cf.integer(field("Paired"), 1) != 0;
    phone->failures = codes(cf, field("Failures"));
    phone->serviceFailures = codes(cf, field("ServiceFailures"));
    phone->setRecord = cf.CFArrayCreateMutable(nullptr, 0, cf.arrayCallBacks);
    cf.CFRelease(root);
    return phone;
}

int VirtualIPhone::failure(const std::string &step) const
{
    const auto it = failures.find(step);
    return it == failures.end() ? 0 : it->second;
}

int VirtualIPhone::reachable() const
{
    return isAttached ? 0 : kAMDDeviceDisconnectedError;
}

int VirtualIPhone::connect()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (int code = failure("AMDeviceConnect"))
        return code;
    ++connections;
    return 0;
}

int VirtualIPhone::disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    // Closing the connection ends the sessions opened on it.
    if (--connections == 0)
        sessions = 0;
    return failure("AMDeviceDisconnect");
}

int VirtualIPhone::isPaired()
{
    std::lock_guard<std::mutex> lock(mutex);
    return isAttached && paired ? 1 : 0;
}

int VirtualIPhone::pair()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    if (int code = failure("AMDevicePair"))
        return code;
    paired = true;
    return 0;
}

int VirtualIPhone::validatePairing()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    if (int code = failure("AMDeviceValidatePairing"))
        return code;
    return paired ? 0 : kAMDInvalidPairRecordError;
}

int VirtualIPhone::startSession()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (connections == 0)
        return kAMDNotConnectedError;
    if (!paired)
        return kAMDInvalidPairRecordError;
    if (int code = failure("AMDeviceStartSession"))
        return code;
    ++sessions;
    return 0;
}

int VirtualIPhone::stopSession()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (sessions == 0)
        return kAMDSessionInactiveError;
    --sessions;
    return failure("AMDeviceStopSession");
}

int VirtualIPhone::serviceAllowed(const std::string &service)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (sessions == 0)
        return kAMDSessionInactiveError;
    const auto it = serviceFailures.find(service);
    return it == serviceFailures.end() ? 0 : it->second;
}

bool VirtualIPhone::addServiceSocket(int emulatorSocket)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!isAttached)
        return false;
    serviceSockets.insert(emulatorSocket);
    return true;
}

void VirtualIPhone::serviceEnded(int emulatorSocket)
{
    std::lock_guard<std::mutex> lock(mutex);
    serviceSockets.erase(emulatorSocket);
}

CFMutableDictionaryRef VirtualIPhone::domainFor(CFStringRef domain, bool create)
{
    if (!domain || cf.text(domain).empty())
        return values;
    auto found = const_cast<CFMutableDictionaryRef>(cf.CFDictionaryGetValue(domains, domain));
    if (found || !create)
        return found;
    CFMutableDictionaryRef made = cf.newDictionary();
    cf.CFDictionarySetValue(domains, domain, made);
    cf.CFRelease(made);
    return made;
}

CFTypeRef VirtualIPhone::copyValue(CFStringRef domain, CFStringRef key)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!isAttached || sessions == 0 || failure("AMDeviceCopyValue"))
        return nullptr;
    if ((domain && !cf.isType(domain, cf.CFStringGetTypeID)) || (key && !cf.isType(key, cf.CFStringGetTypeID)))
        return nullptr;
    CFMutableDictionaryRef dict = domainFor(domain, false);
    if (!dict)
        return nullptr;
    // The whole domain is a copy: later changes of the phone's values must not
    // show through a dictionary the caller holds.
    if (!key)
        return cf.CFDictionaryCreateMutableCopy(nullptr, 0, dict);
    CFTypeRef value = cf.CFDictionaryGetValue(dict, key);
    return value ? cf.CFRetain(value) : nullptr;
}

int VirtualIPhone::setValue(CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (int code = reachable())
        return code;
    if (sessions == 0)
        return kAMDSessionInactiveError;
    if (int code = failure("AMDeviceSetValue"))
        return code;
    if ((domain && !cf.isType(domain, cf.CFStringGetTypeID)) || !cf.isType(key, cf.CFStringGetTypeID) || !value)
        return kAMDInvalidArgumentError;
    // A value without a property-list form could never reach a phone.
    CFDataRef probe = cf.CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!probe)
        return kAMDInvalidArgumentError;
    cf.CFRelease(probe);
    cf.CFDictionarySetValue(domainFor(domain, true), key, value);
    record(domain, key, value);
    return 0;
}

void VirtualIPhone::record(CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    CFMutableDictionaryRef entry = cf.newDictionary();
    auto put = [&](const char *name, CFTypeRef item) {
        CFStringRef field = cf.string(name);
        cf.CFDictionarySetValue(entry, field, item);
        cf.CFRelease(field);
    };
    CFStringRef noDomain = domain ? nullptr : cf.string("");
    put("Domain", domain ? domain : noDomain);
    put("Key", key);
    put("Value", value);
    if (noDomain)
        cf.CFRelease(noDomain);
    cf.CFArrayAppendValue(setRecord, entry);
    cf.CFRelease(entry);

    // Rewritten whole and renamed into place, so a reader never sees half.
    CFDataRef data = cf.CFPropertyListCreateData(nullptr, setRecord, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!data)
        return;
    const std::string path = folder + "/" + kSetValuesPlist;
    {
        std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(cf.CFDataGetBytePtr(data)), std::streamsize(cf.CFDataGetLength(data)));
    }
    std::rename((path + ".tmp").c_str(), path.c_str());
    cf.CFRelease(data);
}

bool VirtualIPhone::attached()
{
    std::lock_guard<std::mutex> lock(mutex);
    return isAttached;
}

void VirtualIPhone::detach()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!isAttached)
        return;
    isAttached = false;
    connections = sessions = 0;
    for (int socket : serviceSockets)
        shutdown(socket, SHUT_RDWR);
    for (CFTypeRef held : {CFTypeRef(values), CFTypeRef(domains), CFTypeRef(setRecord)})
        cf.CFRelease(held);
    values = domains = nullptr;
    setRecord = nullptr;
}
