// The CoreFoundation stand-in on its own, loaded as a plain shared library and
// called through the shared declarations: reference counts, containers,
// numbers, strings and property lists, and that no value is left alive.
#include "platform/appleapi/appleapi.h"
#include "tests/support/plistfixture.h"
#include "tests/support/testmain.h"

#include <dlfcn.h>

#include <cstring>
#include <thread>

namespace tst_corefoundation {

namespace {

struct CF
{
    void *library = nullptr;
#define CF_FN(name) decltype(&::name) name = nullptr;
    CF_FN(CFRetain) CF_FN(CFRelease) CF_FN(CFGetRetainCount) CF_FN(CFGetTypeID) CF_FN(CFEqual)
    CF_FN(CFBooleanGetTypeID) CF_FN(CFNumberGetTypeID) CF_FN(CFStringGetTypeID) CF_FN(CFDictionaryGetTypeID)
    CF_FN(CFArrayGetTypeID) CF_FN(CFDateGetTypeID)
    CF_FN(CFNumberCreate) CF_FN(CFNumberGetValue) CF_FN(CFStringCreateWithBytes) CF_FN(CFStringGetLength)
    CF_FN(CFStringGetBytes) CF_FN(CFDataCreate) CF_FN(CFDataGetLength) CF_FN(CFDataGetBytePtr) CF_FN(CFDateCreate)
    CF_FN(CFArrayCreateMutable) CF_FN(CFArrayAppendValue) CF_FN(CFArrayGetCount) CF_FN(CFArrayGetValueAtIndex)
    CF_FN(CFDictionaryCreateMutable) CF_FN(CFDictionarySetValue) CF_FN(CFDictionaryGetValue)
    CF_FN(CFDictionaryGetCount) CF_FN(CFPropertyListCreateData) CF_FN(CFPropertyListCreateWithData)
    CF_FN(qp_cf_live_values)
#undef CF_FN
    const CFBooleanRef *trueVariable = nullptr;
    const CFBooleanRef *falseVariable = nullptr;
    const CFArrayCallBacks *arrayCallBacks = nullptr;
    const CFDictionaryKeyCallBacks *keyCallBacks = nullptr;
    const CFDictionaryValueCallBacks *valueCallBacks = nullptr;

    bool load()
    {
        library = dlopen(CF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return false;
        bool all = true;
        auto take = [&](auto &slot, const char *name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(library, name));
            all = all && slot;
        };
#define CF_TAKE(name) take(name, #name);
        CF_TAKE(CFRetain) CF_TAKE(CFRelease) CF_TAKE(CFGetRetainCount) CF_TAKE(CFGetTypeID) CF_TAKE(CFEqual)
        CF_TAKE(CFBooleanGetTypeID) CF_TAKE(CFNumberGetTypeID) CF_TAKE(CFStringGetTypeID)
        CF_TAKE(CFDictionaryGetTypeID) CF_TAKE(CFArrayGetTypeID) CF_TAKE(CFDateGetTypeID)
        CF_TAKE(CFNumberCreate) CF_TAKE(CFNumberGetValue) CF_TAKE(CFStringCreateWithBytes)
        CF_TAKE(CFStringGetLength) CF_TAKE(CFStringGetBytes) CF_TAKE(CFDataCreate) CF_TAKE(CFDataGetLength)
        CF_TAKE(CFDataGetBytePtr) CF_TAKE(CFDateCreate) CF_TAKE(CFArrayCreateMutable) CF_TAKE(CFArrayAppendValue)
        CF_TAKE(CFArrayGetCount) CF_TAKE(CFArrayGetValueAtIndex) CF_TAKE(CFDictionaryCreateMutable)
        CF_TAKE(CFDictionarySetValue) CF_TAKE(CFDictionaryGetValue) CF_TAKE(CFDictionaryGetCount)
        CF_TAKE(CFPropertyListCreateData) CF_TAKE(CFPropertyListCreateWithData) CF_TAKE(qp_cf_live_values)
#undef CF_TAKE
        take(trueVariable, "kCFBooleanTrue");
        take(falseVariable, "kCFBooleanFalse");
        take(arrayCallBacks, "kCFTypeArrayCallBacks");
        take(keyCallBacks, "kCFTypeDictionaryKeyCallBacks");
        take(valueCallBacks, "kCFTypeDictionaryValueCallBacks");
        return all;
    }

