#include "tests/support/filesizelimit.h"
#include "tests/support/mbdbfixture.h"
#include "tests/support/testmain.h"

#include "ios/mbdb.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <sys/stat.h>
#include <stdexcept>

namespace tst_mbdb {

using namespace testsupport;

namespace {

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

// Two records in domain/path order, laid out by hand from the format.
QByteArray goldenManifest()
{
    return hex("6d626462 0500") // "mbdb", version 5.0
           // The folder HomeDomain/Library.
           + hex("000a") + "HomeDomain"
           + hex("0007") + "Library"
           + hex("ffff")              // link target absent
           + hex("0000")              // data hash empty
           + hex("ffff")              // encryption key absent
           + hex("41ed")              // mode 040755
           + hex("00000001 00000010") // inode 0x1_00000010
           + hex("000001f5 000001f6") // uid 501, gid 502
           + hex("50e1a180 50e1a181 50e1a182") // mtime, atime, ctime
           + hex("00000000 00000000") // length 0
           + hex("00")                // protection class 0
           + hex("00")                // no properties
           // The file HomeDomain/Library/SMS/sms.db.
           + hex("000a") + "HomeDomain"
           + hex("0012") + "Library/SMS/sms.db"
           + hex("0000")              // link target empty
           + hex("0014 0102030405060708090a0b0c0d0e0f1011121314")
           + hex("0008 03000000") + "ABCD" // class 3, then the wrapped key
           + hex("81a4")              // mode 0100644
           + hex("00000000 fffffffe")
           + hex("00000000 ffffffff")
           + hex("ffffffff 00000000 7fffffff")
           + hex("00000001 00000002") // length 4294967298: the high half first
           + hex("03")
           + hex("02")                // two properties
           + hex("0001") + "a" + hex("ffff")
           + hex("0000") + hex("0002 c3a9");
}

_MbdbString text(const QByteArray &bytes)
{
    _MbdbString s;
    s.setBytes(bytes);
    return s;
}

void expectThrow(const std::function<void()> &call, const QString &inMessage)
{
    try {
        call();
    } catch (const std::runtime_error &e) {
        const QString message = QString::fromUtf8(e.what());
        QVERIFY2(message.contains(inMessage), qPrintable(message));
        return;
    }
    QFAIL("no exception");
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QList<QPair<MbdbField, MbdbField>> numberedProperties(int count)
{
    QList<QPair<MbdbField, MbdbField>> properties;
    for (int i = 0; i < count; ++i)
        properties.append({QByteArray("name") + QByteArray::number(i), QByteArray(i % 7, char('a' + i % 26))});
    return properties;
}

// The paths of records, in the order a list holds them.
QStringList pathsOf(const QList<_MbdbRecord> &records)
{
    QStringList paths;
    for (const _MbdbRecord &r : records)
        paths << r.domain.toQString() + QLatin1Char(':') + r.path.toQString();
    return paths;
}

QByteArray sha1(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

} // namespace

class TestMbdb : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void readsEveryField();
    void headerlessFileFails_data();
    void headerlessFileFails();
    void onlyARegularFileIsRead_data();
    void onlyARegularFileIsRead();
    void fullDiskLeavesTheOldManifest();
    void sortedManifestRoundTrips_data();
    void sortedManifestRoundTrips();
    void propertiesKeepTheNextRecordAligned();
    void laterRecordOfOneIdWins();
    void damagedManifestFails_data();
    void damagedManifestFails();
    void everyCutInsideARecordFails();
    void unreadableFileFails();

    void writerSortsByDomainThenPath();
    void recordOrder_data();
    void recordOrder();
    void refusedRecordLeavesTheOldManifest_data();
    void refusedRecordLeavesTheOldManifest();
    void writeIntoMissingFolderFails();

    void fileIds_data();
    void fileIds();
    void toQString_data();
    void toQString();
    void isDirectory_data();
    void isDirectory();

    void addFileListsMissingFoldersDeepestFirst_data();
    void addFileListsMissingFoldersDeepestFirst();
    void addFileRenewsOnlyDigestAndTimes();
    void addUnreadableFileGetsEmptyDigest();
};

void TestMbdb::readsEveryField()
{
    const QHash<QString, _MbdbRecord> records = mbdb_read_data(goldenManifest());
    QCOMPARE(records.size(), 2);

    const _MbdbRecord folder = records.value(mbdb_file_id("HomeDomain", "Library"));
    QCOMPARE(folder.domain.toQString(), QStringLiteral("HomeDomain"));
    QCOMPARE(folder.path.bytes, QByteArray("Library"));
    QCOMPARE(folder.path.length, quint16(7));
    QVERIFY(folder.linkTarget.isAbsent());
    QCOMPARE(folder.dataHash.length, quint16(0));
    QVERIFY(folder.dataHash.bytes.isEmpty());
    QVERIFY(folder.encryptionKey.isAbsent());
    QCOMPARE(folder.mode, quint16(040755));
    QCOMPARE(folder.inodeHigh, quint32(1));
    QCOMPARE(folder.inodeLow, quint32(0x10));
    QCOMPARE(folder.uid, quint32(501));
    QCOMPARE(folder.gid, quint32(502));
    QCOMPARE(folder.mtime, quint32(0x50e1a180));
    QCOMPARE(folder.atime, quint32(0x50e1a181));
    QCOMPARE(folder.ctime, quint32(0x50e1a182));
    QCOMPARE(folder.fileLength, qint64(0));
    QCOMPARE(folder.protectionClass, quint8(0));
    QVERIFY(folder.properties.isEmpty());
    QVERIFY(folder.isDirectory());

    const _MbdbRecord file = records.value("3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    QCOMPARE(file.path.toQString(), QStringLiteral("Library/SMS/sms.db"));
    QCOMPARE(file.linkTarget.length, quint16(0));
    QCOMPARE(file.dataHash.bytes, hex("0102030405060708090a0b0c0d0e0f1011121314"));
    QCOMPARE(file.encryptionKey.bytes, hex("03000000") + "ABCD");
    QCOMPARE(file.mode, quint16(0100644));
    QCOMPARE(file.inodeHigh, quint32(0));
    QCOMPARE(file.inodeLow, quint32(0xfffffffe));
    QCOMPARE(file.uid, quint32(0));
    QCOMPARE(file.gid, quint32(0xffffffff));
    QCOMPARE(file.mtime, quint32(0xffffffff));
    QCOMPARE(file.atime, quint32(0));
    QCOMPARE(file.ctime, quint32(0x7fffffff));
    QCOMPARE(file.fileLength, qint64(4294967298LL));
    QCOMPARE(file.protectionClass, quint8(3));
    QCOMPARE(file.properties.size(), 2);
    QCOMPARE(file.properties[0].name.bytes, QByteArray("a"));
    QVERIFY(file.properties[0].value.isAbsent());
    QCOMPARE(file.properties[1].name.length, quint16(0));
    QCOMPARE(file.properties[1].value.toQString(), QString(QChar(0xe9)));
    QVERIFY(!file.isDirectory());
}

void TestMbdb::headerlessFileFails_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("manifest");
    QTest::newRow("header alone: no records") << hex("6d626462 0500") << true;
    // What a full disk leaves behind must not read as a backup of nothing.
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("one byte") << QByteArray("m") << false;
    QTest::newRow("five header bytes") << hex("6d626462 05") << false;
    QTest::newRow("six other bytes") << hex("ffffffffffff") << false;
    QTest::newRow("another version") << hex("6d626462 0400") + goldenManifest().mid(6) << false;
    QTest::newRow("records without header") << goldenManifest().mid(6) << false;
}

void TestMbdb::headerlessFileFails()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, manifest);
    const QString path = m_dir.filePath("short.mbdb");
    writeFile(path, data);
    if (manifest) {
        QVERIFY(mbdb_read_data(data).isEmpty());
        QVERIFY(mbdb_read(path).isEmpty());
        return;
    }
    expectThrow([&] { mbdb_read_data(data); }, "does not start as a manifest does");
    expectThrow([&] { mbdb_read(path); }, "does not start as a manifest does");
}

