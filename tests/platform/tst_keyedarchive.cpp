// The reader of NSKeyedArchiver lists: values found through UIDs, "$null" as
// no value, and every broken shape (a UID outside $objects, a cycle of UIDs,
// tables running outside the data) refused with a text instead of a crash.
#include "platform/plist/keyedarchive.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/plistfixture.h"
#include "tests/support/testmain.h"

namespace tst_keyedarchive {

using namespace testsupport;

namespace {

QByteArray uid(quint64 value)
{
    QByteArray out(1, char(0x83));
    for (int i = 3; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

QByteArray integer(qint64 value)
{
    QByteArray out(1, char(0x13));
    for (int i = 7; i >= 0; --i)
        out.append(char((quint64(value) >> (8 * i)) & 0xFF));
    return out;
}

// A keyed archive written object by object:
//   0 top {"$objects": 1, "$top": 2}     3 "$objects"  4 "$top"  5 "root"
//   1 $objects [6 "$null", 7 root dict, 8 "Size"-value target, 9 extra]
//   2 $top {"root": 10}                 10 rootUid
//   7 root {"Size": 11, "Target": 12, "Empty": 13, "Name": 14}
//  11 Size value  12 Target value  13 UID 0 ($null)  14 UTF-16 "Zo\u00eb"
struct Crafted
{
    QByteArray rootUid = uid(1);
    QByteArray size = integer(42);
    QByteArray target = uid(2);
    QByteArray objectTwo = bplistAsciiString("Library/SMS/sms.db");
    QByteArray objectThree = bplistAsciiString("spare");

    QByteArray bytes() const
    {
        const QList<QByteArray> objects{
            bplistDictionary({3, 4}, {1, 2}),      // 0
            bplistArray({6, 7, 8, 9}),             // 1
            bplistDictionary({5}, {10}),           // 2
            bplistAsciiString("$objects"),         // 3
            bplistAsciiString("$top"),             // 4
            bplistAsciiString("root"),             // 5
            bplistAsciiString("$null"),            // 6
            bplistDictionary({15, 16, 17, 18}, {11, 12, 13, 14}), // 7
            objectTwo,                             // 8
            objectThree,                           // 9
            rootUid,                               // 10
            size,                                  // 11
            target,                                // 12
            uid(0),                                // 13
            bplistUtf16String(QString::fromUtf8("Zo\u00eb")), // 14
            bplistAsciiString("Size"),             // 15
            bplistAsciiString("Target"),           // 16
            bplistAsciiString("Empty"),            // 17
            bplistUtf16String("Name"),             // 18 a key stored as UTF-16
        };
        return binaryPlist(objects);
    }
};

} // namespace

class TestKeyedArchive : public QObject
{
    Q_OBJECT

private slots:
    void readsValuesThroughUids()
    {
        KeyedArchive a;
        QVERIFY2(a.load(Crafted().bytes()), qPrintable(a.error()));
        QCOMPARE(a.type(a.root()), KeyedArchive::Type::Dictionary);
        qint64 size = 0;
        QVERIFY(a.toInteger(a.member(a.root(), QLatin1String("Size")), size));
        QCOMPARE(size, 42);
        QCOMPARE(a.toString(a.member(a.root(), QLatin1String("Target"))), "Library/SMS/sms.db");
        QCOMPARE(a.member(a.root(), QLatin1String("Empty")), -1); // "$null"
        QCOMPARE(a.member(a.root(), QLatin1String("Missing")), -1);
        QCOMPARE(a.toString(a.member(a.root(), QLatin1String("Name"))), QString::fromUtf8("Zo\u00eb"));
        QVERIFY(a.error().isEmpty());
    }

    void readsWhatTheFixtureArchives()
    {
        MbFileFields f;
        f.relativePath = QString::fromUtf8("Library/SMS/Attachments/01/Zo\u00eb \xF0\x9F\x98\x80.jpg");
        f.lastModified = 1687990000;
        f.size = 5000000000LL;
        f.target = "../elsewhere";
        f.encryptionKey = QByteArray(44, '\x07');
        KeyedArchive a;
        QVERIFY2(a.load(mbFileArchive(f)), qPrintable(a.error()));
        qint64 value = 0;
        QVERIFY(a.toInteger(a.member(a.root(), QLatin1String("Size")), value));
        QCOMPARE(value, 5000000000LL);
        QVERIFY(a.toInteger(a.member(a.root(), QLatin1String("LastModified")), value));
        QCOMPARE(value, 1687990000);
        QCOMPARE(a.toString(a.member(a.root(), QLatin1String("RelativePath"))), f.relativePath);
        QCOMPARE(a.toString(a.member(a.root(), QLatin1String("Target"))), "../elsewhere");
        const qint64 key = a.member(a.root(), QLatin1String("EncryptionKey"));
        QCOMPARE(a.type(key), KeyedArchive::Type::Dictionary);
        QCOMPARE(a.toData(a.member(key, QLatin1String("NS.data"))), f.encryptionKey);
    }

    void refusesBrokenArchives_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("loads");      // the archive as a whole
        QTest::addColumn<QString>("errorHas");

        Crafted rootOutside;
        rootOutside.rootUid = uid(4);
        QTest::newRow("root UID past $objects") << rootOutside.bytes() << false << "object 4 of 4";
        Crafted memberOutside;
        memberOutside.target = uid(0xFFFFFFFF);
        QTest::newRow("member UID past $objects") << memberOutside.bytes() << true << "object 4294967295 of 4";
        Crafted selfCycle;
        selfCycle.target = uid(2);
        selfCycle.objectTwo = uid(2);
        QTest::newRow("UID pointing at itself") << selfCycle.bytes() << true << "cycle";
        Crafted twoCycle;
        twoCycle.target = uid(2);
        twoCycle.objectTwo = uid(3);
        twoCycle.objectThree = uid(2);
        QTest::newRow("two UIDs pointing at each other") << twoCycle.bytes() << true << "cycle";
        Crafted rootCycle;
        rootCycle.rootUid = uid(2);
        rootCycle.objectTwo = uid(2);
        QTest::newRow("root in a cycle") << rootCycle.bytes() << false << "cycle";

        const QByteArray good = Crafted().bytes();
        QTest::newRow("not a property list") << QByteArray("SQLite format 3") << false << "not a binary";
        QTest::newRow("trailer cut") << good.left(good.size() - 1) << false << "";
        QTest::newRow("empty") << QByteArray() << false << "not a binary";
        QByteArray farTable = good;
        farTable[farTable.size() - 8] = char(0x7F);
        QTest::newRow("offset table past the end") << farTable << false << "offset table";
        QByteArray hugeCount = good;
        hugeCount[hugeCount.size() - 20] = char(0x10);
        QTest::newRow("object count beyond any file") << hugeCount << false << "object count";
        QByteArray zeroRefs = good;
        zeroRefs[zeroRefs.size() - 25] = 0;
        QTest::newRow("references of no width") << zeroRefs << false << "entry sizes";
        // A string whose count reaches past the offset table.
        Crafted longString;
        longString.objectThree = QByteArray("\x5F\x13", 2) + QByteArray::fromHex("7FFFFFFFFFFFFFFF");
        QTest::newRow("string longer than the data") << longString.bytes() << true << "";
        QTest::newRow("top is an array") << binaryPlist({bplistArray({1}), bplistAsciiString("x")}) << false
                                         << "no dictionary";
        QTest::newRow("libplist list that is no archive")
            << plistBytes(QVariantMap{{"Size", 3}}, true) << false << "$objects";
    }
    void refusesBrokenArchives()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, loads);
        QFETCH(QString, errorHas);
        KeyedArchive a;
        QCOMPARE(a.load(bytes), loads);
        if (loads) {
            // Whatever a member leads to, it is answered without a crash;
            // a broken reference shows as no value with an error.
            const qint64 target = a.member(a.root(), QLatin1String("Target"));
            if (!errorHas.isEmpty())
                QCOMPARE(target, -1);
            QCOMPARE(a.toString(a.member(a.root(), QLatin1String("Name"))), QString::fromUtf8("Zo\u00eb"));
        }
        QVERIFY2(a.error().contains(errorHas), qPrintable(a.error()));
        if (!loads || !errorHas.isEmpty())
            QVERIFY(!a.error().isEmpty());
    }

    // Every cut of a real archive is refused or read, never read past its end
    // (the sanitizers watch).
    void everyCutIsSafe()
    {
        MbFileFields f;
        f.relativePath = "Library/SMS/sms.db";
        f.encryptionKey = QByteArray(44, '\x01');
        const QByteArray whole = mbFileArchive(f);
        for (qsizetype n = 0; n < whole.size(); ++n) {
            KeyedArchive a;
            if (a.load(whole.left(n)))
                a.toString(a.member(a.root(), QLatin1String("RelativePath")));
        }
    }
};

QP_TEST_MAIN(TestKeyedArchive)

} // namespace tst_keyedarchive

#include "tst_keyedarchive.moc"
