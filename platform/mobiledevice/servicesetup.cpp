#include "platform/mobiledevice/servicesetup.h"

#include "platform/plist/plistparse.h"

#include <fstream>
#include <iterator>

PlistOwned ServiceSetup::read(const std::string &phoneFolder, const std::string &service)
{
    std::ifstream in(phoneFolder + "/device.plist", std::ios::binary);
    if (!in)
        return PlistOwned();
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const PlistOwned device(parsePlistGuarded(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size()))));
    plist_t settings = plistwire::valueOf(plistwire::valueOf(device.get(), "Services"), service.c_str());
    return PlistOwned(plistwire::isDictionary(settings) ? plistwire::copy(settings) : nullptr);
}