void TestMbdb::onlyARegularFileIsRead_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to /dev/zero") << "zero";
    QTest::newRow("link to a good manifest") << "link";
}

void TestMbdb::onlyARegularFileIsRead()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString path = dir.filePath("Manifest.mbdb");
    if (kind == "fifo") {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "zero") {
        QVERIFY(QFile::link("/dev/zero", path));
    } else {
        writeFile(dir.filePath("real.mbdb"), goldenManifest());
        QVERIFY(QFile::link(dir.filePath("real.mbdb"), path));
    }
    // Neither waits for a writer nor reads for ever: the call returns.
    expectThrow([&] { mbdb_read(path); }, "is not a regular file");
}

void TestMbdb::fullDiskLeavesTheOldManifest()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Manifest.mbdb");
    const QByteArray old = goldenManifest();
    writeFile(path, old);
    QList<_MbdbRecord> records = mbdb_read_data(old).values();
    records.append(records.first());
    records.last().path = text("Library/another");
    {
        // Room for part of the new manifest only.
        const FileSizeLimit limit(rlim_t(old.size()));
        expectThrow([&] { mbdb_write(records, path); }, "File too large");
    }
    QCOMPARE(readFile(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"Manifest.mbdb"});
}

void TestMbdb::sortedManifestRoundTrips_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("hand-written") << goldenManifest();

    // Every string field absent in one record and empty in the next.
    MbdbFixtureRecord absent;
    absent.mode = 0;
    MbdbFixtureRecord empty = absent;
    empty.domain = empty.path = empty.linkTarget = empty.dataHash = empty.encryptionKey = QByteArray("");
    empty.properties = {{QByteArray(""), std::nullopt}, {std::nullopt, QByteArray("")}};
    // Their file ids are equal; another domain keeps both.
    empty.domain = QByteArray("A");
    QTest::newRow("absent and empty strings") << mbdbBytes({absent, empty});

    MbdbFixtureRecord crowded = mbdbFile("HomeDomain", "Library/Preferences/a.plist", "x");
    crowded.properties = numberedProperties(200);
    QTest::newRow("200 properties")
        << mbdbBytes({crowded, mbdbFile("HomeDomain", "Library/Preferences/b.plist", "y")});

    // As a phone lists them: many attachments, names in several scripts.
    QList<MbdbFixtureRecord> phone = {mbdbFolder("HomeDomain", ""), mbdbFolder("HomeDomain", "Library"),
                                      mbdbFolder("HomeDomain", "Library/SMS"),
                                      mbdbFile("HomeDomain", "Library/SMS/sms.db", QByteArray(4096, 's'))};
    for (int i = 0; i < 300; ++i) {
        MbdbFixtureRecord r = mbdbFile(
            "MediaDomain", QString("Library/SMS/Attachments/%1/%2/IMG_%3 \u00e9\U0001F600.jpg")
                               .arg(i / 100, 2, 10, QChar('0'))
                               .arg(i % 100, 2, 10, QChar('0'))
                               .arg(i, 4, 10, QChar('0')),
            QByteArray(i, char(i)), quint64(1000 + i));
        r.encryptionKey = hex("03000000") + QByteArray(40, char(i));
        r.protectionClass = 3;
        phone << r;
    }
    QTest::newRow("a phone's manifest") << mbdbBytes(phone);
}

