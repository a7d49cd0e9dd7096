#include "tests/support/plistfixture.h"
#include "tests/support/testmain.h"

#include "platform/plist/plistarray.h"
#include "platform/plist/plistnode.h"

#include <cstdlib>

namespace tst_plistnode {

namespace {

// A property list with one value of each type the wrapper reads, built with
// libplist itself and written in either form.
plist_t buildSample()
{
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Name", plist_new_string("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80"));
    plist_dict_set_item(root, "On", plist_new_bool(1));
    plist_dict_set_item(root, "Off", plist_new_bool(0));
    plist_dict_set_item(root, "Blob", plist_new_data("a\0b\xff", 4));
    plist_dict_set_item(root, "Empty", plist_new_data("", 0));
    plist_dict_set_item(root, "Epoch", plist_new_date(0, 0));
    plist_dict_set_item(root, "When", plist_new_date(400000000, 0));
    plist_dict_set_item(root, "Count", plist_new_uint(7));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("first"));
    plist_t inner = plist_new_dict();
    plist_dict_set_item(inner, "k", plist_new_string("v"));
    plist_array_append_item(list, inner);
    plist_dict_set_item(root, "List", list);
    return root;
}

QByteArray serialize(plist_t root, bool binary)
{
    char *out = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(root, &out, &length);
    else
        plist_to_xml(root, &out, &length);
    const QByteArray bytes(out, int(length));
    std::free(out);
    return bytes;
}

QByteArray sample(bool binary)
{
    plist_t root = buildSample();
    const QByteArray bytes = serialize(root, binary);
    plist_free(root);
    return bytes;
}

} // namespace

class TestPlistNode : public QObject
{
    Q_OBJECT

private slots:
    void readsBothForms_data();
    void readsBothForms();
    void unreadableInputGivesEmptyNode_data();
    void unreadableInputGivesEmptyNode();
    void everyTruncationOfABinaryList();
    void nestingIsBoundedBeforeParsing_data();
    void nestingIsBoundedBeforeParsing();
    void xmlValuesSurviveTheGuard_data();
    void xmlValuesSurviveTheGuard();
    void missingChildrenGiveDefaults();
    void typeTests();
    void stringWithNulEndsThere_data();
    void stringWithNulEndsThere();
    void dates_data();
    void dates();
    void childOutlivesRoot();
    void borrowedRootIsNotFreed();
};

void TestPlistNode::readsBothForms_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("binary") << sample(true);
    QTest::newRow("xml") << sample(false);
}

void TestPlistNode::readsBothForms()
{
    QFETCH(QByteArray, data);
    const PlistNode root = PlistNode::parse(data, true);
    QVERIFY(root.isDictionary());
    QCOMPARE(root.value("Name").toString(), QString("Gr") + QChar(0xFC) + QChar(0xDF) + "e "
                                                + QChar(0xD83D) + QChar(0xDE00));
    QCOMPARE(root.value("On").toBool(), true);
    QCOMPARE(root.value("Off").toBool(), false);
    QCOMPARE(root.value("Blob").toByteArray(), QByteArray("a\0b\xff", 4));
    QVERIFY(root.value("Empty").isData());
    QVERIFY(root.value("Empty").toByteArray().isEmpty());
    QCOMPARE(root.value("When").toDateTime().toSecsSinceEpoch(), qint64(978307200 + 400000000));

    const PlistNode list = root.value("List");
    QCOMPARE(list.arraySize(), 2);
    QCOMPARE(list.at(0).toString(), QStringLiteral("first"));
    QCOMPARE(list.at(1).value("k").toString(), QStringLiteral("v"));
}

void TestPlistNode::unreadableInputGivesEmptyNode_data()
{
    QTest::addColumn<QByteArray>("data");
    const QByteArray xml = sample(false);
    const QByteArray bin = sample(true);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("bare magic") << QByteArray("bplist00");
    QTest::newRow("magic and one byte") << QByteArray("bplist00x");
    QTest::newRow("plain text") << QByteArray("hello, world");
    QTest::newRow("binary cut in half") << bin.left(bin.size() / 2);
    QTest::newRow("binary without last byte") << bin.left(bin.size() - 1);
    QTest::newRow("xml cut in half") << xml.left(xml.size() / 2);
    QTest::newRow("xml cut inside a key") << xml.left(xml.indexOf("<key>List") + 6);
    // libplist asserts when it hands out a key holding a NUL: refused before.
    QTest::newRow("binary key holding a NUL")
        << testsupport::binaryPlist({testsupport::bplistDictionary({1}, {2}),
                                     testsupport::bplistUtf16String(QString::fromLatin1("Na\0me", 5)),
                                     testsupport::bplistAsciiString("x")});
}