    CFStringRef string(const QString &text) const
    {
        const QByteArray utf8 = text.toUtf8();
        return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t *>(utf8.constData()), utf8.size(),
                                       kCFStringEncodingUTF8, false);
    }
    CFNumberRef int64(qint64 v) const { return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v); }
    CFNumberRef real(double v) const { return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v); }
    CFMutableArrayRef array() const { return CFArrayCreateMutable(nullptr, 0, arrayCallBacks); }
    CFMutableDictionaryRef dictionary() const
    {
        return CFDictionaryCreateMutable(nullptr, 0, keyCallBacks, valueCallBacks);
    }
    QByteArray bytes(CFDataRef data) const
    {
        return QByteArray(reinterpret_cast<const char *>(CFDataGetBytePtr(data)), CFDataGetLength(data));
    }
    CFTypeRef parse(const QByteArray &bytes, CFPropertyListFormat *format = nullptr) const
    {
        CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size());
        CFTypeRef value = CFPropertyListCreateWithData(nullptr, data, 0, format, nullptr);
        CFRelease(data);
        return value;
    }
    QByteArray serialise(CFTypeRef value, CFPropertyListFormat format) const
    {
        CFDataRef data = CFPropertyListCreateData(nullptr, value, format, 0, nullptr);
        const QByteArray out = data ? bytes(data) : QByteArray();
        if (data)
            CFRelease(data);
        return out;
    }
};

} // namespace

class TestCoreFoundation : public QObject
{
    Q_OBJECT

    CF cf;
    qint64 liveAtStart = 0;

private slots:
    void initTestCase() { QVERIFY2(cf.load(), dlerror()); }
    void init() { liveAtStart = cf.qp_cf_live_values(); }
    // Every case gives back what it made; a value forgotten inside the
    // library's pool is invisible to the leak checker, so it is counted here.
    void cleanup() { QCOMPARE(cf.qp_cf_live_values(), liveAtStart); }

    void containersRetainTheirContents()
    {
        CFStringRef key = cf.string("key");
        CFNumberRef value = cf.int64(7);
        CFMutableDictionaryRef dict = cf.dictionary();
        CFMutableArrayRef array = cf.array();
        QCOMPARE(cf.qp_cf_live_values(), liveAtStart + 4);

        cf.CFDictionarySetValue(dict, key, value);
        cf.CFArrayAppendValue(array, value);
        QCOMPARE(cf.CFGetRetainCount(value), 3);
        QCOMPARE(cf.CFGetRetainCount(key), 2);
        cf.CFRelease(key);
        cf.CFRelease(value);

        // Found by an equal key, not only the same object.
        CFStringRef sameText = cf.string("key");
        QCOMPARE(cf.CFDictionaryGetValue(dict, sameText), value);
        // Replacing a value releases the old one.
        CFNumberRef other = cf.int64(8);
        cf.CFDictionarySetValue(dict, sameText, other);
        cf.CFRelease(other);
        cf.CFRelease(sameText);
        QCOMPARE(cf.CFDictionaryGetCount(dict), 1);
        QCOMPARE(cf.CFGetRetainCount(value), 1); // only the array holds it now

        cf.CFRelease(dict);
        cf.CFRelease(array);
    }

    void arrayIndexOutsideAnswersNull_data()
    {
        QTest::addColumn<qint64>("index");
        QTest::newRow("first") << qint64(0);
        QTest::newRow("last") << qint64(1);
        QTest::newRow("one past the end") << qint64(2);
        QTest::newRow("negative") << qint64(-1);
        QTest::newRow("far beyond 32 bits") << (qint64(1) << 40);
    }
    void arrayIndexOutsideAnswersNull()
    {
        QFETCH(qint64, index);
        CFMutableArrayRef array = cf.array();
        CFNumberRef a = cf.int64(1), b = cf.int64(2);
        cf.CFArrayAppendValue(array, a);
        cf.CFArrayAppendValue(array, b);
        const void *got = cf.CFArrayGetValueAtIndex(array, index);
        if (index == 0 || index == 1)
            QCOMPARE(got, index == 0 ? a : b);
        else
            QCOMPARE(got, nullptr);
        cf.CFRelease(a);
        cf.CFRelease(b);
        cf.CFRelease(array);
    }