void TestMbdb::sortedManifestRoundTrips()
{
    QFETCH(QByteArray, data);
    QList<_MbdbRecord> records = mbdb_read_data(data).values();
    QCOMPARE(mbdb_write_data(records), data);

    const QString path = m_dir.filePath("roundtrip.mbdb");
    writeFile(path, data);
    records = mbdb_read(path).values();
    mbdb_write(records, path);
    QCOMPARE(readFile(path), data);
}

void TestMbdb::propertiesKeepTheNextRecordAligned()
{
    MbdbFixtureRecord crowded = mbdbFile("HomeDomain", "a", "x", 7);
    crowded.properties = numberedProperties(200);
    MbdbFixtureRecord next = mbdbFile("HomeDomain", "b", "yy", 8);
    next.properties = {{QByteArray("last"), QByteArray("one")}};

    const QHash<QString, _MbdbRecord> records = mbdb_read_data(mbdbBytes({crowded, next}));
    QCOMPARE(records.size(), 2);
    const _MbdbRecord first = records.value(mbdb_file_id("HomeDomain", "a"));
    QCOMPARE(first.properties.size(), 200);
    for (int i = 0; i < 200; ++i) {
        QCOMPARE(first.properties[i].name.bytes, *crowded.properties[i].first);
        QCOMPARE(first.properties[i].value.bytes, *crowded.properties[i].second);
    }
    const _MbdbRecord second = records.value(mbdb_file_id("HomeDomain", "b"));
    QCOMPARE(second.path.toQString(), QStringLiteral("b"));
    QCOMPARE(second.inodeLow, quint32(8));
    QCOMPARE(second.fileLength, qint64(2));
    QCOMPARE(second.properties.size(), 1);
    QCOMPARE(second.properties[0].value.toQString(), QStringLiteral("one"));
}