void TestPlistNode::unreadableInputGivesEmptyNode()
{
    QFETCH(QByteArray, data);
    const PlistNode node = PlistNode::parse(data, true);
    QVERIFY(node.isNull());
    QVERIFY(!node.isDictionary());
    QVERIFY(node.value("Name").isNull());
}

// Under the sanitizers: no length of a cut binary list reads out of bounds.
void TestPlistNode::everyTruncationOfABinaryList()
{
    const QByteArray bin = sample(true);
    for (int n = 0; n < bin.size(); ++n)
        QVERIFY2(PlistNode::parse(bin.left(n), true).isNull(), qPrintable(QString::number(n)));
}

// libplist recurses into nested containers and copies shared objects, so
// these shapes must be refused before it sees them, never crash it. XML is
// measured as an XML reader reads it: markup inside comments, CDATA and
// processing instructions is no markup, whatever a tag scanner makes of it.
void TestPlistNode::nestingIsBoundedBeforeParsing_data()
{
    using namespace testsupport;
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("parses");
    QTest::newRow("binary, 512 deep") << nestedPlist(512, true) << true;
    QTest::newRow("binary, 513 deep") << nestedPlist(513, true) << false;
    QTest::newRow("XML, 512 deep") << nestedPlist(512, false) << true;
    QTest::newRow("XML, 513 deep") << nestedPlist(513, false) << false;
    QTest::newRow("binary, 100000 deep") << nestedPlist(100000, true) << false;
    QTest::newRow("XML, 100000 deep") << nestedPlist(100000, false) << false;
    const struct
    {
        const char *name;
        XmlDisguise how;
    } disguises[] = {
        {"closing tags hidden in one comment", XmlDisguise::ClosingTagsInOneComment},
        {"a comment after every opening tag", XmlDisguise::CommentAfterEachOpening},
        {"closing tags hidden in CDATA", XmlDisguise::ClosingTagsInCdata},
    };
    for (const auto &d : disguises) {
        QTest::addRow("XML, %s, 512 deep", d.name) << disguisedXmlPlist(512, d.how) << true;
        QTest::addRow("XML, %s, 513 deep", d.name) << disguisedXmlPlist(513, d.how) << false;
    }
    QTest::newRow("XML, a comment after every opening tag, 200000 deep")
        << disguisedXmlPlist(200000, XmlDisguise::CommentAfterEachOpening) << false;
    // One empty array to XML; 200000 arrays to a scanner pairing the quotes.
    QTest::newRow("XML, arrays in a comment behind a quote in an attribute")
        << disguisedXmlPlist(200000, XmlDisguise::QuoteInAttribute) << true;
    QTest::newRow("XML, arrays in comments behind quotes in instructions")
        << disguisedXmlPlist(200000, XmlDisguise::QuotesInInstructions) << true;
    QTest::newRow("XML, entity declared in the DOCTYPE")
        << QByteArray("<!DOCTYPE plist [<!ENTITY e \"<array></array>\">]><plist>&e;</plist>") << false;
    QTest::newRow("XML, undeclared entity") << xmlPlist("<string>&e;</string>") << false;
    QTest::newRow("XML, not well-formed") << xmlPlist("<array><string>a</array></string>") << false;
    QTest::newRow("array holding itself") << binaryPlist({bplistArray({0})}) << false;
    QTest::newRow("loop through two arrays") << binaryPlist({bplistArray({1}), bplistArray({0})}) << false;
    QList<QByteArray> doubling;
    for (int i = 0; i < 40; ++i) // each level holds the next one twice: 2^40 copies
        doubling.append(bplistArray({quint64(i) + 1, quint64(i) + 1}));
    doubling.append(bplistAsciiString("x"));
    QTest::newRow("shared objects doubling 40 times") << binaryPlist(doubling) << false;
    QList<QByteArray> sharedFew = doubling.mid(30);
    for (int i = 0; i < 10; ++i)
        sharedFew[i] = bplistArray({quint64(i) + 1, quint64(i) + 1});
    QTest::newRow("shared objects doubling 10 times") << binaryPlist(sharedFew) << true;
    QTest::newRow("reference past the table") << binaryPlist({bplistArray({5})}) << false;
    QTest::newRow("empty XML containers") << QByteArray("<plist><dict><key>a</key><array/><key>b</key><dict /></dict></plist>")
                                          << true;
}

