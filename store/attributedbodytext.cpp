#include "store/attributedbodytext.h"

#include <QByteArrayView>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <initializer_list>

// The part of a typedstream archive that is read, in order. Multi-byte
// numbers are little-endian ("streamtyped"; "typedstream" would mean
// big-endian, which phones do not write).
//
//   what                      encoding                          on a phone
//   streamer version          integer                           04
//   signature                 integer length, then the bytes    0B "streamtyped"
//   system version            integer                           81 E8 03 (1000)
//   type of the root value    shared string                     84 01 "@"
//   the attributed string     object: 84, then its class chain
//     class chain             per class: 84, name (shared string), version
//                             (integer); ends with 85 (nil) or with a
//                             reference to a class read before
//                             NSMutableAttributedString, NSAttributedString,
//                             NSObject; or NSAttributedString, NSObject
//   type of its first value   shared string                     92 (reference to "@")
//   the string                object of class NSMutableString, NSString,
//                             NSObject or NSString, NSObject (NSObject by
//                             reference)
//   type of the string's data shared string                     84 01 "+"
//   the UTF-8 bytes           integer length, then the bytes
//   end of the string object  86
//
// Integers: one byte that is not a tag; 81 and two bytes; 82 and four bytes.
// The byte values 80..91 are tags, never a one-byte integer. Signed values
// (versions, references) read the bytes as signed, lengths as unsigned:
// "05" is 5, "81 2C 01" is 300, "FF" is -1 as a reference and 255 as a
// length, "81 00 80" is -32768 or 32768.
//
// Shared strings: 84, an integer length and the bytes define the next entry
// of the string table; anything else is a reference, an integer n standing
// for entry n + 110 (so 92, which is -110, names entry 0).
//
// Objects and classes share a second table, numbered in the order they are
// defined: an object takes its number before its class chain is read, each
// new class its number before its superclass. References to it are
// integers in the same way (92 names entry 0).

namespace {

// Tags, as the signed byte values the archive uses.
constexpr int kTagInt16 = -127; // 81
constexpr int kTagInt32 = -126; // 82
constexpr int kTagNew = -124;   // 84
constexpr int kTagNil = -123;   // 85
constexpr int kTagEnd = -122;   // 86
constexpr int kLastTag = -111;  // 91: -128..-111 are tags
constexpr int kReferenceBase = -110;

constexpr qint64 kStreamerVersion = 4;
// A class chain longer than this is not one of the chains read here; the
// bound also stops a walk through a damaged table early.
constexpr int kMaxChain = 8;

// Class names of a chain, the class first. The tables of the part read stay
// small, so a message costs no allocation.
using Names = QVarLengthArray<QByteArrayView, kMaxChain + 1>;

bool matches(const Names &names, std::initializer_list<QByteArrayView> chain)
{
    return std::equal(names.begin(), names.end(), chain.begin(), chain.end());
}

class ArchiveReader
{
public:
    explicit ArchiveReader(const QByteArray &blob) : m_data(blob) {}

    QString text()
    {
        qint64 version = 0;
        QByteArrayView signature;
        qint64 system = 0;
        if (!readInteger(version) || version != kStreamerVersion || !readCounted(signature)
            || signature != QByteArrayView("streamtyped") || !readInteger(system))
            return QString();

        Names attributed;
        if (!readType("@") || !readObject(attributed)
            || !(matches(attributed, {"NSMutableAttributedString", "NSAttributedString", "NSObject"})
                 || matches(attributed, {"NSAttributedString", "NSObject"})))
            return QString();
        Names string;
        if (!readType("@") || !readObject(string)
            || !(matches(string, {"NSMutableString", "NSString", "NSObject"})
                 || matches(string, {"NSString", "NSObject"}))
            || !readType("+"))
            return QString();
        QByteArrayView utf8;
        int end = 0;
        if (!readCounted(utf8) || !readByte(end) || end != kTagEnd)
            return QString();

        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
        QString words = decoder.decode(utf8);
        return decoder.hasError() ? QString() : words;
    }

private:
    // A class of the object table: its name and the entry of its superclass
    // (-1 for none; kPending while the chain is still being read). Objects
    // are entries without a name.
    static constexpr int kPending = -2;
    struct Entry
    {
        QByteArrayView className;
        int superclass = -1;
    };

