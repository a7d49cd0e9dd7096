#include "tests/support/rawdbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include "recovery/carvelayouts.h"
#include "recovery/sqlite3file.h"
#include "recovery/sqlitebytes.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tst_sqlite3file {

using namespace testsupport;

namespace {

const uchar *bytesOf(const QByteArray &b)
{
    return reinterpret_cast<const uchar *>(b.constData());
}

QString errorOf(Sqlite3File &file)
{
    try {
        file.open();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// A page as dbstat names its kind.
QString kindOf(const _SqlitePage &page)
{
    if (!page.isBtreePage())
        return "other";
    return page.isLeafPage() ? "leaf" : "internal";
}

// The oracle's table: every serial type the phone's tables use, texts with
// emoji, empty texts and blobs beside NULLs, nanosecond dates, and every
// seventh text long enough to overflow (the index on it overflows too).
void writeOracleDb(const QString &path, int pageSize, int rows, int longText)
{
    auto db = createRawDb(path, pageSize);
    db->exec("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b BLOB, c INTEGER, d REAL, e TEXT);"
             "CREATE INDEX t_a ON t(a);"
             "CREATE TABLE scratch (x BLOB);");
    db->exec("BEGIN");
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80 ");
    for (int i = 1; i <= rows; ++i) {
        QVariant a;
        if (i % 7 == 0)
            a = QString("long %1 ").arg(i) + QString(emoji + "x").repeated(longText / 6).left(longText);
        else if (i % 13 == 0)
            a = QString("");
        else if (i % 11 != 0)
            a = QString("row %1 ").arg(i) + emoji + QString::fromUtf8("\xC3\xA4\xE6\xBC\xA2");
        QVariant b;
        if (i % 5 == 0)
            b = QByteArray("");
        else if (i % 3 != 0)
            b = QByteArray(i % 50 + 1, char(i));
        static const qint64 ints[] = {0, 1, 127, -128, 1000003, -8388608, 600000000123456789LL, -(1LL << 40), 65536};
        const qint64 c = ints[i % 9] + (i % 9 > 1 ? i : 0);
        const QVariant d = i % 4 == 0 ? QVariant() : QVariant(i * 0.5 - 3.25);
        db->run("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)", {i, a, b, c, d, QString("e%1").arg(i)});
    }
    for (int i = 0; i < 40; ++i)
        db->run("INSERT INTO scratch VALUES (?)", {QByteArray(pageSize / 2, 's')});
    db->exec("COMMIT");
    // A freelist of trunk and leaves, and freeblocks on table pages.
    db->exec("DROP TABLE scratch; DELETE FROM t WHERE id % 17 IN (0, 8);");
}

int rootOf(const QString &path, const QString &name)
{
    return queryValue(path, QString("SELECT rootpage FROM sqlite_master WHERE name = '%1'").arg(name)).toInt();
}

// Everything a reader of a damaged file can be asked for; the sanitizers
// watch every read, and the counts show that each walk ended and stayed
// within what the file can hold.
struct Walk
{
    int pages = 0;
    int cells = 0;
    qint64 payloadBytes = 0;
    int maxWalk = 0; // the longest allPages or leafPages answer
    int trunks = 0;
    int carved = 0;
    bool duplicates = false;
};

Walk walkEverything(const Sqlite3File &file)
{
    Walk w;
    const QList<_SqliteCol> handle = carveHandleLayout();
    const QList<_SqliteCol> message = carveMessageLayout(38);
    for (int n = 0; n <= file.pageCount() + 1; ++n) {
        const _SqlitePage page = file.page(n);
        if (page.number == 0)
            continue;
        ++w.pages;
        for (const uchar *cell : page.cells) {
            const _SqliteCell c = _SqliteCell::parse(file, page, cell);
            ++w.cells;
            w.payloadBytes += file.payload(c).size();
            file.rowData(c);
        }
        for (const QList<_SqlitePage> &walk : {file.allPages(page), file.leafPages(page)}) {
            w.maxWalk = qMax(w.maxWalk, int(walk.size()));
            QSet<quint32> numbers;
            for (const _SqlitePage &p : walk)
                numbers.insert(p.number);
            w.duplicates = w.duplicates || numbers.size() != walk.size();
        }
        w.carved += int(file.carveFreeSpace(handle, 0, page, nullptr).size());
        w.carved += int(file.carveFreeSpace(message, 0, page, nullptr).size());
        w.carved += int(file.carvePage(message, 0, n, 0, nullptr).size());
    }
    const QList<_SqliteFreelistTrunk> trunks = file.freelistTrunks();
    w.trunks = int(trunks.size());
    for (const _SqliteFreelistTrunk &t : trunks)
        for (quint32 leaf : t.leaves)
            file.page(int(leaf));
    return w;
}

} // namespace

class TestSqlite3File : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // The bounded readers.
    void varint_data();
    void varint();
    void varintLength_data();
    void varintLength();
    void boundedReads();
    void values_data();
    void values();

    // Opening.
    void pageSize_data();
    void pageSize();
    void openFailures_data();
    void openFailures();
    void tooLargeIsRefusedBeforeReading();

    // Against SQLite itself.
    void oracle_data();
    void oracle();
    void pageOneHeaderAfterFileHeader();
    void emptyRecords();
    void localPayload_data();
    void localPayload();
    void shortOverflowChain_data();
    void shortOverflowChain();
    void recordHeaders();

    // Damaged files.
    void damaged_data();
    void damaged();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TestSqlite3File::init()
{
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath("sms.db");
    QFile::remove(m_path);
}

void TestSqlite3File::varint_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("used");
    QTest::addColumn<qint64>("value");
    QTest::newRow("one byte") << QByteArray("\x7F", 1) << 1 << qint64(127);
    QTest::newRow("0x81 0x00 is 128") << QByteArray("\x81\x00", 2) << 2 << qint64(128);
    QTest::newRow("stops at the clear top bit") << QByteArray("\x81\x01\xFF", 3) << 2 << qint64(129);
    QTest::newRow("ninth byte gives all 8 bits") << QByteArray("\x80\x80\x80\x80\x80\x80\x80\x80\xFF", 9) << 9
                                                 << qint64(255);
    QTest::newRow("nine bytes of 0xFF is -1") << QByteArray(9, '\xFF') << 9 << qint64(-1);
    QTest::newRow("2^56") << QByteArray("\x80\xC0\x80\x80\x80\x80\x80\x80\x00", 9) << 9 << (qint64(1) << 56);
    QTest::newRow("cut after one byte") << QByteArray("\x81", 1) << 0 << qint64(4242);
    QTest::newRow("cut before the ninth byte") << QByteArray(8, '\x80') << 0 << qint64(4242);
    QTest::newRow("nothing") << QByteArray() << 0 << qint64(4242);
}

void TestSqlite3File::varint()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, used);
    QFETCH(qint64, value);
    qint64 out = 4242; // left alone on failure
    const uchar *p = bytes.isEmpty() ? bytesOf(QByteArray("x")) : bytesOf(bytes);
    QCOMPARE(sqlite_varint_get(&out, p, p + bytes.size()), used);
    QCOMPARE(out, value);
    QCOMPARE(sqlite_varint_get(&out, p, nullptr), 0);
    if (used > 0 && sqlite_varint_len(value) == used)
        QCOMPARE(sqliteVarint(value), bytes.left(used)); // the fixture encoder agrees
}

