#include "tests/support/plistfixture.h"

namespace testsupport {

namespace {
void appendBigEndian(QByteArray &out, quint64 value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xff));
}

QByteArray marker(int kind, quint64 count)
{
    QByteArray out;
    if (count < 15) {
        out.append(char((kind << 4) | int(count)));
    } else {
        out.append(char((kind << 4) | 0x0f));
        out.append(char(0x13)); // an 8-byte integer follows
        appendBigEndian(out, count, 8);
    }
    return out;
}
} // namespace

QByteArray bplistArray(const QList<quint64> &refs)
{
    QByteArray out = marker(0xa, quint64(refs.size()));
    for (quint64 ref : refs)
        appendBigEndian(out, ref, 4);
    return out;
}

QByteArray bplistAsciiString(const QByteArray &text)
{
    return marker(0x5, quint64(text.size())) + text;
}

QByteArray bplistUtf16String(const QString &text)
{
    QByteArray out = marker(0x6, quint64(text.size()));
    for (QChar unit : text)
        appendBigEndian(out, unit.unicode(), 2);
    return out;
}

QByteArray bplistDictionary(const QList<quint64> &keys, const QList<quint64> &values)
{
    QByteArray out = marker(0xd, quint64(keys.size()));
    for (const QList<quint64> &refs : {keys, values})
        for (quint64 ref : refs)
            appendBigEndian(out, ref, 4);
    return out;
}

QByteArray binaryPlist(const QList<QByteArray> &objects, quint64 top)
{
    QByteArray out = "bplist00";
    QList<quint64> offsets;
    for (const QByteArray &object : objects) {
        offsets.append(quint64(out.size()));
        out.append(object);
    }
    const quint64 table = quint64(out.size());
    for (quint64 offset : std::as_const(offsets))
        appendBigEndian(out, offset, 4);
    out.append(QByteArray(6, '\0'));
    out.append(char(4)); // offset size
    out.append(char(4)); // reference size
    appendBigEndian(out, quint64(objects.size()), 8);
    appendBigEndian(out, top, 8);
    appendBigEndian(out, table, 8);
    return out;
}

QByteArray nestedPlist(int depth, bool binary)
{
    if (!binary)
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
               + QByteArray("<array>").repeated(depth) + "<string>deep@example.com</string>"
               + QByteArray("</array>").repeated(depth) + "</plist>";
    QList<QByteArray> objects;
    for (int i = 0; i < depth; ++i) // object i: an array of object i + 1
        objects.append(bplistArray({quint64(i) + 1}));
    objects.append(bplistAsciiString("x"));
    return binaryPlist(objects);
}

QByteArray xmlPlist(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n"
           + body + "\n</plist>\n";
}

QByteArray disguisedXmlPlist(int depth, XmlDisguise how)
{
    const QByteArray leaf = "<string>deep@example.com</string>";
    const QByteArray close = QByteArray("</array>").repeated(depth);
    switch (how) {
    case XmlDisguise::ClosingTagsInOneComment:
        return xmlPlist("<!--" + close + "-->" + QByteArray("<array>").repeated(depth) + leaf + close);
    case XmlDisguise::CommentAfterEachOpening:
        return xmlPlist(QByteArray("<array><!--</array>-->").repeated(depth) + leaf + close);
    case XmlDisguise::ClosingTagsInCdata:
        return xmlPlist("<array><string><![CDATA[" + close + "]]></string>"
                        + QByteArray("<array>").repeated(depth - 1) + leaf + close);
    case XmlDisguise::QuoteInAttribute:
        return xmlPlist("<array id='\"'><!-- \">" + QByteArray("<array>").repeated(depth) + " --></array>");
    case XmlDisguise::QuotesInInstructions:
        return xmlPlist("<array>" + QByteArray("<?a \"?><!-- \" ?><array><?b \" --><?c \"?>").repeated(depth)
                        + "</array>");
    }
    return QByteArray();
}

} // namespace testsupport