void TestMbdb::laterRecordOfOneIdWins()
{
    const QByteArray data = mbdbBytes({mbdbFile("HomeDomain", "Library/SMS/sms.db", "old", 1),
                                       mbdbFile("MediaDomain", "x", "other", 2),
                                       mbdbFile("HomeDomain", "Library/SMS/sms.db", "newer", 3)});
    const QHash<QString, _MbdbRecord> records = mbdb_read_data(data);
    QCOMPARE(records.size(), 2);
    const _MbdbRecord kept = records.value("3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    QCOMPARE(kept.inodeLow, quint32(3));
    QCOMPARE(kept.dataHash.bytes, sha1("newer"));
}

void TestMbdb::damagedManifestFails_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("field");

    const QByteArray header = hex("6d626462 0500");
    const QByteArray whole = mbdbRecordBytes(mbdbFile("HomeDomain", "Library/SMS/sms.db", "abc"));
    const QByteArray ok = header + whole;
    // Domain and path, 2 + 10 + 2 + 18 bytes; the link target's length follows.
    const int afterPath = 6 + 32;
    // After the strings come 40 bytes: mode 2, inode 8, five times 4 (owner,
    // group, times), length 8, class 1, property count 1.

    QTest::newRow("string cut short by the end")
        << header + hex("000a") + "Home" << QStringLiteral("domain");
    QTest::newRow("string without a byte left") << header + hex("000a") << QStringLiteral("domain");
    QTest::newRow("string length cut in half") << header + hex("00") << QStringLiteral("domain");
    QTest::newRow("path longer than what is left")
        << header + hex("000a") + "HomeDomain" + hex("fffe") + QByteArray(300, 'p')
        << QStringLiteral("path");
    QTest::newRow("data hash cut short")
        << ok.left(afterPath + 2 + 2 + 10) << QStringLiteral("data hash");
    QTest::newRow("no mode") << ok.left(ok.size() - 40) << QStringLiteral("mode");
    QTest::newRow("inside the mode") << ok.left(ok.size() - 39) << QStringLiteral("mode");
    QTest::newRow("inside the file length") << ok.left(ok.size() - 4) << QStringLiteral("file length");
    QTest::newRow("no property count") << ok.left(ok.size() - 1) << QStringLiteral("property count");
    QTest::newRow("fewer properties than counted")
        << ok.left(ok.size() - 1) + hex("02 0001") + "n" + hex("0001") + "v"
        << QStringLiteral("property name");
    QTest::newRow("property value cut short")
        << ok.left(ok.size() - 1) + hex("01 0001") + "n" + hex("0005") + "v"
        << QStringLiteral("property value");
    QTest::newRow("one stray byte after a record") << ok + hex("00") << QStringLiteral("domain");
}

void TestMbdb::damagedManifestFails()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, field);
    expectThrow([&] { mbdb_read_data(data); }, "ends inside its " + field);

    const QString path = m_dir.filePath("damaged.mbdb");
    writeFile(path, data);
    expectThrow([&] { mbdb_read(path); }, path + " is damaged");
}