    void booleansAreVariablesReadAsOneByte()
    {
        QVERIFY(*cf.trueVariable && *cf.falseVariable && *cf.trueVariable != *cf.falseVariable);
        QCOMPARE(cf.CFGetTypeID(*cf.trueVariable), cf.CFBooleanGetTypeID());
        for (const bool value : {true, false}) {
            // Kind 1 writes exactly one byte; its neighbour keeps its fill.
            unsigned char bytes[2] = {0x55, 0x55};
            QVERIFY(cf.CFNumberGetValue(value ? *cf.trueVariable : *cf.falseVariable, kCFNumberSInt8Type, bytes));
            QCOMPARE(int(bytes[0]), value ? 1 : 0);
            QCOMPARE(int(bytes[1]), 0x55);
        }
        // The constants ignore retain and release.
        cf.CFRelease(*cf.trueVariable);
        QCOMPARE(cf.CFGetTypeID(*cf.trueVariable), cf.CFBooleanGetTypeID());
    }

    void numbersConvertAndReportLoss_data()
    {
        QTest::addColumn<bool>("isFloat");
        QTest::addColumn<qint64>("integer");
        QTest::addColumn<double>("real");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("exact");
        QTest::addColumn<double>("read");
        QTest::newRow("int32 fits") << false << qint64(-2147483648LL) << 0.0 << 3 << true << -2147483648.0;
        // Cut to its low 32 bits, which are all zero here.
        QTest::newRow("int64 past int32") << false << (qint64(1) << 40) << 0.0 << 3 << false << 0.0;
        QTest::newRow("int64 whole range") << false << qint64(9007199254740993LL) << 0.0 << 4 << true << 9007199254740993.0;
        QTest::newRow("double as int32 cuts the fraction") << true << qint64(0) << 2.75 << 3 << false << 2.0;
        QTest::newRow("double as double") << true << qint64(0) << 2.75 << 6 << true << 2.75;
        QTest::newRow("huge double as int64") << true << qint64(0) << 1e300 << 4 << false << 0.0;
        QTest::newRow("integer as double") << false << qint64(63966400512LL) << 0.0 << 6 << true << 63966400512.0;
    }
    void numbersConvertAndReportLoss()
    {
        QFETCH(bool, isFloat);
        QFETCH(qint64, integer);
        QFETCH(double, real);
        QFETCH(int, kind);
        QFETCH(bool, exact);
        QFETCH(double, read);
        CFNumberRef number = isFloat ? cf.real(real) : cf.int64(integer);
        double got = 0;
        bool answer = false;
        if (kind == kCFNumberSInt32Type) {
            int32_t v = -1;
            answer = cf.CFNumberGetValue(number, kind, &v);
            got = v;
        } else if (kind == kCFNumberSInt64Type) {
            int64_t v = -1;
            answer = cf.CFNumberGetValue(number, kind, &v);
            got = double(v);
        } else {
            answer = cf.CFNumberGetValue(number, kind, &got);
        }
        QCOMPARE(answer, exact);
        QCOMPARE(got, read);
        cf.CFRelease(number);
        // Neither a string nor NULL is a number.
        CFStringRef text = cf.string("5");
        int32_t untouched = 42;
        QVERIFY(!cf.CFNumberGetValue(text, kCFNumberSInt32Type, &untouched));
        QVERIFY(!cf.CFNumberGetValue(nullptr, kCFNumberSInt32Type, &untouched));
        QCOMPARE(untouched, 42);
        cf.CFRelease(text);
    }

