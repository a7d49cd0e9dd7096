#include "platform/plist/keyedarchive.h"

#include <cstring>

namespace {

constexpr qint64 kHeaderBytes = 8;
constexpr qint64 kTrailerBytes = 32;

} // namespace

bool KeyedArchive::fail(const QString &text) const
{
    if (m_error.isEmpty())
        m_error = text;
    return false;
}

quint64 KeyedArchive::readUnsigned(qint64 at, int width) const
{
    quint64 value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | m_bytes[at + i];
    return value;
}

bool KeyedArchive::load(const QByteArray &data)
{
    m_data = data;
    m_bytes = reinterpret_cast<const unsigned char *>(m_data.constData());
    m_size = m_data.size();
    m_error.clear();
    m_objects = -1;
    m_root = -1;
    if (m_size < kHeaderBytes + kTrailerBytes || std::memcmp(m_bytes, "bplist00", 8) != 0)
        return fail(QStringLiteral("not a binary property list"));

    const qint64 trailer = m_size - kTrailerBytes;
    m_offsetWidth = m_bytes[trailer + 6];
    m_refWidth = m_bytes[trailer + 7];
    m_numObjects = readUnsigned(trailer + 8, 8);
    const quint64 top = readUnsigned(trailer + 16, 8);
    const quint64 table = readUnsigned(trailer + 24, 8);
    if (m_offsetWidth < 1 || m_offsetWidth > 8 || m_refWidth < 1 || m_refWidth > 8)
        return fail(QStringLiteral("a binary property list with impossible entry sizes"));
    if (m_numObjects == 0 || m_numObjects > kMaxObjects || top >= m_numObjects)
        return fail(QStringLiteral("a binary property list with an impossible object count"));
    // The offset table lies between the objects and the trailer.
    if (table < quint64(kHeaderBytes) || table > quint64(trailer)
        || m_numObjects * quint64(m_offsetWidth) > quint64(trailer) - table)
        return fail(QStringLiteral("a binary property list whose offset table runs outside it"));
    m_table = qint64(table);

    const qint64 topObject = qint64(top);
    if (type(topObject) != Type::Dictionary)
        return fail(QStringLiteral("not a keyed archive (its top object is no dictionary)"));
    const qint64 objects = rawMember(topObject, QLatin1String("$objects"));
    Marker m;
    if (objects < 0 || !marker(objects, m) || m.type != Type::Array)
        return fail(QStringLiteral("not a keyed archive (no $objects array)"));
    m_objects = objects;
    m_objectCount = m.count;
    m_objectRefs = m.payload;
    const qint64 topDict = rawMember(topObject, QLatin1String("$top"));
    if (topDict < 0 || type(topDict) != Type::Dictionary)
        return fail(QStringLiteral("not a keyed archive (no $top dictionary)"));
    const qint64 rootRef = rawMember(topDict, QLatin1String("root"));
    if (rootRef < 0 || type(rootRef) != Type::Uid)
        return fail(QStringLiteral("not a keyed archive (no root object)"));
    m_root = resolve(rootRef);
    if (m_root < 0)
        return fail(QStringLiteral("a keyed archive whose root leads nowhere"));
    return true;
}

qint64 KeyedArchive::objectOffset(qint64 object) const
{
    if (object < 0 || quint64(object) >= m_numObjects)
        return -1;
    const quint64 offset = readUnsigned(m_table + object * m_offsetWidth, m_offsetWidth);
    // Objects lie between the header and the offset table.
    if (offset < quint64(kHeaderBytes) || offset >= quint64(m_table))
        return -1;
    return qint64(offset);
}