void TestSqlite3File::varintLength_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<int>("length");
    for (int bytes = 1; bytes <= 8; ++bytes) {
        const qint64 limit = qint64(1) << (7 * bytes);
        QTest::addRow("below 2^%d", 7 * bytes) << limit - 1 << bytes;
        QTest::addRow("2^%d", 7 * bytes) << limit << bytes + 1;
    }
    QTest::newRow("zero") << qint64(0) << 1;
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << 9;
    QTest::newRow("negative") << qint64(-1) << 9;
}

void TestSqlite3File::varintLength()
{
    QFETCH(qint64, value);
    QFETCH(int, length);
    QCOMPARE(sqlite_varint_len(value), length);
    QCOMPARE(int(sqliteVarint(value).size()), length);
}

void TestSqlite3File::boundedReads()
{
    const QByteArray buffer("\x01\x02\x03\x04\x05\x06\x07\x08\x09", 9);
    const uchar *p = bytesOf(buffer);
    const uchar *end = p + buffer.size();
    QCOMPARE(sqlite_get_u8(end - 1, end), quint8(9));
    QCOMPARE(sqlite_get_u8(end, end), quint8(0));
    QCOMPARE(sqlite_get_be16(end - 2, end), quint16(0x0809));
    QCOMPARE(sqlite_get_be16(end - 1, end), quint16(0));
    QCOMPARE(sqlite_get_be32(end - 4, end), quint32(0x06070809));
    QCOMPARE(sqlite_get_be32(end - 3, end), quint32(0));
    QCOMPARE(sqlite_get_be64(p + 1, end), quint64(0x0203040506070809ULL));
    QCOMPARE(sqlite_get_be64(p + 2, end), quint64(0));
    QCOMPARE(sqlite_get_be32(p, nullptr), quint32(0));
    QCOMPARE(sqlite_get_be16(nullptr, end), quint16(0));

    uchar out[16] = {};
    QCOMPARE(sqlite_copy_bytes(out, 16, p + 6, end), qint64(3));
    QCOMPARE(int(out[2]), 9);
    QCOMPARE(sqlite_copy_bytes(out, 16, end, end), qint64(0));
    QCOMPARE(sqlite_copy_bytes(out, -1, p, end), qint64(0));
    QCOMPARE(sqlite_copy_bytes(out, 4, p, nullptr), qint64(0));

    QCOMPARE(sqlite_get_bytes(100, p + 7, end), QByteArray("\x08\x09", 2));
    QVERIFY(sqlite_get_bytes(4, end, end).isNull());
    QVERIFY(sqlite_get_bytes(std::numeric_limits<qint64>::max(), p, nullptr).isNull());
    QCOMPARE(sqlite_get_bytes(std::numeric_limits<qint64>::max(), p, end), buffer);
}

