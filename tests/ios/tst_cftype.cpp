// The CoreFoundation value wrapper over the stand-in library, loaded as the
// program loads it: ownership across copies and containers, getters on values
// of the wrong type, property lists both ways, and names a library lacks.
#include "ios/applelibs.h"
#include "ios/cftype.h"
#include "platform/plist/plistnode.h"
#include "tests/support/plistfixture.h"
#include "tests/support/testmain.h"

#include <QRandomGenerator>
#include <QSet>

namespace tst_cftype {

namespace {

// Every name looked up goes through here while a case records them.
QStringList s_lookedUp;
QSet<QByteArray> s_hidden;

void *recordingResolver(const char *name)
{
    s_lookedUp.append(QString::fromLatin1(name));
    return s_hidden.contains(name) ? nullptr : apple_cf_resolve(name);
}

qint64 liveValues()
{
    auto live = CFType::resolve<decltype(&qp_cf_live_values)>("qp_cf_live_values");
    return live ? live() : -1;
}

bool cfEqual(const CFType &a, const CFType &b)
{
    auto equal = CFType::resolve<decltype(&CFEqual)>("CFEqual");
    return equal(a.ref(), b.ref());
}

CFType sampleMessage()
{
    CFType message = CFType::newDictionary();
    CFType sources = CFType::newArray();
    sources.append(CFType::fromString("AddressBook"));
    sources.append(CFType::fromString(QString::fromUtf8("Kalender \u2014 \U0001F4C5")));
    message.setValue(CFType::fromString("Sources"), sources);
    message.setValue(CFType::fromString("Count"), CFType::fromInt32(-3));
    message.setValue(CFType::fromString("Ratio"), CFType::fromDouble(0.5));
    message.setValue(CFType::fromString("Enabled"), CFType::fromBool(true));
    message.setValue(CFType::fromString("Blob"), CFType::fromByteArray(QByteArray("\x00\x01\xff", 3)));
    return message;
}

} // namespace

class TestCFType : public QObject
{
    Q_OBJECT

    qint64 liveAtStart = 0;

private slots:
    void initTestCase()
    {
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        QString error;
        QVERIFY2(apple_libs_load(error), qPrintable(error));
    }
    void init()
    {
        s_lookedUp.clear();
        s_hidden.clear();
        liveAtStart = liveValues();
    }
    // No value may stay alive in the library's pool after a case.
    void cleanup()
    {
        CFType::setResolver(nullptr);
        QCOMPARE(liveValues(), liveAtStart);
    }

    void containersOutliveTheWrappersGivenToThem()
    {
        CFType first = CFType::newDictionary();
        {
            const CFType key = CFType::fromString("Sources");
            CFType array = CFType::newArray();
            array.append(CFType::fromString("SMS"));
            first.setValue(key, array);
        }
        const CFType copy = first;
        first = CFType();
        QVERIFY(copy.isDictionary());
        QCOMPARE(copy.value("Sources").at(0).toQString(), QString("SMS"));

        // The XML form holds the key with its array.
        const PlistNode xml = PlistNode::parse(copy.toPropertyListData(kCFPropertyListXMLFormat_v1_0), true);
        QVERIFY(xml.isDictionary());
        QVERIFY(xml.value("Sources").isArray());
        QCOMPARE(xml.value("Sources").at(0).toString(), QString("SMS"));
    }

    void anEmptyOwnedValueReleasesNothing()
    {
        CFType::setResolver(recordingResolver);
        {
            const CFType empty(nullptr, true);
            const CFType copy = empty;
            QVERIFY(copy.isEmpty());
            QVERIFY(!copy.isNumber() && !copy.isString() && !copy.isDictionary() && !copy.isArray());
        }
        QVERIFY2(!s_lookedUp.contains("CFRelease"), qPrintable(s_lookedUp.join(' ')));
    }

    void gettersOnTheWrongTypeAnswerTheirDefaultWithoutACall_data()
    {
        QTest::addColumn<QString>("valueKind");
        QTest::addColumn<QString>("getter");
        const QStringList kinds = {"empty", "boolean", "number", "string", "data", "array"};
        const QMap<QString, QString> getterType = {{"toInt32", "number"}, {"toInt64", "number"},
                                                   {"toDouble", "number"}, {"toBool", "boolean"},
                                                   {"stringLength", "string"}, {"toQString", "string"},
                                                   {"dataLength", "data"}, {"toByteArray", "data"}};
        for (const QString &kind : kinds) {
            for (auto it = getterType.begin(); it != getterType.end(); ++it) {
                if (it.value() != kind)
                    QTest::newRow(qPrintable(it.key() + " on " + kind)) << kind << it.key();
            }
        }
    }
    void gettersOnTheWrongTypeAnswerTheirDefaultWithoutACall()
    {
        QFETCH(QString, valueKind);
        QFETCH(QString, getter);
        CFType value;
        if (valueKind == "boolean")
            value = CFType::fromBool(true);
        else if (valueKind == "number")
            value = CFType::fromInt32(1);
        else if (valueKind == "string")
            value = CFType::fromString("1");
        else if (valueKind == "data")
            value = CFType::fromByteArray("1");
        else if (valueKind == "array")
            value = CFType::newArray();

        CFType::setResolver(recordingResolver);
        if (getter == "toInt32")
            QCOMPARE(value.toInt32(-9), -9);
        else if (getter == "toInt64")
            QCOMPARE(value.toInt64(-9), qint64(-9));
        else if (getter == "toDouble")
            QCOMPARE(value.toDouble(-9.5), -9.5);
        else if (getter == "toBool")
            QCOMPARE(value.toBool(true), true);
        else if (getter == "stringLength")
            QCOMPARE(value.stringLength(), 0);
        else if (getter == "toQString")
            QCOMPARE(value.toQString(), QString(""));
        else if (getter == "dataLength")
            QCOMPARE(value.dataLength(), 0);
        else if (getter == "toByteArray")
            QVERIFY(value.toByteArray().isNull());
        // Only type ids were asked for.
        for (const QString &name : s_lookedUp)
            QVERIFY2(name.endsWith("TypeID"), qPrintable(name));
    }

