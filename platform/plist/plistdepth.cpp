#include "platform/plist/plistdepth.h"

#include <QString>
#include <QVector>
#include <QXmlStreamReader>

// A binary property list ("bplist00") is the 8-byte magic, the objects, a
// table of object offsets and, in its last 32 bytes, a trailer saying how to
// read that table. Numbers are big-endian.
//
// The trailer:
//
//   OFFSET   SIZE   DESCRIPTION
//      0       5    Unused, zero.
//      5       1    Sort version, ignored.
//      6       1    Width of each entry of the offset table, 1 to 8 bytes.
//      7       1    Width of each object reference inside a container, 1 to 8 bytes.
//      8       8    Number of objects, and of entries in the offset table.
//     16       8    Index of the top (root) object.
//     24       8    File offset of the offset table; it lies after the magic
//                   and before the trailer.
//
// Entry i of the offset table is the file offset of object i. An object starts
// with a marker byte: the high nibble is its kind (0xA array, 0xB ordered set,
// 0xC set, 0xD dictionary; the other kinds hold no references), the low nibble
// its count, where 0xF means the count follows as an integer object (marker
// 0x1N, then 2^N bytes). An array or set then holds count references; a
// dictionary holds count key references followed by count value references.
// Example: A2 00 00 00 05, with 2-byte references, is an array of objects 0 and 5.
// Strings are 0x5 (ASCII, count bytes), 0x6 (UTF-16 big-endian, count units)
// and 0x7 (UTF-8, count bytes), the count given as for containers.
//
// Every offset, count and reference below is checked against the data before
// it is used: a list whose numbers do not add up is refused, never followed.

namespace {

quint64 bigEndian(const char *bytes, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | quint8(bytes[i]);
    return value;
}

// The object table of a binary property list, checked once.
struct BinaryPlist
{
    const QByteArray &data;
    quint64 size = 0;
    int offsetSize = 0;
    int refSize = 0;
    quint64 objects = 0;
    quint64 top = 0;
    quint64 table = 0;

    explicit BinaryPlist(const QByteArray &bytes) : data(bytes) {}

    bool read()
    {
        size = quint64(data.size());
        if (size < 8 + 32 || !data.startsWith("bplist00")) // the magic and the trailer
            return false;
        const char *trailer = data.constData() + size - 32;
        offsetSize = quint8(trailer[6]);
        refSize = quint8(trailer[7]);
        objects = bigEndian(trailer + 8, 8);
        top = bigEndian(trailer + 16, 8);
        table = bigEndian(trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8)
            return false;
        if (table < 8 || table >= size - 32 || objects > (size - 32 - table) / quint64(offsetSize))
            return false;
        return top < objects;
    }

    // The marker's kind, the object's count and where its contents start;
    // false when the object or its count lies outside the data.
    bool header(quint64 object, int &kind, quint64 &count, quint64 &at) const
    {
        const quint64 offset = bigEndian(data.constData() + table + object * quint64(offsetSize), offsetSize);
        if (offset < 8 || offset >= size - 32)
            return false;
        const quint8 marker = quint8(data.at(qsizetype(offset)));
        kind = marker >> 4;
        count = marker & 0x0f;
        at = offset + 1;
        if (count == 0x0f) {
            if (at >= size - 32)
                return false;
            const quint8 intMarker = quint8(data.at(qsizetype(at)));
            const int bytes = 1 << (intMarker & 0x0f);
            if ((intMarker >> 4) != 0x1 || bytes > 8 || at + 1 + quint64(bytes) > size - 32)
                return false;
            count = bigEndian(data.constData() + at + 1, bytes);
            at += 1 + quint64(bytes);
        }
        return true;
    }

    // The references a container holds (keys and values of a dictionary),
    // keys the number of keys among them, or false when the object lies
    // outside the data.
    bool children(quint64 object, QVector<quint64> &refs, quint64 &keys) const
    {
        refs.clear();
        keys = 0;
        int kind = 0;
        quint64 count = 0;
        quint64 at = 0;
        if (!header(object, kind, count, at))
            return false;
        if (kind != 0xa && kind != 0xb && kind != 0xc && kind != 0xd)
            return true;
        if (kind == 0xd)
            keys = count;
        const quint64 refCount = kind == 0xd ? count * 2 : count;
        if (count > size || at + refCount * quint64(refSize) > size - 32)
            return false;
        refs.reserve(int(refCount));
        for (quint64 i = 0; i < refCount; ++i) {
            const quint64 ref = bigEndian(data.constData() + at + i * quint64(refSize), refSize);
            if (ref >= objects)
                return false;
            refs.append(ref);
        }
        return true;
    }

    // Whether a string object holds a NUL character (or lies outside the
    // data). Any other kind of object holds none.
    bool holdsNul(quint64 object) const
    {
        int kind = 0;
        quint64 count = 0;
        quint64 at = 0;
        if (!header(object, kind, count, at))
            return true;
        if (kind != 0x5 && kind != 0x6 && kind != 0x7)
            return false;
        const int unit = kind == 0x6 ? 2 : 1;
        if (count > size || at + count * quint64(unit) > size - 32)
            return true;
        const char *text = data.constData() + at;
        for (quint64 i = 0; i < count; ++i) {
            if (bigEndian(text + i * quint64(unit), unit) == 0)
                return true;
        }
        return false;
    }
};

} // namespace