void TestSqlite3File::values_data()
{
    QTest::addColumn<qint64>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<qint64>("advance");
    QTest::newRow("NULL") << qint64(0) << QByteArray("\x01") << QVariant() << qint64(0);
    QTest::newRow("8-bit -1") << qint64(1) << QByteArray("\xFF") << QVariant(-1) << qint64(1);
    QTest::newRow("16-bit") << qint64(2) << QByteArray("\x80\x00", 2) << QVariant(-32768) << qint64(2);
    QTest::newRow("24-bit FF FF FE is -2") << qint64(3) << QByteArray("\xFF\xFF\xFE") << QVariant(-2) << qint64(3);
    QTest::newRow("32-bit ending at the payload end") << qint64(4) << QByteArray("\x7F\xFF\xFF\xFF")
                                                      << QVariant(2147483647) << qint64(4);
    QTest::newRow("48-bit 00 00 00 01 00 00 is 65536") << qint64(5) << QByteArray("\x00\x00\x00\x01\x00\x00", 6)
                                                       << QVariant(qlonglong(65536)) << qint64(6);
    QTest::newRow("48-bit negative") << qint64(5) << QByteArray("\xFF\xFF\xFF\xFF\xFF\xFE", 6)
                                     << QVariant(qlonglong(-2)) << qint64(6);
    QTest::newRow("64-bit nanosecond date") << qint64(6) << QByteArray("\x08\x53\xA0\xD2\x38\x97\xCD\x15", 8)
                                            << QVariant(qlonglong(600000000123456789LL)) << qint64(8);
    QTest::newRow("float 1.0") << qint64(7) << QByteArray("\x3F\xF0\x00\x00\x00\x00\x00\x00", 8) << QVariant(1.0)
                               << qint64(8);
    QTest::newRow("constant 0") << qint64(8) << QByteArray() << QVariant(0) << qint64(0);
    QTest::newRow("constant 1") << qint64(9) << QByteArray() << QVariant(1) << qint64(0);
    QTest::newRow("reserved 10") << qint64(10) << QByteArray("\x01") << QVariant() << qint64(0);
    QTest::newRow("reserved 11") << qint64(11) << QByteArray("\x01") << QVariant() << qint64(0);
    QTest::newRow("32-bit cut: 0, full width") << qint64(4) << QByteArray("\x01\x02\x03") << QVariant(0)
                                               << qint64(4);
    QTest::newRow("64-bit cut") << qint64(6) << QByteArray("\x01") << QVariant(qlonglong(0)) << qint64(8);
    QTest::newRow("text ending at the payload end") << qint64(13 + 2 * 5) << QByteArray("hello")
                                                    << QVariant(QString("hello")) << qint64(5);
    QTest::newRow("text cut") << qint64(13 + 2 * 8) << QByteArray("hel") << QVariant(QString("hel")) << qint64(3);
    QTest::newRow("text up to a NUL") << qint64(13 + 2 * 5) << QByteArray("ab\0cd", 5) << QVariant(QString("ab"))
                                      << qint64(5);
    QTest::newRow("emoji text") << qint64(13 + 2 * 4) << QByteArray("\xF0\x9F\x98\x80")
                                << QVariant(QString::fromUtf8("\xF0\x9F\x98\x80")) << qint64(4);
    QTest::newRow("empty text is not NULL") << qint64(13) << QByteArray("x") << QVariant(QString("")) << qint64(0);
    QTest::newRow("blob") << qint64(12 + 2 * 3) << QByteArray("\x00\x01\x02", 3) << QVariant(QByteArray("\x00\x01\x02", 3))
                          << qint64(3);
    QTest::newRow("empty blob is not NULL") << qint64(12) << QByteArray("x") << QVariant(QByteArray("")) << qint64(0);
    QTest::newRow("blob cut to nothing") << qint64(12 + 2 * 9) << QByteArray() << QVariant(QByteArray(""))
                                         << qint64(0);
    QTest::newRow("text of 2^62 bytes, cut") << (qint64(1) << 62) + 13 << QByteArray("abc")
                                             << QVariant(QString("abc")) << qint64(3);
    QTest::newRow("negative type") << qint64(-5) << QByteArray("abc") << QVariant() << qint64(0);
}

void TestSqlite3File::values()
{
    QFETCH(qint64, type);
    QFETCH(QByteArray, body);
    QFETCH(QVariant, value);
    QFETCH(qint64, advance);
    // The value sits after two bytes of something else, and the buffer ends
    // where the body does.
    const QByteArray buffer = QByteArray("\xAA\xBB", 2) + body;
    const uchar *begin = bytesOf(buffer);
    qint64 offset = 2;
    const QVariant got = sqlite_get_value(type, begin, begin + buffer.size(), &offset);
    QCOMPARE(got.typeId(), value.typeId());
    QCOMPARE(got, value);
    QCOMPARE(got.isNull(), value.isNull());
    QCOMPARE(offset, 2 + advance);
    QCOMPARE(sqlite_serial_body_size(type), type >= 0 && type <= 11
                                                ? QList<qint64>({0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0}).at(type)
                                                : (type < 0 ? 0 : (type - 12) / 2));
}