void TestPlistNode::nestingIsBoundedBeforeParsing()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, parses);
    const PlistNode root = PlistNode::parse(data);
    QCOMPARE(!root.isNull(), parses);
    // The participants reader takes the same guarded way in.
    QCOMPARE(plistArrayStrings(data).size(), root.isArray() ? root.arraySize() : 0);
}

// The guard hands libplist the XML reader's view of a list; the values in it
// must come out as they went in.
void TestPlistNode::xmlValuesSurviveTheGuard_data()
{
    using testsupport::xmlPlist;
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("values");
    QTest::newRow("array tags inside a comment")
        << xmlPlist("<array>\n\t<!-- was <array><string>old@example.com</string> -->\n"
                    "\t<string>+4915123456789</string>\n\t<string>anna@example.com</string>\n</array>")
        << QStringList{"+4915123456789", "anna@example.com"};
    QTest::newRow("markup characters, entities and references")
        << xmlPlist("<array><string>a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos;</string>"
                    "<string>&#x1F600;&#228;</string></array>")
        << QStringList{"a <b> & \"c\" 'd'", QString::fromUtf8("\xF0\x9F\x98\x80\xC3\xA4")};
    QTest::newRow("CDATA and comments inside a string")
        << xmlPlist("<array><string>x<![CDATA[<array>&amp;]]>y<!-- </string> -->z</string></array>")
        << QStringList{"x<array>&amp;yz"};
    QTest::newRow("spaces, tabs, newlines and a carriage return written as a reference")
        << xmlPlist("<array><string>  two\tlines\nhere&#13;</string></array>")
        << QStringList{"  two\tlines\nhere\r"};
    QTest::newRow("empty strings and a non-string")
        << xmlPlist("<array><string/><string></string><integer>5</integer><true/></array>")
        << QStringList{"", "", "", ""};
    QTest::newRow("no prolog, no DOCTYPE, a processing instruction")
        << QByteArray("<?editor keep?><plist><array><string>b@example.com</string></array></plist>")
        << QStringList{"b@example.com"};
}

void TestPlistNode::xmlValuesSurviveTheGuard()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, values);
    QCOMPARE(plistArrayStrings(data), values);
    const PlistNode root = PlistNode::parse(data);
    QCOMPARE(root.arraySize(), values.size());
}

void TestPlistNode::missingChildrenGiveDefaults()
{
    const PlistNode root = PlistNode::parse(sample(true), true);
    const PlistNode list = root.value("List");
    const PlistNode empties[] = {
        root.value("Missing"),
        root.value("name"), // keys are case-sensitive
        root.at(0),         // not an array
        list.at(2),
        list.at(-1),
        list.value("k"),    // not a dictionary
        root.value("Name").value("x"),
        PlistNode(),
    };
    for (const PlistNode &n : empties) {
        QVERIFY(n.isNull());
        QCOMPARE(n.toString(), QString(""));
        QVERIFY(!n.toString().isNull());
        QCOMPARE(n.toBool(), false);
        QVERIFY(n.toByteArray().isNull());
        QVERIFY(!n.toDateTime().isValid());
        QCOMPARE(n.arraySize(), 0);
        QVERIFY(n.at(0).isNull());
    }
    // Getters of the wrong type answer their empty result too.
    QCOMPARE(root.value("Blob").toString(), QString(""));
    QCOMPARE(root.value("Name").toBool(), false);
    QVERIFY(root.value("Name").toByteArray().isNull());
    QVERIFY(!root.value("Name").toDateTime().isValid());
    QCOMPARE(root.value("Name").arraySize(), 0);
    QCOMPARE(root.value("On").toString(), QString(""));
}

void TestPlistNode::typeTests()
{
    const PlistNode root = PlistNode::parse(sample(true), true);
    struct Row { const char *key; bool b, s, a, d, dt, da; };
    const Row rows[] = {
        {"On", true, false, false, false, false, false},
        {"Name", false, true, false, false, false, false},
        {"List", false, false, true, false, false, false},
        {"Epoch", false, false, false, false, true, false},
        {"Blob", false, false, false, false, false, true},
        {"Count", false, false, false, false, false, false},
    };
    for (const Row &r : rows) {
        const PlistNode n = root.value(r.key);
        QVERIFY2(!n.isNull(), r.key);
        QCOMPARE(n.isBoolean(), r.b);
        QCOMPARE(n.isString(), r.s);
        QCOMPARE(n.isArray(), r.a);
        QCOMPARE(n.isDictionary(), r.d);
        QCOMPARE(n.isDate(), r.dt);
        QCOMPARE(n.isData(), r.da);
    }
    QVERIFY(root.isDictionary());
    QVERIFY(root.value("List").at(1).isDictionary());
}