    void gettersReadTheirOwnType()
    {
        QCOMPARE(CFType::fromInt32(-7).toInt32(), -7);
        QCOMPARE(CFType::fromInt32(-7).toInt64(), qint64(-7));
        QCOMPARE(CFType::fromInt32(-7).toDouble(), -7.0);
        // A fraction does not fit an int: the default comes back.
        QCOMPARE(CFType::fromDouble(2.5).toInt32(99), 99);
        QCOMPARE(CFType::fromDouble(2.5).toDouble(), 2.5);
        // The byte is preset to the default and overwritten by the library.
        QCOMPARE(CFType::fromBool(false).toBool(true), false);
        QCOMPARE(CFType::fromBool(true).toBool(false), true);
        const QString text = QString::fromUtf8("Gr\u00fc\u00dfe \U0001F600");
        QCOMPARE(CFType::fromString(text).toQString(), text);
        QCOMPARE(CFType::fromString(text).stringLength(), int(text.size()));
        const QByteArray bytes("\x00\x7f\x80\xff", 4);
        QCOMPARE(CFType::fromByteArray(bytes).toByteArray(), bytes);
        QCOMPARE(CFType::fromByteArray(bytes).dataLength(), 4);
    }

    void emptyTextAndBytesAreValuesNotEmptyWrappers()
    {
        const CFType emptyString = CFType::fromString(QString());
        QVERIFY(!emptyString.isEmpty());
        QVERIFY(emptyString.isString());
        QCOMPARE(emptyString.stringLength(), 0);
        QVERIFY(!emptyString.toQString().isNull());
        QCOMPARE(emptyString.toQString(), QString(""));
        const CFType emptyData = CFType::fromByteArray(QByteArray());
        QVERIFY(emptyData.isData());
        QVERIFY(!emptyData.toByteArray().isNull());
        QVERIFY(emptyData.toByteArray().isEmpty());
    }

    void containerAccessOnTheWrongKindOrOutsideIsEmpty()
    {
        CFType array = CFType::newArray();
        array.append(CFType::fromString("only"));
        CFType dict = CFType::newDictionary();
        dict.setValue(CFType::fromString("key"), CFType::fromString("value"));

        const CFType none[] = {array.value("key"), dict.at(0), array.at(1), array.at(-1), dict.value("absent"),
                               CFType::fromString("x").value("key")};
        for (const CFType &value : none) {
            QVERIFY(value.isEmpty());
            QVERIFY(!value.isString() && !value.isNumber() && !value.isBoolean() && !value.isData()
                    && !value.isDictionary() && !value.isArray());
        }
        // Setters on the wrong kind, and empty keys, values and items, change nothing.
        array.setValue(CFType::fromString("key"), CFType::fromString("value"));
        dict.append(CFType::fromString("item"));
        dict.setValue(CFType(), CFType::fromString("value"));
        dict.setValue(CFType::fromString("other"), CFType());
        array.append(CFType());
        QVERIFY(array.at(1).isEmpty());
        QVERIFY(dict.value("other").isEmpty());
        // An index past the end never reaches the library's item lookup,
        // which Apple's does not survive.
        s_lookedUp.clear();
        CFType::setResolver(recordingResolver);
        QVERIFY(array.at(1).isEmpty() && array.at(1000).isEmpty());
        QVERIFY(!s_lookedUp.contains("CFArrayGetValueAtIndex"));
        QCOMPARE(array.at(0).toQString(), QString("only"));
        CFType::setResolver(nullptr);
        QCOMPARE(dict.toPropertyListData(kCFPropertyListXMLFormat_v1_0),
                 CFType::deepCopy(dict).toPropertyListData(kCFPropertyListXMLFormat_v1_0));
    }

    void countsAndKeys()
    {
        const CFType message = CFType::fromPropertyListData(sampleMessage().toPropertyListData(200));
        QCOMPARE(message.count(), 5);
        QStringList keys;
        for (const CFType &key : message.keys())
            keys.append(key.toQString());
        keys.sort();
        QCOMPARE(keys, QStringList({"Blob", "Count", "Enabled", "Ratio", "Sources"}));
        QCOMPARE(message.value("Sources").count(), 2);
        QCOMPARE(CFType::newArray().count(), 0);
        QCOMPARE(CFType::fromString("text").count(), 0);
        QCOMPARE(CFType().count(), 0);
        QVERIFY(message.value("Sources").keys().isEmpty());
    }