void TestSqlite3File::pageSize_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("pageSize"); // 0: refused
    QTest::newRow("1 is 65536") << 1 << 65536;
    QTest::newRow("512") << 512 << 512;
    QTest::newRow("1024") << 1024 << 1024;
    QTest::newRow("4096") << 4096 << 4096;
    QTest::newRow("32768") << 32768 << 32768;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("2") << 2 << 0;
    QTest::newRow("4 (would divide by zero)") << 4 << 0;
    QTest::newRow("100") << 100 << 0;
    QTest::newRow("256") << 256 << 0;
    QTest::newRow("513") << 513 << 0;
    QTest::newRow("65535") << 65535 << 0;
}

void TestSqlite3File::pageSize()
{
    QFETCH(int, stored);
    QFETCH(int, pageSize);
    QByteArray header = QByteArray("SQLite format 3\0", 16) + bigEndian16(quint16(stored));
    header += QByteArray(1100 - header.size(), '\0');
    QFile f(m_path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(header);
    f.close();

    Sqlite3File file(m_path);
    QCOMPARE(file.pageCount(), 0);
    const QString error = errorOf(file);
    if (pageSize == 0) {
        QCOMPARE(error, QString("invalid page size."));
        QCOMPARE(file.pageCount(), 0);
        QVERIFY(file.mapBegin() == nullptr);
        return;
    }
    QCOMPARE(error, QString());
    QCOMPARE(file.pageSize(), pageSize);
    QCOMPARE(file.pageCount(), 1100 / pageSize);
    QCOMPARE(file.mapEnd() - file.mapBegin(), 1100);
}

void TestSqlite3File::openFailures_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("kind"); // file, missing, folder
    QTest::addColumn<QString>("error"); // a prefix
    QTest::newRow("missing file") << QByteArray() << "missing" << "open %1 failed. ";
    QTest::newRow("folder") << QByteArray() << "folder" << "";
    QTest::newRow("empty file") << QByteArray() << "file" << "invalid page size.";
    QTest::newRow("17 bytes") << QByteArray("SQLite format 3\0\x10", 17) << "file" << "invalid page size.";
    QTest::newRow("18 bytes, size 4096") << QByteArray("SQLite format 3\0\x10\x00", 18) << "file" << "";
}

void TestSqlite3File::openFailures()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, kind);
    QFETCH(QString, error);
    if (kind == "folder") {
        QVERIFY(QDir().mkpath(m_path));
    } else if (kind == "file") {
        QFile f(m_path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    Sqlite3File file(m_path);
    const QString got = errorOf(file);
    if (kind == "folder") {
        QVERIFY2(!got.isEmpty(), "a folder opened as a database");
        QDir(m_path).removeRecursively();
        return;
    }
    if (!error.isEmpty()) {
        QVERIFY2(got.startsWith(QString(error).replace("%1", m_path)), qPrintable(got));
    } else {
        QCOMPARE(got, QString());
        QCOMPARE(file.pageCount(), 0); // no whole page
        QCOMPARE(file.firstFreelistTrunk(), quint32(0));
        QCOMPARE(file.page(1).number, quint32(0));
    }
}

void TestSqlite3File::tooLargeIsRefusedBeforeReading()
{
    // A sparse file: it costs no disk, and the reader must refuse it from its
    // size alone instead of reserving that much memory.
    QFile f(m_path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("SQLite format 3\0\x10\x00", 18));
    if (!f.resize(Sqlite3File::kMaxFileBytes + 1))
        QSKIP("no sparse files here");
    f.close();
    Sqlite3File file(m_path);
    const QString error = errorOf(file);
    QVERIFY2(error.startsWith(QString("map %1 failed. ").arg(m_path)), qPrintable(error));
    QCOMPARE(file.pageCount(), 0);
    QFile::remove(m_path);
}

void TestSqlite3File::oracle_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("longText");
    QTest::addColumn<int>("levels");
    QTest::newRow("512, three levels") << 512 << 600 << 1500 << 3;
    QTest::newRow("1024, two levels") << 1024 << 300 << 3000 << 2;
    QTest::newRow("4096, two levels") << 4096 << 500 << 6000 << 2;
    QTest::newRow("65536, two levels") << 65536 << 200 << 70000 << 2;
}

