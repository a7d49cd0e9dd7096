#include "lockdownsettings.h"

#include "platform/mobiledevice/plistwire.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

plist_t readDevicePlist(const std::string &folder)
{
    std::ifstream file(folder + "/device.plist", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    plist_t root = nullptr;
    if (!bytes.empty())
        plist_from_memory(bytes.data(), uint32_t(bytes.size()), &root);
    return root;
}

std::vector<std::string> texts(plist_t array)
{
    std::vector<std::string> out;
    if (!array || plist_get_node_type(array) != PLIST_ARRAY)
        return out;
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i)
        out.push_back(plistwire::textOf(plist_array_get_item(array, i)));
    return out;
}

std::string hostsFile(const std::string &folder)
{
    return folder + "/lockdown-hosts.txt";
}

} // namespace

LockdownSettings LockdownSettings::read(const std::string &phoneFolder)
{
    LockdownSettings settings;
    plist_t root = readDevicePlist(phoneFolder);
    plist_t lockdown = root ? plist_dict_get_item(root, "Lockdown") : nullptr;
    if (lockdown && plist_get_node_type(lockdown) == PLIST_DICT) {
        if (plist_t trust = plist_dict_get_item(lockdown, "Trust"))
            settings.trust = plistwire::textOf(trust);
        for (const std::string &name : texts(plist_dict_get_item(lockdown, "ServiceSSL")))
            settings.sslServices.insert(name);
        if (plist_t links = plist_dict_get_item(lockdown, "Links"))
            settings.links = texts(links);
        plist_t errors = plist_dict_get_item(lockdown, "Errors");
        if (errors && plist_get_node_type(errors) == PLIST_DICT) {
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(errors, &it);
            for (;;) {
                char *key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(errors, it, &key, &value);
                if (!key)
                    break;
                settings.errors[key] = plistwire::textOf(value);
                free(key);
            }
            free(it);
        }
    }
    plist_free(root);
    return settings;
}

std::string LockdownSettings::udid(const std::string &phoneFolder)
{
    plist_t root = readDevicePlist(phoneFolder);
    plist_t values = root ? plist_dict_get_item(root, "Values") : nullptr;
    const std::string out = plistwire::textOf(plistwire::valueOf(values, "UniqueDeviceID"));
    plist_free(root);
    return out;
}

bool LockdownSettings::trusts(const std::string &phoneFolder, const std::string &hostId)
{
    std::ifstream file(hostsFile(phoneFolder));
    for (std::string line; std::getline(file, line);) {
        if (!hostId.empty() && line == hostId)
            return true;
    }
    return false;
}

void LockdownSettings::addTrusted(const std::string &phoneFolder, const std::string &hostId)
{
    if (trusts(phoneFolder, hostId))
        return;
    std::ofstream file(hostsFile(phoneFolder), std::ios::app);
    file << hostId << "\n";
}
