#include "platform/plist/plistdepth.h"

#include <QVector>
#include <cstring>

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
        if (size < 8 + 32)
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

    // The references a container holds (keys and values of a dictionary),
    // or false when the object lies outside the data.
    bool children(quint64 object, QVector<quint64> &refs) const
    {
        refs.clear();
        const quint64 offset = bigEndian(data.constData() + table + object * quint64(offsetSize), offsetSize);
        if (offset < 8 || offset >= size - 32)
            return false;
        const quint8 marker = quint8(data.at(qsizetype(offset)));
        const int kind = marker >> 4;
        if (kind != 0xa && kind != 0xb && kind != 0xc && kind != 0xd)
            return true;
        quint64 count = marker & 0x0f;
        quint64 at = offset + 1;
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
};

// Walks the object graph from the top object without recursion, keeping the
// path in an explicit stack; a reference to an object on the path is a loop.
// libplist copies an object for every reference to it, so besides the depth
// the number of nodes it would build is bounded too.
bool binaryDepthWithin(const QByteArray &data, int maxDepth)
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
    QVector<Frame> path;
    path.append(Frame{plist.top, {}});
    if (!plist.children(plist.top, path.last().refs))
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
        if (!plist.children(child, next.refs))
            return false;
        if (!next.refs.isEmpty() && path.size() >= maxDepth)
            return false;
        state[c] = OnPath;
        path.append(std::move(next));
    }
    return true;
}

// Counts the depth of array and dict tags; "<array/>" and "<dict/>" are empty.
bool xmlDepthWithin(const QByteArray &data, int maxDepth)
{
    int depth = 0;
    for (qsizetype at = data.indexOf('<'); at >= 0; at = data.indexOf('<', at + 1)) {
        const char *tag = data.constData() + at + 1;
        const qsizetype left = data.size() - at - 1;
        const bool closing = left > 0 && tag[0] == '/';
        const char *name = closing ? tag + 1 : tag;
        const qsizetype nameLeft = closing ? left - 1 : left;
        int length = 0;
        if (nameLeft >= 5 && std::memcmp(name, "array", 5) == 0)
            length = 5;
        else if (nameLeft >= 4 && std::memcmp(name, "dict", 4) == 0)
            length = 4;
        if (!length || nameLeft == length)
            continue;
        const char after = name[length];
        if (closing) {
            if (after == '>' || after == ' ')
                --depth;
            continue;
        }
        if (after == '/')
            continue;
        if (after == '>' || after == ' ' || after == '\t' || after == '\n' || after == '\r') {
            const qsizetype end = data.indexOf('>', at);
            if (end > 0 && data.at(end - 1) == '/')
                continue; // <dict  />
            if (++depth > maxDepth)
                return false;
        }
    }
    return true;
}

} // namespace

bool plistDepthWithin(const QByteArray &data, int maxDepth)
{
    if (data.size() >= 8 && std::memcmp(data.constData(), "bplist00", 8) == 0)
        return binaryDepthWithin(data, maxDepth);
    return xmlDepthWithin(data, maxDepth);
}