bool KeyedArchive::marker(qint64 object, Marker &m) const
{
    const qint64 at = objectOffset(object);
    if (at < 0)
        return false;
    const unsigned char byte = m_bytes[at];
    const int high = byte >> 4;
    const int low = byte & 0x0F;
    m = Marker();
    m.payload = at + 1;
    // Bytes the payload may take: up to the offset table.
    const quint64 room = quint64(m_table - m.payload);
    switch (high) {
    case 0x0:
        if (byte == 0x00)
            m.type = Type::Null;
        else if (byte == 0x08 || byte == 0x09)
            m.type = Type::Bool;
        else
            return false;
        m.count = (byte == 0x09);
        return true;
    case 0x1:
    case 0x2:
        if (low > 4 || (high == 0x2 && low < 2))
            return false;
        m.type = high == 0x1 ? Type::Integer : Type::Real;
        m.width = 1 << low;
        return quint64(m.width) <= room;
    case 0x3:
        if (byte != 0x33)
            return false;
        m.type = Type::Date;
        m.width = 8;
        return quint64(m.width) <= room;
    case 0x8:
        m.type = Type::Uid;
        m.width = low + 1;
        return m.width <= 8 && quint64(m.width) <= room;
    case 0x4:
    case 0x5:
    case 0x6:
    case 0xA:
    case 0xC:
    case 0xD:
        break;
    default:
        return false;
    }
    quint64 count = quint64(low);
    if (low == 0x0F) {
        // The count follows as an integer object of 1, 2, 4 or 8 bytes.
        if (room < 1)
            return false;
        const unsigned char intMarker = m_bytes[m.payload];
        if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3)
            return false;
        const int width = 1 << (intMarker & 0x0F);
        if (quint64(width) + 1 > room)
            return false;
        count = readUnsigned(m.payload + 1, width);
        m.payload += 1 + width;
    }
    m.count = count;
    const quint64 left = quint64(m_table - m.payload);
    quint64 unit = 1;
    switch (high) {
    case 0x4: m.type = Type::Data; break;
    case 0x5: m.type = Type::String; break;
    case 0x6: m.type = Type::String; unit = 2; break;
    case 0xA: m.type = Type::Array; unit = quint64(m_refWidth); break;
    case 0xC: m.type = Type::Set; unit = quint64(m_refWidth); break;
    case 0xD: m.type = Type::Dictionary; unit = 2 * quint64(m_refWidth); break;
    }
    m.width = int(unit); // for strings: bytes per unit
    // Checked by division, so that no count can overflow the product.
    return count <= left / unit;
}

KeyedArchive::Type KeyedArchive::type(qint64 object) const
{
    Marker m;
    return marker(object, m) ? m.type : Type::Invalid;
}

qint64 KeyedArchive::reference(qint64 at) const
{
    return qint64(readUnsigned(at, m_refWidth));
}

bool KeyedArchive::keyEquals(qint64 object, QLatin1String key) const
{
    Marker m;
    if (!marker(object, m) || m.type != Type::String)
        return false;
    const qsizetype length = key.size();
    if (m.count != quint64(length))
        return false;
    const unsigned char *p = m_bytes + m.payload;
    if (m.width == 1)
        return std::memcmp(p, key.data(), size_t(length)) == 0;
    for (qsizetype i = 0; i < length; ++i) {
        if (p[2 * i] != 0 || p[2 * i + 1] != static_cast<unsigned char>(key.data()[i]))
            return false;
    }
    return true;
}

qint64 KeyedArchive::rawMember(qint64 dict, QLatin1String key) const
{
    Marker m;
    if (!marker(dict, m) || m.type != Type::Dictionary)
        return -1;
    const qint64 keys = m.payload;
    const qint64 values = keys + qint64(m.count) * m_refWidth;
    for (quint64 i = 0; i < m.count; ++i) {
        if (keyEquals(reference(keys + qint64(i) * m_refWidth), key))
            return reference(values + qint64(i) * m_refWidth);
    }
    return -1;
}

qint64 KeyedArchive::resolve(qint64 object) const
{
    for (int hop = 0; hop <= kMaxUidHops; ++hop) {
        Marker m;
        if (!marker(object, m)) {
            fail(QStringLiteral("a keyed archive refers to an object it does not hold"));
            return -1;
        }
        if (m.type != Type::Uid)
            return object;
        if (m_objects < 0) {
            fail(QStringLiteral("a keyed archive uses a UID before its $objects"));
            return -1;
        }
        const quint64 uid = readUnsigned(m.payload, m.width);
        if (uid >= m_objectCount) {
            fail(QStringLiteral("a keyed archive refers to object %1 of %2").arg(uid).arg(m_objectCount));
            return -1;
        }
        object = reference(m_objectRefs + qint64(uid) * m_refWidth);
    }
    fail(QStringLiteral("a keyed archive whose references run round in a cycle"));
    return -1;
}

