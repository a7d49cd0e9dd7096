#include "store/plistarray.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// libplist parses nested arrays and dictionaries by recursion, so a damaged
// or crafted value nested deep enough overflows the stack. A participants
// list is one flat array; past this many containers the value is not one.
constexpr quint64 kMaxContainers = 1000;

quint64 bigEndian(const char *bytes, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | quint8(bytes[i]);
    return value;
}

// Whether a binary property list holds at most kMaxContainers arrays, sets
// and dictionaries, counted over its whole object table. Anything that does
// not add up is refused here; libplist would refuse it as well.
bool binaryContainersBounded(const QByteArray &data)
{
    const quint64 size = quint64(data.size());
    if (size < 8 + 32)
        return false;
    const char *trailer = data.constData() + size - 32;
    const int offsetSize = quint8(trailer[6]);
    const quint64 objects = bigEndian(trailer + 8, 8);
    const quint64 table = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || table < 8 || table >= size - 32)
        return false;
    if (objects > (size - 32 - table) / quint64(offsetSize))
        return false;
    quint64 containers = 0;
    for (quint64 i = 0; i < objects; ++i) {
        const quint64 offset = bigEndian(data.constData() + table + i * quint64(offsetSize), offsetSize);
        if (offset >= size)
            return false;
        const int kind = quint8(data.at(qsizetype(offset))) >> 4;
        if ((kind == 0xa || kind == 0xb || kind == 0xc || kind == 0xd) && ++containers > kMaxContainers)
            return false;
    }
    return true;
}

// The same bound for an XML property list: every array or dictionary opens
// with one of these tags, so their count bounds the nesting.
bool xmlContainersBounded(const QByteArray &data)
{
    quint64 containers = 0;
    for (const char *tag : {"<array", "<dict"}) {
        for (qsizetype at = data.indexOf(tag); at >= 0; at = data.indexOf(tag, at + 1)) {
            if (++containers > kMaxContainers)
                return false;
        }
    }
    return true;
}

} // namespace

QStringList plistArrayStrings(const QByteArray &data)
{
    QStringList values;
    if (data.isEmpty() || quint64(data.size()) > std::numeric_limits<uint32_t>::max())
        return values;
    const auto length = uint32_t(data.size());
    plist_t root = nullptr;
    if (data.size() >= 8 && std::memcmp(data.constData(), "bplist00", 8) == 0) {
        if (binaryContainersBounded(data))
            plist_from_bin(data.constData(), length, &root);
    } else if (xmlContainersBounded(data)) {
        plist_from_xml(data.constData(), length, &root);
    }
    if (!root)
        return values;
    if (plist_get_node_type(root) == PLIST_ARRAY) {
        const uint32_t size = plist_array_get_size(root);
        for (uint32_t i = 0; i < size; ++i) {
            plist_t item = plist_array_get_item(root, i);
            QString value = QStringLiteral("");
            if (item && plist_get_node_type(item) == PLIST_STRING) {
                char *text = nullptr;
                plist_get_string_val(item, &text);
                if (text)
                    value = QString::fromUtf8(text);
                std::free(text);
            }
            values.append(value);
        }
    }
    plist_free(root);
    return values;
}
