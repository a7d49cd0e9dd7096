// The one-pass reader of MBFile archives against the general keyed-archive
// reader: on the archives NSKeyedArchiver writes it must answer itself (or
// listing a large backup slows down unnoticed), on every other shape it must
// step aside, and whenever it answers, it gives what the general reader gives.
#include "ios/manifestdbfilelist.h"
#include "ios/mbfilequickreader.h"
#include "tests/support/mbfilearchivefixture.h"
#include "tests/support/plistfixture.h"
#include "tests/support/testmain.h"

#include <cstring>
#include <memory>

namespace tst_mbfilequickreader {

using namespace testsupport;

namespace {

MbFileFields plainFile()
{
    MbFileFields f;
    f.relativePath = QString::fromUtf8("Library/SMS/Attachments/0f/Zo\u00eb \xF0\x9F\x98\x80.heic");
    f.lastModified = 1687990000;
    f.birth = 1687980000;
    f.lastStatusChange = 1687985000;
    f.inode = 0x1'0000'0005ULL; // above 32 bits
    f.size = 4'300'000'000LL;   // above 32 bits
    return f;
}

QByteArray uid(quint64 value)
{
    return QByteArray(1, char(0x80)) + char(value);
}

QByteArray integer(quint64 value)
{
    QByteArray out(1, char(0x13));
    for (int i = 7; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

// A hand-made MBFile archive whose root dictionary holds keys (objects
// 10...) and values (objects 10 + keys.size() ...), for shapes the fixture
// writer never makes.
//   0 top {"$objects": 1, "$top": 2}   3 "$objects" 4 "$top" 5 "root"
//   1 $objects [6 "$null", 7 root, 8 "Zo\u00eb" (UTF-16), 9 "x"]
//   2 $top {"root": UID 1}, the UID being object 10 + 2 * keys.size()
QByteArray crafted(const QList<QByteArray> &keys, const QList<QByteArray> &values, const QByteArray &rootUid = uid(1))
{
    const quint64 first = 10, n = quint64(keys.size());
    QList<quint64> keyRefs, valueRefs;
    for (quint64 i = 0; i < n; ++i) {
        keyRefs << first + i;
        valueRefs << first + n + i;
    }
    QList<QByteArray> objects{bplistDictionary({3, 4}, {1, 2}),
                              bplistArray({6, 7, 8, 9}),
                              bplistDictionary({5}, {first + 2 * n}),
                              bplistAsciiString("$objects"),
                              bplistAsciiString("$top"),
                              bplistAsciiString("root"),
                              bplistAsciiString("$null"),
                              bplistDictionary(keyRefs, valueRefs),
                              bplistUtf16String(QString::fromUtf8("Zo\u00eb")),
                              bplistAsciiString("x")};
    objects << keys << values << rootUid;
    return binaryPlist(objects);
}

QByteArray key(const char *text)
{
    return bplistAsciiString(text);
}

} // namespace

class TestMbFileQuickReader : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithTheGeneralReader_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<bool>("quick"); // whether the one-pass reader answers itself

        QTest::newRow("file") << mbFileArchive(plainFile()) << true;
        MbFileFields folder = plainFile();
        folder.mode = 040755;
        folder.size = 0;
        folder.protectionClass = 0;
        QTest::newRow("folder") << mbFileArchive(folder) << true;
        MbFileFields link = plainFile();
        link.mode = 0120755;
        link.target = "/var/mobile/Library/Preferences/x.plist";
        QTest::newRow("link") << mbFileArchive(link) << true;
        MbFileFields encrypted = plainFile();
        encrypted.encryptionKey = QByteArray::fromHex("03000000") + QByteArray(40, '\x5A');
        QTest::newRow("encrypted file") << mbFileArchive(encrypted) << true;
        MbFileFields many = plainFile();
        many.inode = 7;
        many.size = 300;
        many.userId = many.groupId = 0;
        QTest::newRow("small numbers") << mbFileArchive(many) << true;

        // Shapes left to the general reader, which still reads them.
        MbFileFields latin = link;
        latin.target = QString::fromUtf8("/var/mobile/caf\u00e9");
        QTest::newRow("target beyond ASCII") << mbFileArchive(latin) << false;
        QTest::newRow("key in UTF-16")
            << crafted({bplistUtf16String("Size"), key("Mode")}, {integer(5), integer(0100644)}) << false;
        QTest::newRow("key given twice")
            << crafted({key("Size"), key("Size")}, {integer(5), integer(6)}) << false;
        QTest::newRow("root that is no dictionary")
            << crafted({key("Size")}, {integer(5)}, uid(2)) << false;
        QTest::newRow("target in UTF-16 through a UID")
            << crafted({key("Target")}, {uid(2)}) << false;
        QTest::newRow("16-byte integer")
            << crafted({key("Size")}, {QByteArray(1, char(0x14)) + QByteArray(15, '\0') + char(9)}) << false;
        // Values the general reader takes as none or refuses.
        QTest::newRow("$null target") << crafted({key("Target"), key("Size")}, {uid(0), integer(3)}) << true;
        QTest::newRow("direct ASCII target and unknown keys")
            << crafted({key("Flags"), key("Target"), key("RelativePath")}, {integer(1), key("a/b"), uid(3)}) << true;
        QTest::newRow("number that is a string") << crafted({key("Size")}, {key("big")}) << false;
        QTest::newRow("UID outside $objects") << crafted({key("Size")}, {uid(40)}) << false;
        QTest::newRow("no bplist") << QByteArray("<plist/>") << false;
    }