// Walks the object graph from the top object without recursion, keeping the
// path in an explicit stack; a reference to an object on the path is a loop.
// libplist copies an object for every reference to it, so besides the depth
// the number of nodes it would build is bounded too.
bool binaryPlistDepthWithin(const QByteArray &data, int maxDepth)
{
    constexpr quint64 kMaxNodes = quint64(1) << 24;
    BinaryPlist plist(data);
    if (!plist.read())
        return false;
    enum : quint8 { Unseen, OnPath, Done };
    QVector<quint8> state(qsizetype(plist.objects), Unseen);
    QVector<int> height(qsizetype(plist.objects), 0);      // containers below and including it
    QVector<quint64> nodes(qsizetype(plist.objects), 0);   // nodes libplist builds for it
    struct Frame
    {
        quint64 object;
        QVector<quint64> refs;
        int next = 0;
        int childHeight = 0;
        quint64 childNodes = 0;
    };
    // libplist hands a dictionary key out only after asserting that it holds
    // no NUL, so a list with such a key is refused; each key is looked at once.
    enum : quint8 { KeyUnchecked, KeyFine };
    QVector<quint8> keyState(qsizetype(plist.objects), KeyUnchecked);
    auto keysReadable = [&](const QVector<quint64> &refs, quint64 keys) {
        for (quint64 i = 0; i < keys; ++i) {
            const qsizetype key = qsizetype(refs.at(qsizetype(i)));
            if (keyState[key] == KeyFine)
                continue;
            if (plist.holdsNul(quint64(key)))
                return false;
            keyState[key] = KeyFine;
        }
        return true;
    };
    QVector<Frame> path;
    path.append(Frame{plist.top, {}});
    quint64 keys = 0;
    if (!plist.children(plist.top, path.last().refs, keys) || !keysReadable(path.last().refs, keys))
        return false;
    state[qsizetype(plist.top)] = OnPath;
    while (!path.isEmpty()) {
        Frame &frame = path.last();
        if (frame.next == frame.refs.size()) {
            const qsizetype object = qsizetype(frame.object);
            height[object] = frame.childHeight + (frame.refs.isEmpty() ? 0 : 1);
            nodes[object] = frame.childNodes + 1;
            state[object] = Done;
            path.removeLast();
            if (!path.isEmpty()) {
                Frame &parent = path.last();
                parent.childHeight = qMax(parent.childHeight, height[object]);
                parent.childNodes += nodes[object];
                if (parent.childNodes > kMaxNodes)
                    return false;
            }
            continue;
        }
        const quint64 child = frame.refs.at(frame.next++);
        const qsizetype c = qsizetype(child);
        if (state[c] == OnPath)
            return false;
        if (state[c] == Done) {
            // Shared below another parent: counted again here, as libplist copies it.
            if (path.size() + height[c] > maxDepth)
                return false;
            frame.childHeight = qMax(frame.childHeight, height[c]);
            frame.childNodes += nodes[c];
            if (frame.childNodes > kMaxNodes)
                return false;
            continue;
        }
        Frame next{child, {}};
        if (!plist.children(child, next.refs, keys) || !keysReadable(next.refs, keys))
            return false;
        if (!next.refs.isEmpty() && path.size() >= maxDepth)
            return false;
        state[c] = OnPath;
        path.append(std::move(next));
    }
    return true;
}

namespace {

bool isContainer(QStringView name)
{
    return name == u"array" || name == u"dict";
}

// Text as element content: markup characters escaped, and the control
// characters a reader could otherwise drop or normalise as numeric references.
void appendEscaped(QString &out, QStringView text)
{
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'&': out += u"&amp;"; break;
        case u'<': out += u"&lt;"; break;
        case u'>': out += u"&gt;"; break;
        case u'\t':
        case u'\n': out += c; break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("&#%1;").arg(int(c.unicode()));
            else
                out += c;
        }
    }
}

} // namespace

// libplist's own XML scanner reads comments, processing instructions, the
// DOCTYPE and attribute values differently from XML (it pairs double quotes
// across them), so a document can hide containers from one reader and show
// them to the other. Measuring with a real XML reader is therefore only half
// of it: libplist is handed the reader's view, with nothing left in it that
// its scanner could read another way.
QByteArray plainXmlPlist(const QByteArray &data, int maxDepth)
{
    QXmlStreamReader xml(data);
    QString out = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    out.reserve(data.size() + out.size());
    QString pending; // a start tag not written yet: "<name/>" when its end follows at once
    int depth = 0;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token != QXmlStreamReader::EndElement && !pending.isEmpty()) {
            out += u'<';
            out += pending;
            out += u'>';
            pending.clear();
        }
        switch (token) {
        case QXmlStreamReader::StartElement:
            if (isContainer(xml.qualifiedName()) && ++depth > maxDepth)
                return QByteArray();
            pending = xml.qualifiedName().toString(); // attributes (the plist version) mean nothing to libplist
            break;
        case QXmlStreamReader::EndElement:
            if (isContainer(xml.qualifiedName()))
                --depth;
            if (!pending.isEmpty()) {
                out += u'<';
                out += pending;
                out += u"/>";
                pending.clear();
            } else {
                out += u"</";
                out += xml.qualifiedName();
                out += u'>';
            }
            break;
        case QXmlStreamReader::Characters:
            appendEscaped(out, xml.text()); // CDATA too: it is only text
            break;
        case QXmlStreamReader::DTD:
            // An internal subset can declare entities that expand a short
            // document many times over; property lists never carry one.
            if (xml.text().contains(u'['))
                return QByteArray();
            break;
        case QXmlStreamReader::EntityReference: // undeclared: no meaning to pass on
        case QXmlStreamReader::Invalid:
            return QByteArray();
        case QXmlStreamReader::NoToken:
        case QXmlStreamReader::StartDocument:
        case QXmlStreamReader::EndDocument:
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
            break;
        }
    }
    if (xml.hasError())
        return QByteArray();
    return out.toUtf8();
}