    void stringsCountUtf16AndReplaceWhatAnEncodingLacks()
    {
        const QString text = QString::fromUtf8("Gr\u00fc\u00dfe \U0001F600 \u4f60\u597d");
        CFStringRef string = cf.string(text);
        QCOMPARE(cf.CFStringGetLength(string), CFIndex(text.size()));

        const CFRange all{0, cf.CFStringGetLength(string)};
        CFIndex used = 0;
        QCOMPARE(cf.CFStringGetBytes(string, all, kCFStringEncodingUTF8, '?', false, nullptr, 0, &used), all.length);
        QByteArray utf8(int(used), '\0');
        cf.CFStringGetBytes(string, all, kCFStringEncodingUTF8, '?', false, reinterpret_cast<uint8_t *>(utf8.data()),
                            used, &used);
        QCOMPARE(QString::fromUtf8(utf8), text);

        // ASCII: one loss byte per character, the emoji's pair included.
        QByteArray ascii(64, '\0');
        cf.CFStringGetBytes(string, all, kCFStringEncodingASCII, '?', false, reinterpret_cast<uint8_t *>(ascii.data()),
                            ascii.size(), &used);
        QCOMPARE(ascii.left(int(used)), QByteArray("Gr??e ? ??"));
        // Without a loss byte the conversion stops at the first such unit.
        QCOMPARE(cf.CFStringGetBytes(string, all, kCFStringEncodingASCII, 0, false, nullptr, 0, &used), CFIndex(2));
        // A range outside the string converts nothing.
        QCOMPARE(cf.CFStringGetBytes(string, CFRange{1, all.length}, kCFStringEncodingUTF8, '?', false, nullptr, 0,
                                     &used),
                 CFIndex(0));
        cf.CFRelease(string);

        // Bytes that are not UTF-8 make no string; no bytes make an empty one.
        const uint8_t bad[] = {'a', 0xc3, 0x28};
        QCOMPARE(cf.CFStringCreateWithBytes(nullptr, bad, 3, kCFStringEncodingUTF8, false), nullptr);
        const uint8_t overlong[] = {0xc0, 0xaf};
        QCOMPARE(cf.CFStringCreateWithBytes(nullptr, overlong, 2, kCFStringEncodingUTF8, false), nullptr);
        CFStringRef empty = cf.CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t *>(""), 0,
                                                       kCFStringEncodingUTF8, false);
        QVERIFY(empty);
        QCOMPARE(cf.CFStringGetLength(empty), CFIndex(0));
        cf.CFRelease(empty);
    }

    void propertyListsRoundTrip_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("XML") << int(kCFPropertyListXMLFormat_v1_0);
        QTest::newRow("binary") << int(kCFPropertyListBinaryFormat_v1_0);
    }
    void propertyListsRoundTrip()
    {
        QFETCH(int, format);
        // What a device message holds: every kind, nested, with text beyond ASCII.
        CFMutableDictionaryRef message = cf.dictionary();
        auto put = [&](const char *key, CFTypeRef value) {
            CFStringRef k = cf.string(key);
            cf.CFDictionarySetValue(message, k, value);
            cf.CFRelease(k);
            if (value != *cf.trueVariable && value != *cf.falseVariable)
                cf.CFRelease(value);
        };
        CFMutableArrayRef sources = cf.array();
        for (const char *name : {"AddressBook", "SMS", "\xe2\x80\x9cQuoted\xe2\x80\x9d \xf0\x9f\x98\x80"}) {
            CFStringRef s = cf.string(QString::fromUtf8(name));
            cf.CFArrayAppendValue(sources, s);
            cf.CFRelease(s);
        }
        put("Sources", sources);
        put("Count", cf.int64(-5));
        put("Big", cf.int64(63966400512LL));
        put("Ratio", cf.real(0.25));
        put("Enabled", *cf.trueVariable);
        put("Off", *cf.falseVariable);
        const uint8_t blob[] = {0, 1, 2, 0xff};
        put("Blob", cf.CFDataCreate(nullptr, blob, 4));
        // Whole seconds: XML dates carry no fraction.
        put("When", cf.CFDateCreate(nullptr, 416000000.0));

        CFPropertyListFormat detected = 0;
        const QByteArray bytes = cf.serialise(message, format);
        QVERIFY(!bytes.isEmpty());
        QCOMPARE(bytes.startsWith("bplist00"), format == kCFPropertyListBinaryFormat_v1_0);
        CFTypeRef back = cf.parse(bytes, &detected);
        QVERIFY(back);
        QCOMPARE(int(detected), format);
        QVERIFY(cf.CFEqual(back, message));
        CFStringRef when = cf.string("When");
        QCOMPARE(cf.CFGetTypeID(cf.CFDictionaryGetValue(back, when)), cf.CFDateGetTypeID());
        cf.CFRelease(when);
        cf.CFRelease(back);
        cf.CFRelease(message);
    }

    void unreadableOrUnwritableListsGiveNull_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("garbage") << QByteArray("\x01\x02<<plist>>\xff", 12);
        QTest::newRow("binary header only") << QByteArray("bplist00");
        QTest::newRow("truncated XML") << QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a</key>");
        QTest::newRow("binary nested past the bound") << testsupport::nestedPlist(600, true);
        QTest::newRow("XML nested past the bound") << testsupport::nestedPlist(600, false);
        // libplist asserts when it hands out a key holding a NUL.
        using testsupport::binaryPlist;
        using testsupport::bplistDictionary;
        QTest::newRow("UTF-16 key holding a NUL")
            << binaryPlist({bplistDictionary({1}, {2}), testsupport::bplistUtf16String(QString::fromLatin1("a\0b", 3)),
                            testsupport::bplistAsciiString("x")});
        QTest::newRow("ASCII key holding a NUL")
            << binaryPlist({bplistDictionary({1}, {2}), testsupport::bplistAsciiString(QByteArray("a\0b", 3)),
                            testsupport::bplistAsciiString("x")});
        QTest::newRow("a nested dictionary's key holding a NUL")
            << binaryPlist({testsupport::bplistArray({1}), bplistDictionary({2, 3}, {3, 3}),
                            testsupport::bplistAsciiString("fine"),
                            testsupport::bplistUtf16String(QString(QChar(0)))});
    }
    void unreadableOrUnwritableListsGiveNull()
    {
        QFETCH(QByteArray, bytes);
        QCOMPARE(cf.parse(bytes), nullptr);
    }

    // A binary list can carry a NUL inside a string value, which libplist
    // asserts against when the text is taken out: the text ends there.
    void stringValueWithNulEndsThere_data()
    {
        QTest::addColumn<QByteArray>("string");
        QTest::newRow("ASCII") << testsupport::bplistAsciiString(QByteArray("ab\0cd", 5));
        QTest::newRow("UTF-16") << testsupport::bplistUtf16String(QString::fromLatin1("ab\0cd", 5));
    }
    void stringValueWithNulEndsThere()
    {
        QFETCH(QByteArray, string);
        CFTypeRef list = cf.parse(testsupport::binaryPlist({testsupport::bplistArray({1}), string}));
        QVERIFY(list);
        QCOMPARE(cf.CFArrayGetCount(list), CFIndex(1));
        const void *text = cf.CFArrayGetValueAtIndex(list, 0);
        QCOMPARE(cf.CFGetTypeID(text), cf.CFStringGetTypeID());
        QCOMPARE(cf.CFStringGetLength(text), CFIndex(2));
        cf.CFRelease(list);
    }

    void valuesWithoutAPropertyListFormGiveNoData()
    {
        CFErrorRef error = reinterpret_cast<CFErrorRef>(this);
        QCOMPARE(cf.CFPropertyListCreateData(nullptr, nullptr, kCFPropertyListXMLFormat_v1_0, 0, &error), nullptr);
        QCOMPARE(error, nullptr);
        // A dictionary key that is not a string has no property-list form.
        CFMutableDictionaryRef dict = cf.dictionary();
        CFNumberRef key = cf.int64(1);
        cf.CFDictionarySetValue(dict, key, key);
        QVERIFY(cf.serialise(dict, kCFPropertyListBinaryFormat_v1_0).isEmpty());
        // Nor does a format other than the two.
        QVERIFY(cf.serialise(key, 300).isEmpty());
        cf.CFRelease(key);
        cf.CFRelease(dict);
    }

    void deepTreesAreReleasedWithoutRecursion()
    {
        // Far deeper than any stack would take one frame per level.
        CFMutableArrayRef top = cf.array();
        CFMutableArrayRef inner = top;
        for (int i = 0; i < 200000; ++i) {
            CFMutableArrayRef next = cf.array();
            cf.CFArrayAppendValue(inner, next);
            cf.CFRelease(next);
            inner = next;
        }
        QCOMPARE(cf.qp_cf_live_values(), liveAtStart + 200001);
        // Nor is it written out: it nests past the bound.
        QVERIFY(cf.serialise(top, kCFPropertyListXMLFormat_v1_0).isEmpty());
        cf.CFRelease(top);
    }

    void aValueReleasedAtThreadExitIsFreed()
    {
        // An object of the thread's own, made before the library first
        // destroyed anything on that thread, is destroyed after the library's
        // per-thread state: as static holders of values are at process exit.
        struct Holder
        {
            const CF *cf = nullptr;
            CFTypeRef value = nullptr;
            ~Holder()
            {
                if (value)
                    cf->CFRelease(value);
            }
        };
        std::thread([this] {
            thread_local Holder holder;
            holder.cf = &cf;
            holder.value = cf.array();
            cf.CFRelease(cf.int64(1));
        }).join();
    }
};

QP_TEST_MAIN(TestCoreFoundation)

} // namespace tst_corefoundation

#include "tst_corefoundation.moc"