qint64 KeyedArchive::member(qint64 dict, QLatin1String key) const
{
    const qint64 raw = rawMember(dict, key);
    if (raw < 0)
        return -1;
    const qint64 value = resolve(raw);
    if (value < 0 || keyEquals(value, QLatin1String("$null")))
        return -1;
    return value;
}

void KeyedArchive::members(qint64 dict, const QLatin1String *keys, qint64 *values, int count) const
{
    for (int k = 0; k < count; ++k)
        values[k] = -1;
    Marker m;
    if (!marker(dict, m) || m.type != Type::Dictionary)
        return;
    const qint64 keyRefs = m.payload;
    const qint64 valueRefs = keyRefs + qint64(m.count) * m_refWidth;
    for (quint64 i = 0; i < m.count; ++i) {
        const qint64 keyObject = reference(keyRefs + qint64(i) * m_refWidth);
        Marker key;
        if (!marker(keyObject, key) || key.type != Type::String)
            continue;
        const char *text = reinterpret_cast<const char *>(m_bytes + key.payload);
        for (int k = 0; k < count; ++k) {
            if (values[k] >= 0 || quint64(keys[k].size()) != key.count)
                continue;
            // ASCII keys compare in place; UTF-16 ones unit by unit.
            if (key.width == 1 ? std::memcmp(text, keys[k].data(), size_t(key.count)) != 0
                               : !keyEquals(keyObject, keys[k]))
                continue;
            const qint64 value = resolve(reference(valueRefs + qint64(i) * m_refWidth));
            values[k] = value >= 0 && !keyEquals(value, QLatin1String("$null")) ? value : -1;
            break;
        }
    }
}

bool KeyedArchive::toInteger(qint64 object, qint64 &value) const
{
    Marker m;
    if (!marker(object, m) || m.type != Type::Integer)
        return false;
    if (m.width == 16) {
        // A 128-bit integer: only values whose high half is a sign extension.
        const quint64 high = readUnsigned(m.payload, 8);
        const quint64 low = readUnsigned(m.payload + 8, 8);
        if (!(high == 0 && qint64(low) >= 0) && !(high == ~quint64(0) && qint64(low) < 0))
            return false;
        value = qint64(low);
        return true;
    }
    const quint64 raw = readUnsigned(m.payload, m.width);
    // Only 8-byte integers are signed in the format; shorter ones are unsigned.
    value = qint64(raw);
    return true;
}

bool KeyedArchive::toReal(qint64 object, double &value) const
{
    Marker m;
    if (!marker(object, m))
        return false;
    if (m.type == Type::Integer) {
        qint64 i = 0;
        if (!toInteger(object, i))
            return false;
        value = double(i);
        return true;
    }
    if (m.type != Type::Real && m.type != Type::Date)
        return false;
    const quint64 raw = readUnsigned(m.payload, m.width);
    if (m.width == 4) {
        float f;
        const quint32 bits = quint32(raw);
        std::memcpy(&f, &bits, sizeof f);
        value = f;
    } else if (m.width == 8) {
        std::memcpy(&value, &raw, sizeof value);
    } else {
        return false;
    }
    return true;
}

QString KeyedArchive::toString(qint64 object) const
{
    Marker m;
    if (!marker(object, m) || m.type != Type::String)
        return QString();
    const char *p = reinterpret_cast<const char *>(m_bytes + m.payload);
    if (m.width == 1)
        return QString::fromLatin1(p, qsizetype(m.count));
    QString text(qsizetype(m.count), Qt::Uninitialized);
    for (quint64 i = 0; i < m.count; ++i)
        text[qsizetype(i)] = QChar(ushort((m_bytes[m.payload + 2 * i] << 8) | m_bytes[m.payload + 2 * i + 1]));
    return text;
}

QByteArray KeyedArchive::toData(qint64 object) const
{
    Marker m;
    if (!marker(object, m) || m.type != Type::Data)
        return QByteArray();
    if (m.count == 0)
        return QByteArray("");
    return QByteArray(reinterpret_cast<const char *>(m_bytes + m.payload), qsizetype(m.count));
}
