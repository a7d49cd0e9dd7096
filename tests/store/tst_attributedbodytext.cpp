#include "tests/support/testmain.h"

#include "store/attributedbodytext.h"
#include "tests/support/attributedbodyfixture.h"

#include <memory>

namespace tst_attributedbodytext {

using namespace testsupport;

namespace {

// The header every phone writes: version 4, "streamtyped", system 1000.
const QByteArray kHeader = QByteArray("\x04\x0bstreamtyped\x81\xe8\x03", 16);

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// A new class: 84, its name as a new shared string, its version.
QByteArray newClass(const QByteArray &name, int version)
{
    return bytes({0x84, 0x84, int(name.size())}) + name + bytes({version});
}

// The archive with its first match of from replaced by to (same length, so
// every count in it stays right).
QByteArray patched(const QByteArray &archive, const QByteArray &from, const QByteArray &to)
{
    const qsizetype at = archive.indexOf(from);
    if (at < 0 || from.size() != to.size())
        qFatal("patched: no such bytes or a change of length");
    QByteArray out = archive;
    out.replace(at, from.size(), to);
    return out;
}

// The text read from exactly these bytes in a heap block of their size, so
// the address sanitizer sees a read past the end.
QString decodeExact(const QByteArray &data)
{
    std::unique_ptr<char[]> block(new char[size_t(qMax<qsizetype>(data.size(), 1))]);
    memcpy(block.get(), data.constData(), size_t(data.size()));
    return attributedBodyText(QByteArray::fromRawData(block.get(), data.size()));
}

} // namespace

class TestAttributedBodyText : public QObject
{
    Q_OBJECT

private slots:
    void readsTheWords_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<AttributedBodyClasses>("classes");
        QTest::addColumn<int>("lengthBytes"); // 1: one byte; 3: 0x81 and two; 5: 0x82 and four
        const QString emoji = QString::fromUtf8("Sehr gut \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD, "
                                                "\xE2\x9D\xA4\xEF\xB8\x8F \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5"
                                                "\xD1\x82");
        const QString paragraph = QStringLiteral("All of the words, again and again. ");
        QTest::newRow("plain") << "See you at 8?" << AttributedBodyClasses::Mutable << 1;
        QTest::newRow("plain, immutable classes") << "See you at 8?" << AttributedBodyClasses::Immutable << 1;
        QTest::newRow("emoji and Cyrillic") << emoji << AttributedBodyClasses::Mutable << 1;
        QTest::newRow("127 bytes: the largest one-byte length")
            << QString(127, QLatin1Char('x')) << AttributedBodyClasses::Mutable << 1;
        QTest::newRow("128 bytes: a two-byte length")
            << QString(128, QLatin1Char('x')) << AttributedBodyClasses::Mutable << 3;
        QTest::newRow("emoji past 127 bytes") << emoji.repeated(4) << AttributedBodyClasses::Mutable << 3;
        QTest::newRow("long, two-byte length") << paragraph.repeated(100) << AttributedBodyClasses::Mutable << 3;
        QTest::newRow("very long, four-byte length")
            << paragraph.repeated(1000) << AttributedBodyClasses::Mutable << 5;
        QTest::newRow("attachment placeholder and line breaks")
            << QString(QChar(0xFFFC)) + "\nPhoto\r\nfrom the trip" << AttributedBodyClasses::Mutable << 1;
        QTest::newRow("starts with a byte-order mark")
            << QString(QChar(0xFEFF)) + "kept" << AttributedBodyClasses::Immutable << 1;
    }
    void readsTheWords()
    {
        QFETCH(QString, text);
        QFETCH(AttributedBodyClasses, classes);
        QFETCH(int, lengthBytes);
        const QByteArray archive = attributedBodyArchive(text, classes);
        // The archive holds the length in the form the row is about.
        const QByteArray utf8 = text.toUtf8();
        const qsizetype at = archive.indexOf(utf8);
        QVERIFY(at > lengthBytes);
        const int first = quint8(archive.at(at - lengthBytes));
        QCOMPARE(first, lengthBytes == 1 ? int(utf8.size()) : lengthBytes == 3 ? 0x81 : 0x82);

        QCOMPARE(decodeExact(archive), text);
    }

    // A length of 32768..65535 in two bytes is unsigned, whichever form a
    // writer picks for it.
    void twoByteLengthIsUnsigned()
    {
        const QString text(40000, QLatin1Char('w'));
        QByteArray archive = attributedBodyArchive(text);
        const QByteArray fourBytes = bytes({0x82, 0x40, 0x9c, 0x00, 0x00}) + 'w';
        const qsizetype at = archive.indexOf(fourBytes);
        QVERIFY(at > 0);
        archive.replace(at, fourBytes.size(), bytes({0x81, 0x40, 0x9c}) + 'w');
        QCOMPARE(decodeExact(archive), text);
    }

    void emptyStringIsEmpty()
    {
        QCOMPARE(attributedBodyText(attributedBodyArchive(QString())), QString());
    }

