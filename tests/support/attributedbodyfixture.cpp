#include "tests/support/attributedbodyfixture.h"

#include <QList>
#include <QPair>

#include <stdexcept>

namespace testsupport {

namespace {

// Writes a typedstream the way NSArchiver does: integers in one byte when
// they fit (-110..127), else 0x81 and an int16 or 0x82 and an int32, little
// endian; shared strings (type encodings, class names) and classes defined
// once with 0x84 and named by reference (entry n as n - 110) afterwards.
class TypedStreamWriter
{
public:
    TypedStreamWriter()
    {
        integer(4);
        counted("streamtyped");
        integer(1000);
    }

    void integer(qint64 v)
    {
        if (v >= -110 && v <= 127) {
            m_out.append(char(v));
        } else if (v >= -32768 && v <= 32767) {
            m_out.append(char(0x81));
            littleEndian(quint32(v), 2);
        } else if (v >= -2147483648LL && v <= 2147483647LL) {
            m_out.append(char(0x82));
            littleEndian(quint32(v), 4);
        } else {
            throw std::runtime_error("typedstream integer out of range");
        }
    }

    void counted(const QByteArray &bytes)
    {
        integer(bytes.size());
        m_out.append(bytes);
    }

    void sharedString(const QByteArray &s)
    {
        const int at = int(m_strings.indexOf(s));
        if (at >= 0) {
            integer(at - 110);
            return;
        }
        m_out.append(char(0x84));
        counted(s);
        m_strings.append(s);
    }

    // A new object of the first class, each class given with its version;
    // classes defined before are named by reference and end the chain.
    void newObject(const QList<QPair<QByteArray, int>> &chain)
    {
        m_out.append(char(0x84));
        m_objects.append(QByteArray()); // the object itself
        for (const auto &cls : chain) {
            const int known = int(m_objects.indexOf(cls.first));
            if (known >= 0) {
                integer(known - 110);
                return;
            }
            m_out.append(char(0x84));
            m_objects.append(cls.first);
            sharedString(cls.first);
            integer(cls.second);
        }
        m_out.append(char(0x85)); // no further superclass
    }

    // A C string: 84 and a shared string; it takes a number among the objects.
    void cString(const QByteArray &s)
    {
        m_out.append(char(0x84));
        m_objects.append(QByteArray());
        sharedString(s);
    }

    void endObject() { m_out.append(char(0x86)); }

    const QByteArray &bytes() const { return m_out; }

private:
    void littleEndian(quint32 v, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            m_out.append(char((v >> (8 * i)) & 0xff));
    }

    QByteArray m_out;
    QList<QByteArray> m_strings;
    QList<QByteArray> m_objects; // class names; empty entries are objects and C strings
};

QByteArray archive(const QString &text, AttributedBodyClasses classes, int *stringEnd)
{
    const bool mutableClasses = classes == AttributedBodyClasses::Mutable;
    TypedStreamWriter w;
    w.sharedString("@");
    if (mutableClasses)
        w.newObject({{"NSMutableAttributedString", 0}, {"NSAttributedString", 0}, {"NSObject", 0}});
    else
        w.newObject({{"NSAttributedString", 0}, {"NSObject", 0}});

    // The string: its UTF-8 bytes behind the "+" type.
    w.sharedString("@");
    if (mutableClasses)
        w.newObject({{"NSMutableString", 1}, {"NSString", 1}, {"NSObject", 0}});
    else
        w.newObject({{"NSString", 1}, {"NSObject", 0}});
    w.sharedString("+");
    w.counted(text.toUtf8());
    w.endObject();
    if (stringEnd)
        *stringEnd = int(w.bytes().size());

    // One attribute run over the whole text (its length in UTF-16 units), with
    // the attribute dictionary { __kIMMessagePartAttributeName: 0 }.
    w.sharedString("iI");
    w.integer(1);
    w.integer(text.size());
    w.sharedString("@");
    w.newObject({{"NSDictionary", 0}, {"NSObject", 0}});
    w.sharedString("i");
    w.integer(1);
    w.sharedString("@");
    w.newObject({{"NSString", 1}, {"NSObject", 0}});
    w.sharedString("+");
    w.counted("__kIMMessagePartAttributeName");
    w.endObject();
    w.sharedString("@");
    w.newObject({{"NSNumber", 0}, {"NSValue", 0}, {"NSObject", 0}});
    w.sharedString("*");
    w.cString("i"); // the number's type
    w.sharedString("i");
    w.integer(0);
    w.endObject(); // the number
    w.endObject(); // the dictionary
    w.endObject(); // the attributed string
    return w.bytes();
}

} // namespace

QByteArray attributedBodyArchive(const QString &text, AttributedBodyClasses classes)
{
    return archive(text, classes, nullptr);
}

int attributedBodyStringEnd(const QString &text, AttributedBodyClasses classes)
{
    int end = 0;
    archive(text, classes, &end);
    return end;
}

} // namespace testsupport
