#include "platform/mobiledevice/requestlog.h"

#include "platform/mobiledevice/plistwire.h"
#include "platform/plist/plistparse.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>

void RequestLog::append(const std::string &phoneFolder, const std::string &service, plist_t message)
{
    // One lock for every log: connections of one service run on threads of
    // their own and share the file.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const std::string folder = phoneFolder + "/requests";
    mkdir(folder.c_str(), 0755);
    const std::string path = folder + "/" + service + ".plist";

    PlistOwned log;
    {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            log.reset(parsePlistGuarded(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size()))));
        }
    }
    if (!plistwire::isArray(log.get()))
        log.reset(plist_new_array());
    plist_array_append_item(log.get(), message ? plist_copy(message) : plist_new_string(""));

    const std::string xml = plistwire::serialise(log.get(), false);
    {
        std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
        out.write(xml.data(), std::streamsize(xml.size()));
    }
    std::rename((path + ".tmp").c_str(), path.c_str());
}