void TestSqlite3File::oracle()
{
    QFETCH(int, pageSize);
    QFETCH(int, rows);
    QFETCH(int, longText);
    QFETCH(int, levels);
    writeOracleDb(m_path, pageSize, rows, longText);
    Sqlite3File file(m_path);
    file.open();
    QCOMPARE(file.pageSize(), pageSize);
    QCOMPARE(file.pageCount(), queryValue(m_path, "PRAGMA page_count").toInt());
    QCOMPARE(int(file.freelistPageCount()), queryValue(m_path, "PRAGMA freelist_count").toInt());

    // The freelist: every trunk and every leaf it lists, no page twice, none
    // in use by a b-tree.
    const QList<QVariantList> stat = queryRows(m_path, "SELECT name, pageno, pagetype, ncell, payload, path FROM dbstat");
    QSet<quint32> used;
    for (const QVariantList &r : stat)
        used.insert(quint32(r.at(1).toLongLong()));
    QSet<quint32> free;
    int freeCount = 0;
    for (const _SqliteFreelistTrunk &t : file.freelistTrunks()) {
        free.insert(t.number);
        ++freeCount;
        for (quint32 leaf : t.leaves) {
            free.insert(leaf);
            ++freeCount;
        }
    }
    QVERIFY(freeCount > 0);
    QCOMPARE(freeCount, int(file.freelistPageCount()));
    QCOMPARE(int(free.size()), freeCount);
    QVERIFY(!free.intersects(used));

    // Every b-tree page: kind, cells and local payload bytes as dbstat counts
    // them; the pages of each tree in dbstat's order (each page before its
    // children); overflow pages exactly those the cells' chains reach.
    for (const QString name : {"sqlite_schema", "t", "t_a"}) {
        const int root = name == "sqlite_schema" ? 1 : rootOf(m_path, name);
        QList<quint32> expectedPages;
        QSet<quint32> expectedOverflow;
        int depth = 0;
        for (const QVariantList &r : stat) {
            if (r.at(0).toString() != name)
                continue;
            const quint32 pageno = quint32(r.at(1).toLongLong());
            if (r.at(2).toString() == "overflow") {
                expectedOverflow.insert(pageno);
                continue;
            }
            expectedPages << pageno;
            depth = qMax(depth, int(r.at(5).toString().count('/')));
            const _SqlitePage page = file.page(int(pageno));
            QCOMPARE(kindOf(page), r.at(2).toString());
            QCOMPARE(int(page.cells.size()), r.at(3).toInt());
            qint64 local = 0;
            for (const uchar *cell : page.cells)
                local += _SqliteCell::parse(file, page, cell).localSize;
            QCOMPARE(local, r.at(4).toLongLong());
        }
        if (name == "t")
            QCOMPARE(depth, levels);

        const QList<_SqlitePage> all = file.allPages(file.page(root));
        QList<quint32> numbers;
        QSet<quint32> overflow;
        for (const _SqlitePage &page : all) {
            numbers << page.number;
            for (const uchar *cell : page.cells) {
                const _SqliteCell c = _SqliteCell::parse(file, page, cell);
                QCOMPARE(qint64(file.payload(c).size()), c.payloadSize); // whole, chain included
                for (quint32 p = c.firstOverflowPage; p != 0 && !overflow.contains(p);
                     p = sqlite_get_be32(file.mapBegin() + qint64(p - 1) * pageSize, file.mapEnd()))
                    overflow.insert(p);
            }
        }
        QCOMPARE(numbers, expectedPages);
        QCOMPARE(overflow, expectedOverflow);

        QList<quint32> leaves;
        for (const _SqlitePage &page : file.leafPages(file.page(root)))
            leaves << page.number;
        QList<quint32> expectedLeaves;
        for (const _SqlitePage &page : all)
            if (page.isLeafPage())
                expectedLeaves << page.number;
        QCOMPARE(leaves, expectedLeaves);
    }

    // Every row of the table, decoded from its cell, against SELECT.
    const QList<QVariantList> selected = queryRows(m_path, "SELECT id, a, b, c, d, e FROM t ORDER BY id");
    QList<_SqliteCarvedRow> decoded;
    for (const _SqlitePage &leaf : file.leafPages(file.page(rootOf(m_path, "t"))))
        for (const uchar *cell : leaf.cells)
            decoded << file.rowData(_SqliteCell::parse(file, leaf, cell));
    QCOMPARE(decoded.size(), selected.size());
    for (int i = 0; i < decoded.size(); ++i) {
        const _SqliteCarvedRow &row = decoded.at(i);
        const QVariantList &want = selected.at(i);
        QCOMPARE(row.rowid, want.at(0).toLongLong());
        QCOMPARE(row.values.size(), 6);
        QVERIFY(!row.values.at(0).isValid()); // the INTEGER PRIMARY KEY is stored as NULL
        for (int k = 1; k < 6; ++k) {
            QVERIFY2(row.values.at(k) == want.at(k) && row.values.at(k).isValid() == want.at(k).isValid(),
                     qPrintable(QString("row %1 column %2").arg(row.rowid).arg(k)));
        }
    }

    // The index: interior cells hold entries too; every entry is (a, rowid).
    QList<QPair<qint64, QVariant>> entries;
    for (const _SqlitePage &page : file.allPages(file.page(rootOf(m_path, "t_a")))) {
        QVERIFY(page.isIndexPage());
        for (const uchar *cell : page.cells) {
            const _SqliteCarvedRow row = file.rowData(_SqliteCell::parse(file, page, cell));
            QCOMPARE(row.rowid, qint64(0));
            QCOMPARE(row.values.size(), 2);
            entries.append({row.values.at(1).toLongLong(), row.values.at(0)});
        }
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const QPair<qint64, QVariant> &x, const QPair<qint64, QVariant> &y) { return x.first < y.first; });
    QCOMPARE(entries.size(), selected.size());
    for (int i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries.at(i).first, selected.at(i).at(0).toLongLong());
        QCOMPARE(entries.at(i).second, selected.at(i).at(1));
    }
}

