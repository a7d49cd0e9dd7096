#include "platform/plist/plistparse.h"

#include "platform/plist/plistdepth.h"

#include <limits>

namespace {

bool fitsLibplist(const QByteArray &data)
{
    return !data.isEmpty() && quint64(data.size()) <= std::numeric_limits<uint32_t>::max();
}

} // namespace

QByteArray guardedPlistBytes(const QByteArray &data)
{
    if (!fitsLibplist(data))
        return QByteArray();
    if (data.startsWith("bplist00"))
        return binaryPlistDepthWithin(data) ? data : QByteArray();
    return plainXmlPlist(data);
}

plist_t parsePlistGuarded(const QByteArray &data)
{
    plist_t root = nullptr;
    const QByteArray bytes = guardedPlistBytes(data);
    if (!fitsLibplist(bytes))
        return root;
    if (bytes.startsWith("bplist00"))
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    else
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    return root;
}