// A manifest cut anywhere but between two records fails as a whole: no
// record comes back with fewer bytes than its lengths say.
void TestMbdb::everyCutInsideARecordFails()
{
    MbdbFixtureRecord first = mbdbFile("HomeDomain", "Library/SMS/sms.db", "abc", 5);
    first.encryptionKey = hex("03000000") + QByteArray(40, 'k');
    first.properties = {{QByteArray("n"), QByteArray("value")}};
    const MbdbFixtureRecord second = mbdbFolder("MediaDomain", "Library/SMS/Attachments");
    const QByteArray data = mbdbBytes({first, second});
    const int boundary = 6 + mbdbRecordBytes(first).size();

    for (int n = 7; n < data.size(); ++n) {
        const QByteArray cut = data.left(n);
        if (n == boundary) {
            QCOMPARE(mbdb_read_data(cut).size(), 1);
            continue;
        }
        bool threw = false;
        try {
            mbdb_read_data(cut);
        } catch (const std::runtime_error &) {
            threw = true;
        }
        QVERIFY2(threw, qPrintable(QString("cut after %1 bytes").arg(n)));
    }
}

void TestMbdb::unreadableFileFails()
{
    const QString missing = m_dir.filePath("nowhere/Manifest.mbdb");
    QFile probe(missing);
    QVERIFY(!probe.open(QIODevice::ReadOnly));
    expectThrow([&] { mbdb_read(missing); }, probe.errorString());
    expectThrow([&] { mbdb_read(m_dir.path()); }, QString());
}

void TestMbdb::writerSortsByDomainThenPath()
{
    QList<_MbdbRecord> records;
    for (const auto &[domain, path] : QList<QPair<QString, QString>>{{"MediaDomain", "Library"},
                                                                     {"HomeDomain", "Library/SMS"},
                                                                     {"HomeDomain", "Library"},
                                                                     {"AppDomain-b", ""},
                                                                     {"HomeDomain", ""}}) {
        _MbdbRecord r;
        r.domain = text(domain.toUtf8());
        r.path = text(path.toUtf8());
        records << r;
    }
    const QByteArray data = mbdb_write_data(records);
    const QStringList sorted = {"AppDomain-b:", "HomeDomain:", "HomeDomain:Library", "HomeDomain:Library/SMS",
                                "MediaDomain:Library"};
    QCOMPARE(pathsOf(records), sorted);
    QList<MbdbFixtureRecord> expected;
    for (const QString &name : sorted) {
        MbdbFixtureRecord r;
        r.domain = name.section(':', 0, 0).toUtf8();
        r.path = name.section(':', 1).toUtf8();
        r.mode = 0;
        r.uid = r.gid = 0;
        r.protectionClass = 0;
        expected << r;
    }
    QCOMPARE(data, mbdbBytes(expected));
}

void TestMbdb::recordOrder_data()
{
    QTest::addColumn<QStringList>("a");
    QTest::addColumn<QStringList>("b");
    QTest::addColumn<bool>("less");
    QTest::addColumn<bool>("greater");
    QTest::newRow("domain first") << QStringList{"A", "z"} << QStringList{"B", "a"} << true << false;
    QTest::newRow("upper case before lower") << QStringList{"Z", ""} << QStringList{"a", ""} << true << false;
    QTest::newRow("then the path") << QStringList{"D", "Library"} << QStringList{"D", "Library/SMS"} << true
                                   << false;
    QTest::newRow("'/' before letters") << QStringList{"D", "a/b"} << QStringList{"D", "aa"} << true << false;
    QTest::newRow("by UTF-16 units")
        << QStringList{"D", QString(QChar(0xFFFD))} << QStringList{"D", QString::fromUcs4(U"\U0001F600")}
        << false << true;
    QTest::newRow("equal records") << QStringList{"D", "p"} << QStringList{"D", "p"} << false << false;
}