    void agreesWithTheGeneralReader()
    {
        QFETCH(QByteArray, archive);
        QFETCH(bool, quick);
        MbFileValues fast, general;
        QString error;
        const bool generalRead = ManifestDbFileList::archiveValues(archive, general, error);
        QCOMPARE(MbFileQuickReader::read(archive.constData(), archive.size(), fast), quick);
        if (quick) {
            QVERIFY2(generalRead, qPrintable(error));
            QVERIFY(fast == general);
        }
    }

    void readsTheFixtureValues()
    {
        MbFileFields f = plainFile();
        f.mode = 0120755;
        f.target = "../x";
        f.encryptionKey = QByteArray::fromHex("03000000") + QByteArray(40, '\x5A');
        const QByteArray archive = mbFileArchive(f);
        MbFileValues v;
        QVERIFY(MbFileQuickReader::read(archive.constData(), archive.size(), v));
        QCOMPARE(v.numbers[MbFileValues::Mode], qint64(0120755));
        QCOMPARE(v.numbers[MbFileValues::Size], 4'300'000'000LL);
        QCOMPARE(v.numbers[MbFileValues::InodeNumber], qint64(0x1'0000'0005LL));
        QCOMPARE(v.numbers[MbFileValues::LastModified], qint64(1687990000));
        QCOMPARE(v.numbers[MbFileValues::Birth], qint64(1687980000));
        QCOMPARE(v.numbers[MbFileValues::LastStatusChange], qint64(1687985000));
        QCOMPARE(v.numbers[MbFileValues::UserID], qint64(501));
        QCOMPARE(v.numbers[MbFileValues::ProtectionClass], qint64(3));
        QVERIFY(v.hasTarget);
        QCOMPARE(v.target, QByteArray("../x"));
        QVERIFY(v.hasEncryptionKey);
        QCOMPARE(v.encryptionKey, QByteArray::fromHex("03000000") + QByteArray(40, '\x5A'));
        QVERIFY(!v.hasDigest);
    }

    // Every cut and many single-byte changes of a real archive: the quick
    // reader never reads past the bytes (the sanitizers watch) and never
    // accepts what the general reader refuses or reads differently.
    void damagedArchivesNeverDisagree()
    {
        MbFileFields f = plainFile();
        f.target = "/x";
        f.encryptionKey = QByteArray::fromHex("03000000") + QByteArray(40, '\x5A');
        const QByteArray whole = mbFileArchive(f);
        QList<QByteArray> variants;
        for (qsizetype cut = 0; cut < whole.size(); ++cut)
            variants << whole.left(cut);
        for (qsizetype at = 0; at < whole.size(); ++at) {
            for (char change : {char(0x01), char(0x10), char(0x80), char(0xFF)}) {
                QByteArray changed = whole;
                changed[at] = char(changed[at] ^ change);
                variants << changed;
            }
        }
        int answered = 0;
        for (const QByteArray &v : variants) {
            MbFileValues fast, general;
            QString error;
            // A copy of its own, so that ASan sees any read past its end.
            const std::unique_ptr<char[]> bytes(new char[size_t(qMax<qsizetype>(v.size(), 1))]);
            std::memcpy(bytes.get(), v.constData(), size_t(v.size()));
            if (!MbFileQuickReader::read(bytes.get(), v.size(), fast))
                continue;
            ++answered;
            QVERIFY2(ManifestDbFileList::archiveValues(v, general, error), qPrintable(error));
            QVERIFY(fast == general);
        }
        QVERIFY(answered > 0);
    }
};

QP_TEST_MAIN(TestMbFileQuickReader)

} // namespace tst_mbfilequickreader

#include "tst_mbfilequickreader.moc"