void TestSqlite3File::pageOneHeaderAfterFileHeader()
{
    writeOracleDb(m_path, 1024, 20, 100);
    Sqlite3File file(m_path);
    file.open();
    const _SqlitePage page = file.page(1);
    QCOMPARE(page.header - page.base, 100);
    QCOMPARE(int(page.type), 13);
    // Cell pointers count from the page start, not from the b-tree header.
    const QByteArray bytes = fileBytes(m_path);
    QVERIFY(!page.cells.isEmpty());
    for (int i = 0; i < page.cells.size(); ++i)
        QCOMPARE(int(page.cells.at(i) - page.base), int(sqlite_get_be16(bytesOf(bytes) + 108 + 2 * i, bytesOf(bytes) + 1024)));

    const QList<QVariantList> schema = queryRows(m_path, "SELECT type, name, tbl_name, rootpage, sql FROM sqlite_master ORDER BY rowid");
    QCOMPARE(page.cells.size(), schema.size());
    for (int i = 0; i < schema.size(); ++i)
        QCOMPARE(file.rowData(_SqliteCell::parse(file, page, page.cells.at(i))).values, QList<QVariant>(schema.at(i)));
}

void TestSqlite3File::emptyRecords()
{
    writeOracleDb(m_path, 1024, 20, 100);
    // A page whose type byte is 0 is no b-tree page, whatever else it holds.
    const int root = rootOf(m_path, "t");
    patchFile(m_path, qint64(root - 1) * 1024, QByteArray(1, '\0'));
    Sqlite3File file(m_path);
    file.open();

    for (int n : {0, -1, file.pageCount() + 1}) {
        const _SqlitePage page = file.page(n);
        QCOMPARE(page.number, quint32(0));
        QVERIFY(page.base == nullptr && page.header == nullptr);
        QVERIFY(page.cells.isEmpty() && page.freeblocks.isEmpty());
        QCOMPARE(int(page.type), 0);
        const _SqliteFreelistTrunk trunk = file.freelistTrunk(n);
        QCOMPARE(trunk.number, quint32(0));
        QVERIFY(trunk.leaves.isEmpty());
        QVERIFY(file.carvePage(carveHandleLayout(), 0, n, 0, nullptr).isEmpty());
        QVERIFY(file.carveFreeSpace(carveHandleLayout(), 0, page, nullptr).isEmpty());
    }
    const _SqlitePage zeroed = file.page(root);
    QCOMPARE(zeroed.number, quint32(root));
    QVERIFY(zeroed.base != nullptr);
    QVERIFY(!zeroed.isBtreePage());
    QVERIFY(zeroed.cells.isEmpty() && zeroed.freeblocks.isEmpty());
    QVERIFY(file.leafPages(zeroed).isEmpty());
    QCOMPARE(file.allPages(zeroed).size(), 1);
}

void TestSqlite3File::localPayload_data()
{
    QTest::addColumn<int>("blobSize");
    QTest::addColumn<int>("localSize");
    // U = 1024: X = U - 35 = 989, M = 1012 * 32 / 255 - 23 = 103. The record
    // is a 4-byte header (size, NULL, a two-byte blob type) and the blob.
    QTest::newRow("U - 35: wholly local") << 985 << 989;
    QTest::newRow("U - 34: K above X, so M") << 986 << 103;
    QTest::newRow("K not above X: K") << 1129 << 113;
    QTest::newRow("two overflow pages") << 2500 << 103 + (2504 - 103) % 1020;
}

void TestSqlite3File::localPayload()
{
    QFETCH(int, blobSize);
    QFETCH(int, localSize);
    QByteArray blob(blobSize, '\0');
    for (int i = 0; i < blobSize; ++i)
        blob[i] = char(i * 7);
    {
        auto db = createRawDb(m_path, 1024);
        db->exec("CREATE TABLE t (id INTEGER PRIMARY KEY, b BLOB)");
        db->run("INSERT INTO t VALUES (5, ?)", {blob});
    }
    Sqlite3File file(m_path);
    file.open();
    const _SqlitePage page = file.page(rootOf(m_path, "t"));
    QCOMPARE(page.cells.size(), 1);
    const _SqliteCell cell = _SqliteCell::parse(file, page, page.cells.at(0));
    QCOMPARE(cell.rowid, qint64(5));
    QCOMPARE(cell.payloadSize, qint64(4 + blobSize));
    QCOMPARE(cell.localSize, localSize);
    QCOMPARE(cell.firstOverflowPage != 0, localSize < 4 + blobSize);
    const _SqliteCarvedRow row = file.rowData(cell);
    QCOMPARE(row.values.size(), 2);
    QCOMPARE(row.values.at(1).toByteArray(), blob);
}

void TestSqlite3File::shortOverflowChain_data()
{
    QTest::addColumn<quint32>("next"); // written over the first overflow page's link; 0: the page count + 1
    QTest::newRow("0") << quint32(0);
    QTest::newRow("1") << quint32(1);
    QTest::newRow("past the end") << quint32(0xFFFFFFFF);
    QTest::newRow("itself") << quint32(0xFFFFFFFE);
}