void TestMbdb::recordOrder()
{
    QFETCH(QStringList, a);
    QFETCH(QStringList, b);
    QFETCH(bool, less);
    QFETCH(bool, greater);
    _MbdbRecord ra, rb;
    ra.domain = text(a[0].toUtf8());
    ra.path = text(a[1].toUtf8());
    rb.domain = text(b[0].toUtf8());
    rb.path = text(b[1].toUtf8());
    QCOMPARE(mbdb_record_less(ra, rb), less);
    QCOMPARE(mbdb_record_less(rb, ra), greater);
}

void TestMbdb::refusedRecordLeavesTheOldManifest_data()
{
    QTest::addColumn<int>("properties");
    QTest::addColumn<int>("pathBytes");
    QTest::addColumn<int>("storedLength");
    QTest::addColumn<QString>("why");
    QTest::newRow("255 properties fit") << 255 << 4 << -1 << QString();
    QTest::newRow("256 properties") << 256 << 4 << -1 << QStringLiteral("256 properties");
    QTest::newRow("65534 bytes fit") << 0 << 65534 << -1 << QString();
    QTest::newRow("65535 bytes") << 0 << 65535 << -1 << QStringLiteral("holds 65535 bytes");
    QTest::newRow("length beyond the bytes") << 0 << 4 << 9 << QStringLiteral("its path holds 4 bytes");
}

void TestMbdb::refusedRecordLeavesTheOldManifest()
{
    QFETCH(int, properties);
    QFETCH(int, pathBytes);
    QFETCH(int, storedLength);
    QFETCH(QString, why);

    QTemporaryDir dir;
    const QString path = dir.filePath("refused.mbdb");
    const QByteArray old = goldenManifest();
    writeFile(path, old);

    QList<_MbdbRecord> records = mbdb_read_data(old).values();
    _MbdbRecord r;
    r.domain = text("HomeDomain");
    r.path = text(QByteArray(pathBytes, 'p'));
    if (storedLength >= 0)
        r.path.length = quint16(storedLength);
    for (int i = 0; i < properties; ++i)
        r.properties.append({text("n"), text(QByteArray::number(i))});
    records.append(r);

    if (why.isEmpty()) {
        mbdb_write(records, path);
        QCOMPARE(mbdb_read(path).value(mbdb_record_file_id(r)).properties.size(), properties);
        return;
    }
    expectThrow([&] { mbdb_write(records, path); }, why);
    QCOMPARE(readFile(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"refused.mbdb"});
}

void TestMbdb::writeIntoMissingFolderFails()
{
    QList<_MbdbRecord> records;
    expectThrow([&] { mbdb_write(records, m_dir.filePath("nowhere/Manifest.mbdb")); }, QString());
}

void TestMbdb::fileIds_data()
{
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("id");
    QTest::newRow("messages") << "HomeDomain" << "Library/SMS/sms.db" << "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
    QTest::newRow("address book") << "HomeDomain" << "Library/AddressBook/AddressBook.sqlitedb"
                                  << "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
    QTest::newRow("UTF-8 of the name")
        << "MediaDomain" << QString::fromUtf8("Library/SMS/Attachments/ab/12/Caf\u00e9 \U0001F600.jpg")
        << "a6bcdee72fe3597562ab9c908ca94ac1568bab7e";
    QTest::newRow("a domain's own record") << "AppDomain-com.example.app" << ""
                                           << "67e75d794d584e8e39294ff6365fd02ea3d9097c";
}

void TestMbdb::fileIds()
{
    QFETCH(QString, domain);
    QFETCH(QString, path);
    QFETCH(QString, id);
    QCOMPARE(mbdb_file_id(domain, path), id);
    QCOMPARE(backupFileId(domain, path), id);
    _MbdbRecord r;
    r.domain = text(domain.toUtf8());
    r.path = text(path.toUtf8());
    QCOMPARE(mbdb_record_file_id(r), id);
}

void TestMbdb::toQString_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("absent") << 0xFFFF << QByteArray() << QString();
    QTest::newRow("empty") << 0 << QByteArray() << QString();
    QTest::newRow("plain") << 3 << QByteArray("abc") << "abc";
    QTest::newRow("up to a zero byte") << 5 << QByteArray("ab\0cd", 5) << "ab";
    QTest::newRow("UTF-8") << 6 << QByteArray("\xc3\xa9\xf0\x9f\x98\x80") << QString::fromUcs4(U"\u00e9\U0001F600");
}