    bool peekByte(int &b) const
    {
        if (m_at >= m_data.size())
            return false;
        b = qint8(m_data.at(m_at));
        return true;
    }

    bool readByte(int &b)
    {
        if (!peekByte(b))
            return false;
        ++m_at;
        return true;
    }

    bool readLittleEndian(int bytes, quint32 &value)
    {
        if (m_data.size() - m_at < bytes)
            return false;
        value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) | quint8(m_data.at(m_at + i));
        m_at += bytes;
        return true;
    }

    bool readInteger(qint64 &value, bool isSigned = true)
    {
        int b = 0;
        if (!readByte(b))
            return false;
        quint32 raw = 0;
        if (b == kTagInt16) {
            if (!readLittleEndian(2, raw))
                return false;
            value = isSigned ? qint64(qint16(quint16(raw))) : qint64(raw);
            return true;
        }
        if (b == kTagInt32) {
            if (!readLittleEndian(4, raw))
                return false;
            value = isSigned ? qint64(qint32(raw)) : qint64(raw);
            return true;
        }
        if (b <= kLastTag)
            return false;
        value = isSigned ? b : (b & 0xff);
        return true;
    }

    // A length (never more than what is left) and the bytes.
    bool readCounted(QByteArrayView &bytes)
    {
        qint64 length = 0;
        if (!readInteger(length, false) || length > m_data.size() - m_at)
            return false;
        bytes = QByteArrayView(m_data).sliced(m_at, length);
        m_at += length;
        return true;
    }

    // The entry, one of count, that a reference names.
    bool readReference(qsizetype count, int &entry)
    {
        qint64 n = 0;
        if (!readInteger(n))
            return false;
        n -= kReferenceBase;
        if (n < 0 || n >= count)
            return false;
        entry = int(n);
        return true;
    }

    bool readSharedString(QByteArrayView &value)
    {
        int b = 0;
        if (!peekByte(b))
            return false;
        if (b == kTagNew) {
            ++m_at;
            if (!readCounted(value))
                return false;
            m_strings.append(value);
            return true;
        }
        int entry = 0;
        if (!readReference(m_strings.size(), entry))
            return false;
        value = m_strings.at(entry);
        return true;
    }

    bool readType(const char *expected)
    {
        QByteArrayView type;
        return readSharedString(type) && type == QByteArrayView(expected);
    }

    // The names of a class and its superclasses, each new class entered into
    // the object table.
    bool readClassChain(Names &names)
    {
        int previous = -1; // the last new class, whose superclass comes next
        while (names.size() <= kMaxChain) {
            int b = 0;
            if (!peekByte(b))
                return false;
            if (b == kTagNew) {
                ++m_at;
                QByteArrayView name;
                qint64 version = 0;
                if (!readSharedString(name) || name.isEmpty() || !readInteger(version))
                    return false;
                const int entry = int(m_objects.size());
                m_objects.append({name, kPending});
                if (previous >= 0)
                    m_objects[previous].superclass = entry;
                previous = entry;
                names.append(name);
                continue;
            }
            if (b == kTagNil) {
                ++m_at;
                if (previous >= 0)
                    m_objects[previous].superclass = -1;
                return !names.isEmpty();
            }
            int entry = 0;
            if (!readReference(m_objects.size(), entry))
                return false;
            // A reference must name a class whose chain is complete: an
            // object, or a class still being read, is damage (and the latter
            // would send the walk round in circles).
            for (int at = entry; at >= 0; at = m_objects.at(at).superclass) {
                const Entry &e = m_objects.at(at);
                if (e.className.isEmpty() || e.superclass == kPending || names.size() >= kMaxChain)
                    return false;
                names.append(e.className);
            }
            if (previous >= 0)
                m_objects[previous].superclass = entry;
            return true;
        }
        return false;
    }

    // A new object, up to its contents: the names of its class chain.
    bool readObject(Names &names)
    {
        int b = 0;
        if (!readByte(b) || b != kTagNew)
            return false;
        m_objects.append({QByteArrayView(), -1});
        return readClassChain(names);
    }

    const QByteArray &m_data;
    qsizetype m_at = 0;
    QVarLengthArray<QByteArrayView, 24> m_strings;
    QVarLengthArray<Entry, 24> m_objects;
};

} // namespace

QString attributedBodyText(const QByteArray &blob)
{
    return ArchiveReader(blob).text();
}
