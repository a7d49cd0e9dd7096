#include "ios/mbfilequickreader.h"

#include <cstring>

namespace {

// Layout of a binary property list: platform/plist/keyedarchive.h.
constexpr qint64 kHeaderBytes = 8;
constexpr qint64 kTrailerBytes = 32;
constexpr quint64 kMaxObjects = 1u << 20;

// The MBFile keys a record takes, in MbFileValues::Number order, then the
// three of other kinds.
enum Key { kTarget = MbFileValues::NumberCount, kDigest, kEncryptionKey, kKeyCount, kOther = kKeyCount };

// Which of those keys the ASCII text is; kOther for any other.
int keyOf(const char *t, quint64 size)
{
    // Every name has 4 to 16 bytes: two loads of 4 or 8 bytes, overlapping,
    // compare it whole.
    const auto is = [t](const char *name, size_t n) {
        if (n >= 8) {
            quint64 a, b, c, d;
            std::memcpy(&a, t, 8);
            std::memcpy(&b, name, 8);
            std::memcpy(&c, t + n - 8, 8);
            std::memcpy(&d, name + n - 8, 8);
            return a == b && c == d;
        }
        quint32 a, b, c, d;
        std::memcpy(&a, t, 4);
        std::memcpy(&b, name, 4);
        std::memcpy(&c, t + n - 4, 4);
        std::memcpy(&d, name + n - 4, 4);
        return a == b && c == d;
    };
    using V = MbFileValues;
    switch (size) {
    case 4: return is("Mode", 4) ? int(V::Mode) : is("Size", 4) ? int(V::Size) : int(kOther);
    case 5: return is("Birth", 5) ? int(V::Birth) : int(kOther);
    case 6: return is("UserID", 6) ? int(V::UserID) : is("Target", 6) ? int(kTarget) : is("Digest", 6) ? int(kDigest) : int(kOther);
    case 7: return is("GroupID", 7) ? int(V::GroupID) : int(kOther);
    case 11: return is("InodeNumber", 11) ? int(V::InodeNumber) : int(kOther);
    case 12: return is("LastModified", 12) ? int(V::LastModified) : int(kOther);
    case 13: return is("EncryptionKey", 13) ? int(kEncryptionKey) : int(kOther);
    case 15: return is("ProtectionClass", 15) ? int(V::ProtectionClass) : int(kOther);
    case 16: return is("LastStatusChange", 16) ? int(V::LastStatusChange) : int(kOther);
    default: return kOther;
    }
}

// One object's marker decoded: its kind (the marker's high nibble), where its
// payload starts and how many bytes, entries or units it has.
struct Object
{
    int kind = -1;
    int low = 0;         // the marker's low nibble
    qint64 payload = 0;  // offset of the payload
    quint64 count = 0;   // strings, data: bytes; arrays, dictionaries: entries
};

class BinaryPlistReader
{
public:
    BinaryPlistReader(const unsigned char *bytes, qint64 size) : b(bytes), n(size) {}

    bool trailer()
    {
        if (n < kHeaderBytes + kTrailerBytes || std::memcmp(b, "bplist00", 8) != 0)
            return false;
        const qint64 t = n - kTrailerBytes;
        offsetWidth = b[t + 6];
        refWidth = b[t + 7];
        numObjects = be(t + 8, 8);
        top = be(t + 16, 8);
        const quint64 tableAt = be(t + 24, 8);
        if (offsetWidth < 1 || offsetWidth > 8 || refWidth < 1 || refWidth > 8)
            return false;
        if (numObjects == 0 || numObjects > kMaxObjects || top >= numObjects)
            return false;
        if (tableAt < quint64(kHeaderBytes) || tableAt > quint64(t)
            || numObjects * quint64(offsetWidth) > quint64(t) - tableAt)
            return false;
        table = qint64(tableAt);
        return true;
    }

    Q_ALWAYS_INLINE quint64 be(qint64 at, int width) const
    {
        if (width == 1)
            return b[at];
        if (width == 2)
            return quint64(b[at]) << 8 | b[at + 1];
        return beLong(at, width);
    }

    Q_NEVER_INLINE quint64 beLong(qint64 at, int width) const
    {
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | b[at + i];
        return v;
    }

    quint64 ref(qint64 at) const { return be(at, refWidth); }

    // The object numbered index, its payload checked to lie before the
    // offset table.
    Q_ALWAYS_INLINE bool object(quint64 index, Object &o) const
    {
        if (index >= numObjects)
            return false;
        const qint64 slot = table + qint64(index) * offsetWidth;
        const quint64 at = be(slot, offsetWidth);
        if (at < quint64(kHeaderBytes) || at >= quint64(table))
            return false;
        const unsigned char marker = b[at];
        o.kind = marker >> 4;
        o.low = marker & 0x0F;
        o.payload = qint64(at) + 1;
        quint64 room = quint64(table - o.payload);
        switch (o.kind) {
        case 0x1: // integer of 1, 2, 4 or 8 bytes
            if (o.low > 3)
                return false;
            o.count = quint64(1) << o.low;
            return o.count <= room;
        case 0x8: // UID of 1 to 8 bytes
            if (o.low > 7)
                return false;
            o.count = quint64(o.low) + 1;
            return o.count <= room;
        case 0x4: case 0x5: case 0xA: case 0xD:
            break;
        default:
            return false; // anything else this reader leaves to the general one
        }
        quint64 count = quint64(o.low);
        if (o.low == 0x0F) {
            if (room < 1)
                return false;
            const unsigned char intMarker = b[o.payload];
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3)
                return false;
            const int width = 1 << (intMarker & 0x0F);
            if (quint64(width) + 1 > room)
                return false;
            count = be(o.payload + 1, width);
            o.payload += 1 + width;
            room = quint64(table - o.payload);
        }
        o.count = count;
        const quint64 unit = o.kind == 0xA ? quint64(refWidth) : o.kind == 0xD ? 2 * quint64(refWidth) : 1;
        return count <= room / unit;
    }