void TestMbdb::toQString()
{
    QFETCH(int, length);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    _MbdbString s;
    s.length = quint16(length);
    s.bytes = bytes;
    QCOMPARE(s.toQString(), text);
}

void TestMbdb::isDirectory_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("linkLength");
    QTest::addColumn<bool>("folder");
    QTest::newRow("no length, no link") << qint64(0) << 0xFFFF << true;
    QTest::newRow("no length, empty link") << qint64(0) << 0 << true;
    QTest::newRow("no length, a link") << qint64(0) << 4 << false;
    QTest::newRow("a length") << qint64(1) << 0xFFFF << false;
    QTest::newRow("only the high half") << qint64(1) << 0 << false;
}

void TestMbdb::isDirectory()
{
    QFETCH(qint64, length);
    QFETCH(int, linkLength);
    QFETCH(bool, folder);
    _MbdbRecord r;
    r.fileLength = length;
    if (linkLength != 0xFFFF)
        r.linkTarget = text(QByteArray(linkLength, 'l'));
    QCOMPARE(r.isDirectory(), folder);
}

void TestMbdb::addFileListsMissingFoldersDeepestFirst_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("added");
    QTest::newRow("four folders deep, none listed")
        << "a/b/c/d/file.txt" << QStringList() << QStringList{"a/b/c/d", "a/b/c", "a/b", "a"};
    QTest::newRow("below a listed folder")
        << "Library/SMS/Attachments/ab/12/IMG_0001.JPG" << QStringList{"Library/SMS"}
        << QStringList{"Library/SMS/Attachments/ab/12", "Library/SMS/Attachments/ab", "Library/SMS/Attachments"};
    // The walk stops at the first folder listed, whatever lies above it.
    QTest::newRow("stops at the parent")
        << "Library/SMS/sms.db" << QStringList{"Library/SMS"} << QStringList();
    QTest::newRow("no folder") << "sms.db" << QStringList() << QStringList();
    QTest::newRow("only a leading slash") << "/sms.db" << QStringList() << QStringList();
}

void TestMbdb::addFileListsMissingFoldersDeepestFirst()
{
    QFETCH(QString, path);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, added);

    const QString local = m_dir.filePath("content.bin");
    const QByteArray content("attachment \xff\x00 bytes", 19);
    writeFile(local, content);
    const QDateTime modified = QDateTime::fromSecsSinceEpoch(1500000000, Qt::UTC);
    {
        QFile f(local);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    QHash<QString, _MbdbRecord> records;
    for (const QString &folder : listed) {
        _MbdbRecord r;
        r.domain = text("MediaDomain");
        r.path = text(folder.toUtf8());
        r.inodeLow = 41;
        records.insert(mbdb_record_file_id(r), r);
    }
    // Inode numbers count as signed: this one is below zero.
    _MbdbRecord other;
    other.domain = text("HomeDomain");
    other.inodeLow = 0x80000005;
    records.insert(mbdb_record_file_id(other), other);
    const quint32 m = listed.isEmpty() ? 0 : 41;
    const int before = records.size();

    mbdb_add_file(records, local, "MediaDomain", path);

    QCOMPARE(records.size(), before + added.size() + 1);
    for (int i = 0; i < added.size(); ++i) {
        const QString id = mbdb_file_id("MediaDomain", added[i]);
        QVERIFY2(records.contains(id), qPrintable(added[i]));
        const _MbdbRecord r = records.value(id);
        QCOMPARE(r.domain.toQString(), QStringLiteral("MediaDomain"));
        QCOMPARE(r.path.toQString(), added[i]);
        QVERIFY(r.linkTarget.isAbsent());
        QVERIFY(r.dataHash.isAbsent());
        QVERIFY(r.encryptionKey.isAbsent());
        QCOMPARE(r.mode, quint16(040700));
        QCOMPARE(r.inodeHigh, quint32(0));
        QCOMPARE(r.inodeLow, m + 1 + i);
        QCOMPARE(r.uid, quint32(501));
        QCOMPARE(r.gid, quint32(501));
        QCOMPARE(r.mtime, quint32(1500000000));
        QCOMPARE(r.atime, quint32(1500000000));
        QCOMPARE(r.fileLength, qint64(0));
        QCOMPARE(r.protectionClass, quint8(4));
        QVERIFY(r.properties.isEmpty());
        QVERIFY(r.isDirectory());
    }

    const _MbdbRecord file = records.value(mbdb_file_id("MediaDomain", path));
    QCOMPARE(file.path.toQString(), path);
    QCOMPARE(file.mode, quint16(0100644));
    QCOMPARE(file.inodeLow, m + 1 + quint32(added.size()));
    QCOMPARE(file.uid, quint32(501));
    QCOMPARE(file.gid, quint32(501));
    QCOMPARE(file.fileLength, qint64(content.size()));
    QCOMPARE(file.protectionClass, quint8(4));
    QCOMPARE(file.dataHash.bytes, sha1(content));
    QCOMPARE(file.dataHash.length, quint16(20));
    QVERIFY(file.linkTarget.isAbsent());
    QVERIFY(file.encryptionKey.isAbsent());
    QCOMPARE(file.mtime, quint32(1500000000));
    QCOMPARE(file.atime, quint32(1500000000));
    // Created just now (where no birth time is kept, changed just now).
    QVERIFY2(qAbs(qint64(file.ctime) - now) <= 5, qPrintable(QString::number(file.ctime)));
    QVERIFY(!file.isDirectory());

    // Everything added can be written and read back.
    QList<_MbdbRecord> all = records.values();
    QCOMPARE(mbdb_read_data(mbdb_write_data(all)).size(), records.size());
}