    // Cut anywhere before the string object has ended: nothing. Cut in the
    // attribute runs after it: the words are whole and are read.
    void truncated_data()
    {
        QTest::addColumn<AttributedBodyClasses>("classes");
        QTest::newRow("mutable") << AttributedBodyClasses::Mutable;
        QTest::newRow("immutable") << AttributedBodyClasses::Immutable;
    }
    void truncated()
    {
        QFETCH(AttributedBodyClasses, classes);
        const QString text = QString::fromUtf8("Bis morgen \xF0\x9F\x98\x80") + QString(200, QLatin1Char('!'));
        const QByteArray archive = attributedBodyArchive(text, classes);
        const int stringEnd = attributedBodyStringEnd(text, classes);
        QVERIFY(stringEnd > 0 && stringEnd < archive.size());
        for (int length = 0; length < stringEnd; ++length)
            QVERIFY2(decodeExact(archive.left(length)).isEmpty(), qPrintable(QString::number(length)));
        for (int length = stringEnd; length <= archive.size(); ++length)
            QCOMPARE(decodeExact(archive.left(length)), text);
    }

    void notUnderstood_data()
    {
        QTest::addColumn<QByteArray>("blob");
        const QByteArray good = attributedBodyArchive("ab");
        const QByteArray rootTypes = bytes({0x84, 0x01, '@'});

        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text, not an archive") << QByteArray("hello there, this is not an archive");
        QTest::newRow("a property list") << QByteArray("bplist00\xd1\x01\x02Sabc", 14);
        QByteArray noise;
        quint32 state = 12345;
        for (int i = 0; i < 512; ++i) {
            state = state * 1103515245u + 12345u;
            noise.append(char(state >> 24));
        }
        QTest::newRow("noise") << noise;
        QTest::newRow("noise after a good header") << kHeader + noise;
        QTest::newRow("header only") << kHeader;

        QTest::newRow("big-endian signature") << patched(good, "streamtyped", "typedstream");
        QTest::newRow("other streamer version") << patched(good, "\x04\x0bstreamtyped", "\x03\x0bstreamtyped");
        QTest::newRow("a tag where the system version goes") << patched(good, "\x81\xe8\x03", "\x83\xe8\x03");
        QTest::newRow("root value not an object") << patched(good, rootTypes, bytes({0x84, 0x01, 'i'}));
        QTest::newRow("root of another class")
            << patched(good, "NSMutableAttributedString", "NSMutableDictionaryXXXXXX");
        QTest::newRow("string of another class") << patched(good, "NSMutableString", "NSMutableNumber");
        QTest::newRow("string data not '+'") << patched(good, bytes({0x84, 0x01, '+'}), bytes({0x84, 0x01, '*'}));
        QTest::newRow("invalid UTF-8") << patched(good, bytes({0x02, 'a', 'b', 0x86}), bytes({0x02, 0xc3, 0x28, 0x86}));
        QTest::newRow("no end after the string") << patched(good, bytes({0x02, 'a', 'b', 0x86}), bytes({0x02, 'a', 'b', 0x85}));
        QTest::newRow("length past the end")
            << patched(good, bytes({0x02, 'a', 'b', 0x86, 0x84}), bytes({0x82, 0x00, 0x00, 0x01, 0x00}));
        QTest::newRow("length 32768 past the end")
            << patched(good, bytes({0x02, 'a', 'b', 0x86}), bytes({0x81, 0x00, 0x80, 0x86}));
        QTest::newRow("one-byte length 255 past the end")
            << patched(good, bytes({0x02, 'a', 'b', 0x86}), bytes({0xff, 'a', 'b', 0x86}));

        const QByteArray stringStart = kHeader + rootTypes + bytes({0x84}); // then the class chain
        QTest::newRow("reference to a string not yet defined") << kHeader + bytes({0x93});
        QTest::newRow("class naming itself as superclass")
            << stringStart + newClass("NSAttributedString", 0) + bytes({0x93, 0x92, 0x84});
        QTest::newRow("object used as a class")
            << stringStart + newClass("NSAttributedString", 0) + bytes({0x92, 0x92, 0x84});
        QTest::newRow("class reference to nothing")
            << stringStart + newClass("NSAttributedString", 0) + bytes({0x7f, 0x92, 0x84});
        QByteArray longChain = stringStart;
        for (int i = 0; i < 20; ++i)
            longChain += newClass(QByteArray("NSObject") + char('A' + i), 0);
        QTest::newRow("a chain of twenty classes") << longChain + bytes({0x85});
        QTest::newRow("a chain without an end") << longChain;
    }
    void notUnderstood()
    {
        QFETCH(QByteArray, blob);
        QCOMPARE(decodeExact(blob), QString());
    }

    // Every byte of the part that is read, set to each tag and to a few other
    // values: never a read past the blob, and never words that are not in it.
    void damagedBytesNeverReadPastTheBlob()
    {
        const QString text = QStringLiteral("xyzzy plugh");
        const QByteArray archive = attributedBodyArchive(text);
        const int stringEnd = attributedBodyStringEnd(text);
        QList<int> values = {0x00, 0x01, 0x05, 0x7f, 0x92, 0x93, 0x95, 0x99, 0xc0, 0xff};
        for (int tag = 0x80; tag <= 0x91; ++tag)
            values << tag;
        for (int at = 0; at < stringEnd; ++at) {
            for (int value : std::as_const(values)) {
                QByteArray damaged = archive;
                damaged[at] = char(value);
                const QString words = decodeExact(damaged);
                QVERIFY2(words.isEmpty() || words.size() <= text.size(),
                         qPrintable(QString("byte %1 set to %2: \"%3\"").arg(at).arg(value).arg(words)));
            }
        }
    }
};

QP_TEST_MAIN(TestAttributedBodyText)

} // namespace tst_attributedbodytext

#include "tst_attributedbodytext.moc"