    void binaryAndXmlFormsReadAlike()
    {
        const CFType message = sampleMessage();
        const QByteArray binary = message.toPropertyListData(kCFPropertyListBinaryFormat_v1_0);
        const QByteArray xml = message.toPropertyListData(kCFPropertyListXMLFormat_v1_0);
        QVERIFY(binary.startsWith("bplist00"));
        QVERIFY(xml.startsWith("<?xml"));
        const CFType fromBinary = CFType::fromPropertyListData(binary);
        const CFType fromXml = CFType::fromPropertyListData(xml);
        QVERIFY(fromBinary.isDictionary());
        QVERIFY(cfEqual(fromBinary, fromXml));
        QVERIFY(cfEqual(fromBinary, message));
        QCOMPARE(fromXml.value("Sources").at(1).toQString(), QString::fromUtf8("Kalender \u2014 \U0001F4C5"));
        QCOMPARE(fromXml.value("Enabled").toBool(false), true);
    }

    void unreadableBytesGiveAnEmptyValue_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QByteArray noise(4096, '\0');
        QRandomGenerator generator(12);
        for (char &c : noise)
            c = char(generator.bounded(256));
        QTest::newRow("random bytes") << noise;
        QTest::newRow("random bytes behind a binary header") << QByteArray("bplist00") + noise;
        QTest::newRow("binary nested 600 deep") << testsupport::nestedPlist(600, true);
        QTest::newRow("XML nested 600 deep") << testsupport::nestedPlist(600, false);
    }
    void unreadableBytesGiveAnEmptyValue()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(CFType::fromPropertyListData(bytes).isEmpty());
    }

    void aDeepCopySharesNothing()
    {
        CFType source = sampleMessage();
        const CFType copy = CFType::deepCopy(source);
        QVERIFY(copy.ref() != source.ref());
        QVERIFY(cfEqual(copy, source));
        source.setValue(CFType::fromString("Count"), CFType::fromInt32(40));
        QCOMPARE(copy.value("Count").toInt32(), -3);
        // A value without a property-list form has no copy and no data.
        CFType odd = CFType::newDictionary();
        auto set = CFType::resolve<decltype(&CFDictionarySetValue)>("CFDictionarySetValue");
        const CFType number = CFType::fromInt32(1);
        set(const_cast<void *>(odd.ref()), number.ref(), number.ref());
        QVERIFY(odd.toPropertyListData(kCFPropertyListBinaryFormat_v1_0).isEmpty());
        QVERIFY(CFType::deepCopy(odd).isEmpty());
    }

    void namesTheLibraryLacksGiveEmptyResults_data()
    {
        QTest::addColumn<QByteArray>("hidden");
        QTest::newRow("CFNumberCreate") << QByteArray("CFNumberCreate");
        QTest::newRow("CFGetTypeID") << QByteArray("CFGetTypeID");
        QTest::newRow("CFStringGetBytes") << QByteArray("CFStringGetBytes");
        QTest::newRow("CFPropertyListCreateWithData") << QByteArray("CFPropertyListCreateWithData");
        QTest::newRow("kCFBooleanTrue") << QByteArray("kCFBooleanTrue");
        QTest::newRow("CFArrayAppendValue") << QByteArray("CFArrayAppendValue");
        QTest::newRow("CFArrayGetCount") << QByteArray("CFArrayGetCount");
    }
    void namesTheLibraryLacksGiveEmptyResults()
    {
        QFETCH(QByteArray, hidden);
        const QByteArray xml = sampleMessage().toPropertyListData(kCFPropertyListXMLFormat_v1_0);
        s_hidden.insert(hidden);
        CFType::setResolver(recordingResolver);
        const CFType number = CFType::fromInt32(5);
        const CFType text = CFType::fromString("text");
        const CFType parsed = CFType::fromPropertyListData(xml);
        const CFType flag = CFType::fromBool(true);
        CFType array = CFType::newArray();
        array.append(text);
        QCOMPARE(number.toInt32(-1), hidden == "CFNumberCreate" || hidden == "CFGetTypeID" ? -1 : 5);
        QCOMPARE(text.toQString(), hidden == "CFStringGetBytes" || hidden == "CFGetTypeID" ? QString("") : "text");
        QCOMPARE(parsed.isEmpty(), hidden == "CFPropertyListCreateWithData");
        QCOMPARE(flag.isEmpty(), hidden == "kCFBooleanTrue");
        // Without a count no index is known to be inside.
        QCOMPARE(array.at(0).isEmpty(),
                 hidden == "CFArrayAppendValue" || hidden == "CFGetTypeID" || hidden == "CFArrayGetCount");
        QVERIFY(s_lookedUp.contains(QString::fromLatin1(hidden)));
    }
};

QP_TEST_MAIN(TestCFType)

} // namespace tst_cftype

#include "tst_cftype.moc"