// libplist asserts, when it hands a string out, that the text holds no NUL;
// a crafted list that has one must not bring the program down. A binary list
// can carry one; in XML a NUL is not a character at all, so the list is refused.
void TestPlistNode::stringWithNulEndsThere_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("strings");
    const QByteArray text("ab\0cd", 5);
    QTest::newRow("binary") << testsupport::binaryPlist({testsupport::bplistArray({1}),
                                                         testsupport::bplistAsciiString(text)})
                            << QStringList{QStringLiteral("ab")};
    QTest::newRow("xml") << QByteArray("<plist version=\"1.0\"><array><string>") + text
                                + QByteArray("</string></array></plist>")
                         << QStringList();
}

void TestPlistNode::stringWithNulEndsThere()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, strings);
    const PlistNode root = PlistNode::parse(data, true);
    QCOMPARE(root.arraySize(), int(strings.size()));
    for (int i = 0; i < strings.size(); ++i) {
        QVERIFY(root.at(i).isString());
        QCOMPARE(root.at(i).toString(), strings.at(i));
    }
    // The iOS 5 participants reader, on the same list.
    QCOMPARE(plistArrayStrings(data), strings);
}

void TestPlistNode::dates_data()
{
    QTest::addColumn<int>("sec");
    QTest::addColumn<int>("usec");
    QTest::addColumn<qint64>("unixMSecs");

    QTest::newRow("origin") << 0 << 0 << qint64(978307200000);
    QTest::newRow("whole milliseconds of a fraction") << 1 << 999999 << qint64(978307201999);
    QTest::newRow("below a millisecond") << 0 << 999 << qint64(978307200000);
    QTest::newRow("Unix epoch") << -978307200 << 0 << qint64(0);
    QTest::newRow("past 32-bit milliseconds") << INT_MAX << 0 << qint64(978307200000) + qint64(INT_MAX) * 1000;
}

void TestPlistNode::dates()
{
    QFETCH(int, sec);
    QFETCH(int, usec);
    QFETCH(qint64, unixMSecs);
    const PlistNode date(plist_new_date(sec, usec), true);
    QVERIFY(date.isDate());
    QCOMPARE(date.toDateTime().toMSecsSinceEpoch(), unixMSecs);

    // The same value through a binary list keeps the whole milliseconds.
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "d", plist_new_date(sec, usec));
    const QByteArray bin = serialize(root, true);
    plist_free(root);
    QCOMPARE(PlistNode::parse(bin, true).value("d").toDateTime().toMSecsSinceEpoch(), unixMSecs);
}

void TestPlistNode::childOutlivesRoot()
{
    PlistNode child;
    PlistNode list;
    {
        const PlistNode root = PlistNode::parse(sample(false), true);
        {
            const PlistNode earlierCopy = root;
            list = earlierCopy.value("List");
        }
        // An earlier copy of the root is gone; the root still lives.
        QCOMPARE(list.at(0).toString(), QStringLiteral("first"));
        child = root.value("List").at(1).value("k");
    }
    // Every copy of the root is gone: the children keep the tree alive.
    QCOMPARE(child.toString(), QStringLiteral("v"));
    QCOMPARE(list.arraySize(), 2);
}

// A wrapper that does not own its node leaves freeing to the caller
// (a second free would show under the sanitizers).
void TestPlistNode::borrowedRootIsNotFreed()
{
    plist_t node = plist_new_string("mine");
    {
        const PlistNode wrapper(node, false);
        QCOMPARE(wrapper.toString(), QStringLiteral("mine"));
        const PlistNode copy = wrapper;
        QVERIFY(copy.isString());
    }
    char *text = nullptr;
    plist_get_string_val(node, &text);
    QCOMPARE(QByteArray(text), QByteArray("mine"));
    std::free(text);
    plist_free(node);
}

QP_TEST_MAIN(TestPlistNode)

} // namespace tst_plistnode

#include "tst_plistnode.moc"
