#include "platform/plist/plistparse.h"

#include "platform/plist/plistdepth.h"

#include <limits>

namespace {

bool fitsLibplist(const QByteArray &data)
{
    return !data.isEmpty() && quint64(data.size()) <= std::numeric_limits<uint32_t>::max();
}

} // namespace

plist_t parsePlistGuarded(const QByteArray &data)
{
    plist_t root = nullptr;
    if (!fitsLibplist(data))
        return root;
    if (data.startsWith("bplist00")) {
        if (binaryPlistDepthWithin(data))
            plist_from_bin(data.constData(), uint32_t(data.size()), &root);
        return root;
    }
    const QByteArray xml = plainXmlPlist(data);
    if (fitsLibplist(xml))
        plist_from_xml(xml.constData(), uint32_t(xml.size()), &root);
    return root;
}