    // Whether o is the ASCII string text.
    bool isAscii(const Object &o, const char *text, qsizetype size) const
    {
        return o.kind == 0x5 && o.count == quint64(size) && std::memcmp(b + o.payload, text, size_t(size)) == 0;
    }

    // The value of the first key equal to text in dictionary d, every key an
    // ASCII string; false when a key is of another kind or none matches.
    bool member(const Object &d, const char *text, qsizetype size, quint64 &value) const
    {
        for (quint64 i = 0; i < d.count; ++i) {
            Object key;
            if (!object(ref(d.payload + qint64(i) * refWidth), key) || key.kind != 0x5)
                return false;
            if (isAscii(key, text, size)) {
                value = ref(d.payload + qint64(d.count + i) * refWidth);
                return true;
            }
        }
        return false;
    }

    // The object a dictionary value leads to: a UID followed once into
    // $objects (a UID leading to another UID is left to the general reader).
    // null is set for the string "$null".
    Q_ALWAYS_INLINE bool resolve(quint64 index, Object &o, bool &null) const
    {
        if (!object(index, o))
            return false;
        if (o.kind == 0x8) {
            const quint64 uid = be(o.payload, int(o.count));
            if (uid >= objectCount || !object(ref(objectRefs + qint64(uid) * refWidth), o) || o.kind == 0x8)
                return false;
        }
        null = isAscii(o, "$null", 5);
        return true;
    }

    QByteArray bytes(const Object &o) const
    {
        return QByteArray(reinterpret_cast<const char *>(b + o.payload), qsizetype(o.count));
    }

    const unsigned char *b;
    qint64 n;
    int offsetWidth = 0;
    int refWidth = 0;
    quint64 numObjects = 0;
    quint64 top = 0;
    qint64 table = 0;
    qint64 objectRefs = 0;
    quint64 objectCount = 0;
};

} // namespace

bool MbFileValues::operator==(const MbFileValues &other) const
{
    for (int i = 0; i < NumberCount; ++i) {
        if (numbers[i] != other.numbers[i])
            return false;
    }
    return hasTarget == other.hasTarget && hasDigest == other.hasDigest && hasEncryptionKey == other.hasEncryptionKey
           && (!hasTarget || target == other.target) && (!hasDigest || digest == other.digest)
           && (!hasEncryptionKey || encryptionKey == other.encryptionKey);
}

bool MbFileQuickReader::read(const char *data, qsizetype size, MbFileValues &values)
{
    BinaryPlistReader r(reinterpret_cast<const unsigned char *>(data), size);
    if (!r.trailer())
        return false;

    // The top dictionary: "$objects" and "$top", taken as they stand.
    Object top, objects, topDict, rootRef;
    quint64 index = 0;
    if (!r.object(r.top, top) || top.kind != 0xD)
        return false;
    if (!r.member(top, "$objects", 8, index) || !r.object(index, objects) || objects.kind != 0xA)
        return false;
    r.objectRefs = objects.payload;
    r.objectCount = objects.count;
    if (!r.member(top, "$top", 4, index) || !r.object(index, topDict) || topDict.kind != 0xD)
        return false;
    if (!r.member(topDict, "root", 4, index) || !r.object(index, rootRef) || rootRef.kind != 0x8)
        return false;
    Object root;
    bool null = false;
    if (!r.resolve(index, root, null) || root.kind != 0xD)
        return false;

    values = MbFileValues();
    bool seen[kKeyCount] = {};
    for (quint64 i = 0; i < root.count; ++i) {
        Object key;
        if (!r.object(r.ref(root.payload + qint64(i) * r.refWidth), key) || key.kind != 0x5)
            return false;
        const int k = keyOf(reinterpret_cast<const char *>(r.b + key.payload), key.count);
        if (k == kOther)
            continue; // a key the record does not take: not even resolved
        if (seen[k])
            return false; // a key given twice
        seen[k] = true;
        Object value;
        if (!r.resolve(r.ref(root.payload + qint64(root.count + i) * r.refWidth), value, null))
            return false;
        if (null)
            continue;
        if (k < MbFileValues::NumberCount) {
            if (value.kind != 0x1)
                return false;
            values.numbers[k] = qint64(r.be(value.payload, int(value.count)));
        } else if (k == kTarget) {
            if (value.kind != 0x5)
                return false;
            for (quint64 c = 0; c < value.count; ++c) {
                if (r.b[value.payload + qint64(c)] >= 0x80)
                    return false; // Latin-1: the general reader converts it
            }
            values.hasTarget = true;
            values.target = r.bytes(value);
        } else if (k == kDigest) {
            if (value.kind != 0x4)
                return false;
            values.hasDigest = true;
            values.digest = r.bytes(value);
        } else {
            if (value.kind == 0xD) {
                if (!r.member(value, "NS.data", 7, index))
                    return false;
                if (!r.resolve(index, value, null))
                    return false;
                if (null)
                    continue;
            }
            if (value.kind != 0x4)
                return false;
            values.hasEncryptionKey = true;
            values.encryptionKey = r.bytes(value);
        }
    }
    return true;
}