void TestMbdb::addFileRenewsOnlyDigestAndTimes()
{
    const QString local = m_dir.filePath("renewed.db");
    writeFile(local, "new content, longer than before");
    QFile f(local);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC), QFileDevice::FileModificationTime));
    f.close();

    QHash<QString, _MbdbRecord> before = mbdb_read_data(goldenManifest());
    _MbdbRecord sms;
    sms.domain = text("HomeDomain");
    sms.path = text("Library/SMS");
    before.insert(mbdb_record_file_id(sms), sms);
    QHash<QString, _MbdbRecord> records = before;
    mbdb_add_file(records, local, "HomeDomain", "Library/SMS/sms.db");

    QCOMPARE(records.size(), before.size());
    const QString id = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
    _MbdbRecord expected = before.value(id);
    const _MbdbRecord got = records.value(id);
    QCOMPARE(got.dataHash.bytes, sha1("new content, longer than before"));
    QCOMPARE(got.mtime, quint32(1600000000));
    QCOMPARE(got.atime, quint32(1600000000));
    QVERIFY(got.ctime != expected.ctime);
    // The rest, field for field, as it was: compared through the writer.
    expected.dataHash = got.dataHash;
    expected.mtime = got.mtime;
    expected.atime = got.atime;
    expected.ctime = got.ctime;
    QList<_MbdbRecord> a{expected}, b{got};
    QCOMPARE(mbdb_write_data(b), mbdb_write_data(a));
    QCOMPARE(got.fileLength, qint64(4294967298LL));
    QCOMPARE(records.value(mbdb_file_id("HomeDomain", "Library")).mtime, quint32(0x50e1a180));
}

void TestMbdb::addUnreadableFileGetsEmptyDigest()
{
    QHash<QString, _MbdbRecord> records;
    mbdb_add_file(records, m_dir.filePath("gone"), "HomeDomain", "Library/x");
    const _MbdbRecord r = records.value(mbdb_file_id("HomeDomain", "Library/x"));
    QCOMPARE(r.dataHash.length, quint16(0));
    QVERIFY(!r.dataHash.isAbsent());
    QCOMPARE(mbdb_file_digest(m_dir.path()), QByteArray());
    QCOMPARE(records.size(), 2);
}

QP_TEST_MAIN(TestMbdb)

} // namespace tst_mbdb

#include "tst_mbdb.moc"