void TestSqlite3File::shortOverflowChain()
{
    QFETCH(quint32, next);
    {
        auto db = createRawDb(m_path, 1024);
        db->exec("CREATE TABLE t (id INTEGER PRIMARY KEY, b BLOB)");
        db->run("INSERT INTO t VALUES (1, ?)", {QByteArray(3000, 'z')});
    }
    quint32 first;
    {
        Sqlite3File file(m_path);
        file.open();
        const _SqlitePage page = file.page(rootOf(m_path, "t"));
        first = _SqliteCell::parse(file, page, page.cells.at(0)).firstOverflowPage;
        if (next == 0xFFFFFFFF)
            next = quint32(file.pageCount() + 1);
        else if (next == 0xFFFFFFFE)
            next = first;
    }
    patchFile(m_path, qint64(first - 1) * 1024, bigEndian32(next));
    Sqlite3File file(m_path);
    file.open();
    const _SqlitePage page = file.page(rootOf(m_path, "t"));
    const _SqliteCell cell = _SqliteCell::parse(file, page, page.cells.at(0));
    const QByteArray payload = file.payload(cell);
    QCOMPARE(payload.size(), cell.localSize + 1020); // the first overflow page only
    QVERIFY(payload.endsWith(QByteArray(1020, 'z')));
    const _SqliteCarvedRow row = file.rowData(cell);
    QCOMPARE(row.values.at(1).toByteArray(), QByteArray(cell.localSize - 4 + 1020, 'z'));
}

void TestSqlite3File::recordHeaders()
{
    // One page of cells with damaged record headers; the file around it is a
    // real database whose table root is replaced.
    writeOracleDb(m_path, 1024, 3, 10);
    const int root = rootOf(m_path, "t");
    const QList<QByteArray> cells = {
        tableLeafCell(1, QByteArray("\x00", 1)),         // header size 0: shorter than its own varint
        tableLeafCell(2, QByteArray("\x81", 1)),         // header size cut off
        tableLeafCell(3, QByteArray("\x05\x01\x01", 3)), // types run past the payload
        tableLeafCell(4, sqliteRecord({QVariant(), QString("fine"), qlonglong(-7)})),
    };
    patchFile(m_path, qint64(root - 1) * 1024, tableLeafPage(1024, cells));
    Sqlite3File file(m_path);
    file.open();
    const _SqlitePage page = file.page(root);
    QCOMPARE(page.cells.size(), 4);

    QTest::failOnWarning(QRegularExpression(".*"));
    QVERIFY(file.rowData(_SqliteCell::parse(file, page, page.cells.at(0))).values.isEmpty());
    QTest::ignoreMessage(QtWarningMsg, "Sqlite3File::rowData, read header length failed.");
    QVERIFY(file.rowData(_SqliteCell::parse(file, page, page.cells.at(1))).values.isEmpty());
    QTest::ignoreMessage(QtWarningMsg, "Sqlite3File::rowData, read column type failed.");
    const _SqliteCarvedRow broken = file.rowData(_SqliteCell::parse(file, page, page.cells.at(2)));
    QCOMPARE(broken.rowid, qint64(3));
    QVERIFY(broken.values.isEmpty());
    const _SqliteCarvedRow fine = file.rowData(_SqliteCell::parse(file, page, page.cells.at(3)));
    QCOMPARE(fine.values, QList<QVariant>({QVariant(), QString("fine"), -7}));
}

void TestSqlite3File::damaged_data()
{
    QTest::addColumn<QString>("damage");
    for (const char *d : {"freeblock cycle", "freeblock to itself", "trunk cycle", "trunk to itself",
                          "leaf count 0xFFFFFFFF", "child cycle", "child is its own root", "right-most 0xFFFFFFFF",
                          "cell count 0xFFFF", "cell offsets past the page", "P 2^62 on a self-pointing page",
                          "cut last page", "page size 4"})
        QTest::newRow(d) << QString(d);
}

void TestSqlite3File::damaged()
{
    QFETCH(QString, damage);
    const int u = 1024;
    writeOracleDb(m_path, u, 300, 3000);
    const int root = rootOf(m_path, "t");
    QByteArray bytes = fileBytes(m_path);
    auto at = [&](int page, int offset) { return qint64(page - 1) * u + offset; };
    auto patch = [&](qint64 offset, const QByteArray &b) { bytes.replace(offset, b.size(), b); };
    int trunk = 0;
    {
        Sqlite3File file(m_path);
        file.open();
        trunk = int(file.firstFreelistTrunk());
        QVERIFY(trunk > 0);
    }
    // A table leaf with at least two freeblocks (every 17th row was deleted).
    int leafWithFreeblocks = 0;
    int treePages = 0;
    {
        Sqlite3File file(m_path);
        file.open();
        treePages = int(file.allPages(file.page(root)).size());
        for (const _SqlitePage &leaf : file.leafPages(file.page(root)))
            if (leaf.freeblocks.size() >= 2 && !leafWithFreeblocks)
                leafWithFreeblocks = int(leaf.number);
    }

    int expectedPages = int(bytes.size() / u);
    if (damage == "freeblock cycle" || damage == "freeblock to itself") {
        QVERIFY(leafWithFreeblocks);
        const quint16 first = sqlite_be16(bytesOf(bytes) + at(leafWithFreeblocks, 1));
        if (damage == "freeblock to itself") {
            patch(at(leafWithFreeblocks, first), bigEndian16(first));
        } else {
            const quint16 second = sqlite_be16(bytesOf(bytes) + at(leafWithFreeblocks, first));
            patch(at(leafWithFreeblocks, second), bigEndian16(first));
        }
    } else if (damage == "trunk cycle" || damage == "trunk to itself") {
        // A second trunk made of a leaf page of the first, pointing back.
        const quint32 leaf = sqlite_be32(bytesOf(bytes) + at(trunk, 8));
        if (damage == "trunk to itself") {
            patch(at(trunk, 0), bigEndian32(quint32(trunk)));
        } else {
            patch(at(trunk, 0), bigEndian32(leaf));
            patch(at(int(leaf), 0), bigEndian32(quint32(trunk)) + bigEndian32(0));
        }
    } else if (damage == "leaf count 0xFFFFFFFF") {
        patch(at(trunk, 4), bigEndian32(0xFFFFFFFF));
    } else if (damage == "child cycle" || damage == "child is its own root") {
        // The first child of the root points at the root, or at a page above it.
        const quint16 cell = sqlite_be16(bytesOf(bytes) + at(root, 12));
        patch(at(root, cell), bigEndian32(quint32(root)));
        if (damage == "child cycle") {
            const quint32 child = sqlite_be32(bytesOf(bytes) + at(root, 8));
            patch(at(root, cell), bigEndian32(child));
            // A leaf turned interior whose right-most child is the root.
            patch(at(int(child), 0), QByteArray(1, char(5)));
            patch(at(int(child), 8), bigEndian32(quint32(root)));
        }
    } else if (damage == "right-most 0xFFFFFFFF") {
        patch(at(root, 8), bigEndian32(0xFFFFFFFF));
    } else if (damage == "cell count 0xFFFF") {
        patch(at(root, 3), bigEndian16(0xFFFF));
    } else if (damage == "cell offsets past the page") {
        const quint16 count = sqlite_be16(bytesOf(bytes) + at(root, 3));
        for (int i = 0; i < count; ++i)
            patch(at(root, 12 + 2 * i), bigEndian16(quint16(i % 2 ? 0xFFFF : u)));
    } else if (damage == "P 2^62 on a self-pointing page") {
        // A leaf page whose one cell claims 2^62 payload bytes; the overflow
        // page it names points to itself.
        const qint64 p = qint64(1) << 62;
        const qint64 m = (u - 12) * 32 / 255 - 23;
        const qint64 k = m + (p - m) % (u - 4);
        const qint64 local = k <= u - 35 ? k : m;
        const int overflowPage = expectedPages; // the last page, whatever it held
        QByteArray cell = sqliteVarint(p) + sqliteVarint(1);
        cell += QByteArray(int(local), '\x11') + bigEndian32(quint32(overflowPage));
        QByteArray page = tableLeafPage(u, {cell});
        QVERIFY(leafWithFreeblocks);
        patch(at(leafWithFreeblocks, 0), page);
        patch(at(overflowPage, 0), bigEndian32(quint32(overflowPage)));
    } else if (damage == "cut last page") {
        bytes.chop(u / 2);
        expectedPages -= 1;
    } else if (damage == "page size 4") {
        patch(16, bigEndian16(4));
    }

    Sqlite3File file(m_path);
    if (damage == "page size 4") {
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, file.openData(bytes));
        QCOMPARE(file.pageCount(), 0);
        QCOMPARE(walkEverything(file).pages, 0);
        return;
    }
    file.openData(bytes);
    QCOMPARE(file.pageCount(), expectedPages);
    const Walk w = walkEverything(file);
    QCOMPARE(w.pages, expectedPages);
    QVERIFY(!w.duplicates);
    QVERIFY(w.maxWalk <= expectedPages);
    QVERIFY(w.payloadBytes <= qint64(w.cells) * bytes.size());
    QVERIFY(w.trunks <= expectedPages);

    if (damage.startsWith("freeblock")) {
        QCOMPARE(int(file.page(leafWithFreeblocks).freeblocks.size()), damage == "freeblock cycle" ? 2 : 1);
    } else if (damage.startsWith("trunk")) {
        QCOMPARE(w.trunks, damage == "trunk cycle" ? 2 : 1);
    } else if (damage == "leaf count 0xFFFFFFFF") {
        QCOMPARE(int(file.freelistTrunk(trunk).leaves.size()), u / 4 - 2);
    } else if (damage == "cell count 0xFFFF") {
        // No more than the array can hold; whatever lies past the real array
        // is taken only where it reads as an offset inside the page.
        QVERIFY(file.page(root).cells.size() <= (u - 12) / 2);
        QVERIFY(file.page(root).cells.size() > 2);
    } else if (damage == "cell offsets past the page") {
        QVERIFY(file.page(root).cells.isEmpty());
    } else if (damage.startsWith("P 2^62")) {
        const _SqlitePage page = file.page(leafWithFreeblocks);
        const _SqliteCell cell = _SqliteCell::parse(file, page, page.cells.at(0));
        QCOMPARE(cell.payloadSize, qint64(1) << 62);
        QCOMPARE(file.payload(cell).size(), cell.localSize + u - 4);
    } else if (damage == "child is its own root") {
        // The root is taken once; the subtree its first cell named is lost.
        const QList<_SqlitePage> all = file.allPages(file.page(root));
        QCOMPARE(all.first().number, quint32(root));
        QCOMPARE(int(all.size()), treePages - 1);
    }
}

QP_TEST_MAIN(TestSqlite3File)

} // namespace tst_sqlite3file

#include "tst_sqlite3file.moc"
