#include "tests/support/messagedbfixture.h"
#include "tests/support/rawdbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include "recovery/carvelayouts.h"
#include "recovery/sqlite3file.h"
#include "recovery/sqlitebytes.h"

#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <limits>

namespace tst_sqlitecarve {

using namespace testsupport;

namespace {

const uchar *bytesOf(const QByteArray &b)
{
    return reinterpret_cast<const uchar *>(b.constData());
}

bool isService(const QVariant &v)
{
    const QString s = v.toString();
    return s.compare("SMS", Qt::CaseInsensitive) == 0 || s.compare("iMessage", Qt::CaseInsensitive) == 0;
}

// The checks a recovery makes of a carved handle and message.
bool handleFilter(_SqliteCarvedRow *row)
{
    return row->values.size() > 4 && isService(row->values.at(3));
}

bool messageFilter(_SqliteCarvedRow *row)
{
    return row->values.size() > 37 && isService(row->values.at(11));
}

int g_filterCalls = 0;

// Takes rows whose first text names a Greek letter, except "alpha".
bool notAlphaFilter(_SqliteCarvedRow *row)
{
    ++g_filterCalls;
    const QString s = row->values.value(1).toString();
    return s == "bravo" || s == "charlie";
}

bool greekFilter(_SqliteCarvedRow *row)
{
    const QString s = row->values.value(1).toString();
    return s == "alpha" || s == "bravo" || s == "charlie";
}

_SqliteCol col(const char *name, const char *type, const QString &flags = QString())
{
    _SqliteCol c;
    c.name = name;
    c.type = type;
    c.notNull = flags.contains('n');
    c.hasDefault = flags.contains('d');
    c.primaryKey = flags.contains('p');
    return c;
}

// Carving needs no file for ranges that hold no overflowing record.
const Sqlite3File &noFile()
{
    static Sqlite3File file{QString()};
    return file;
}

QList<_SqliteCarvedRow> carve(const QList<_SqliteCol> &layout, const QByteArray &bytes, SqliteRowFilter filter)
{
    return noFile().carveRows(layout, 0, 1024, bytesOf(bytes), bytesOf(bytes) + bytes.size(), filter);
}

// A record's serial types and body, without its header size and column 0's
// type: what a candidate position starts with.
QByteArray typesAndBody(const QVariantList &values)
{
    QVariantList withKey = values;
    withKey.prepend(QVariant());
    const QByteArray record = sqliteRecord(withKey);
    qint64 headerSize = 0;
    const int used = sqlite_varint_get(&headerSize, bytesOf(record), bytesOf(record) + record.size());
    return record.mid(used + 1);
}

// The rows of the uncanonicalized_id "row N" of carved handles, by N.
QHash<qint64, _SqliteCarvedRow> byRowName(const QList<_SqliteCarvedRow> &rows)
{
    QHash<qint64, _SqliteCarvedRow> named;
    for (const _SqliteCarvedRow &r : rows) {
        const QString name = r.values.value(4).toString();
        if (name.startsWith("row "))
            named.insert(name.mid(4).toLongLong(), r);
    }
    return named;
}

} // namespace

class TestSqliteCarve : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void layoutsMatchThePhone();
    void nothingToCarve();
    void serialTypeFits_data();
    void serialTypeFits();
    void rangeEndsInsideSerialTypes();
    void resumeFourPastTheBody_data();
    void resumeFourPastTheBody();
    void rejectedCandidateMovesOneByte();
    void bodyCutAtRangeEnd();
    void hugeSerialTypes_data();
    void hugeSerialTypes();

    void rowidOfDeletedHandles_data();
    void rowidOfDeletedHandles();
    void freeSpaceOrder();
    void freeblockRanges();
    void otherPagesFromByte8();
    void deletedOverflowingText_data();
    void deletedOverflowingText();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TestSqliteCarve::init()
{
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath("sms.db");
}

void TestSqliteCarve::layoutsMatchThePhone()
{
    // The layouts' columns are the phone's own, flags included.
    MsgFixtureContent none;
    const QString path = writeMsgDbFile(m_dir.filePath("later.db"), MsgDbLayout::LaterPhone, none);
    const QList<std::pair<QString, QList<_SqliteCol>>> tables = {
        {"handle", carveHandleLayout()}, {"message", carveMessageLayout(51)}};
    for (const auto &[table, layout] : tables) {
        const QList<QVariantList> info =
            queryRows(path, QString("SELECT name, type, \"notnull\", dflt_value IS NOT NULL, pk FROM pragma_table_info('%1')").arg(table));
        QVERIFY(info.size() >= layout.size());
        for (int i = 0; i < layout.size(); ++i) {
            const _SqliteCol &c = layout.at(i);
            QCOMPARE(c.name, info.at(i).at(0).toString());
            QCOMPARE(c.type, info.at(i).at(1).toString());
            QCOMPARE(c.notNull, info.at(i).at(2).toBool());
            QCOMPARE(c.hasDefault, info.at(i).at(3).toBool());
            QCOMPARE(c.primaryKey, info.at(i).at(4).toBool());
        }
    }
    QCOMPARE(carveMessageLayout(38).size(), 38);
    QCOMPARE(carveMessageLayout(38).last().name, QString("was_deduplicated"));
}

void TestSqliteCarve::nothingToCarve()
{
    const QByteArray bytes = typesAndBody({QString("+4915112345678"), QString("de"), QString("SMS"), QVariant()});
    const uchar *p = bytesOf(bytes);
    const QList<_SqliteCol> handle = carveHandleLayout();
    QVERIFY(noFile().carveRows(handle, 0, 1024, p, p, nullptr).isEmpty());
    QVERIFY(noFile().carveRows(handle, 0, 1024, p + 4, p, nullptr).isEmpty());
    QVERIFY(noFile().carveRows(handle, 0, 1024, nullptr, p + 4, nullptr).isEmpty());
    QCOMPARE(carve(handle, bytes, nullptr).size(), 1);

    QTest::ignoreMessage(QtWarningMsg, "tbCols size < 2.");
    QVERIFY(carve(handle.mid(0, 1), bytes, nullptr).isEmpty());
}

void TestSqliteCarve::serialTypeFits_data()
{
    QTest::addColumn<QString>("declared");
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("fits");
    const QByteArray null("\x00", 1);
    QTest::newRow("NULL, no flags") << "TEXT" << "" << null << true;
    QTest::newRow("NULL, NOT NULL") << "TEXT" << "n" << null << false;
    QTest::newRow("NULL, DEFAULT") << "INTEGER" << "d" << null << false;
    QTest::newRow("NULL, PRIMARY KEY") << "INTEGER" << "p" << null << false;
    QTest::newRow("8-bit in INTEGER") << "INTEGER" << "d" << QByteArray("\x01") << true;
    QTest::newRow("64-bit in INTEGER") << "INTEGER" << "" << QByteArray("\x06") << true;
    QTest::newRow("constant 0 in INTEGER") << "INTEGER" << "d" << QByteArray("\x08") << true;
    QTest::newRow("constant 1 in INTEGER") << "INTEGER" << "d" << QByteArray("\x09") << true;
    QTest::newRow("integer in NUMERIC") << "NUMERIC" << "" << QByteArray("\x03") << true;
    QTest::newRow("integer in TEXT") << "TEXT" << "" << QByteArray("\x04") << false;
    QTest::newRow("float in REAL") << "REAL" << "" << QByteArray("\x07") << true;
    QTest::newRow("float in NUMERIC") << "NUMERIC" << "" << QByteArray("\x07") << true;
    QTest::newRow("float in INTEGER") << "INTEGER" << "" << QByteArray("\x07") << false;
    QTest::newRow("text in INTEGER") << "INTEGER" << "" << QByteArray("\x0F") << false;
    QTest::newRow("text in TEXT") << "TEXT" << "n" << QByteArray("\x0F") << true;
    QTest::newRow("two-byte text type in TEXT") << "TEXT" << "" << QByteArray("\x81\x01") << true;
    QTest::newRow("text in BLOB") << "BLOB" << "" << QByteArray("\x0F") << false;
    QTest::newRow("blob in BLOB") << "BLOB" << "" << QByteArray("\x0E") << true;
    QTest::newRow("blob in TEXT") << "TEXT" << "" << QByteArray("\x0E") << false;
    QTest::newRow("10 in INTEGER PRIMARY KEY") << "INTEGER" << "p" << QByteArray("\x0A") << true;
    QTest::newRow("11 in NOT NULL TEXT") << "TEXT" << "n" << QByteArray("\x0B") << true;
    QTest::newRow("negative in NOT NULL INTEGER") << "INTEGER" << "n" << QByteArray(9, '\xFF') << true;
}

void TestSqliteCarve::serialTypeFits()
{
    QFETCH(QString, declared);
    QFETCH(QString, flags);
    QFETCH(QByteArray, type);
    QFETCH(bool, fits);
    const QList<_SqliteCol> layout = {col("ROWID", "INTEGER", "p"), col("x", declared.toLatin1(), flags)};
    // Only the serial type: every later position is cut short, and a cut
    // type reads as NULL, which none of the refused cases takes.
    const QList<_SqliteCarvedRow> rows = carve(layout, type, nullptr);
    QCOMPARE(rows.size(), fits ? 1 : 0);
    if (fits)
        QCOMPARE(rows.at(0).values.size(), 2);
}

void TestSqliteCarve::rangeEndsInsideSerialTypes()
{
    // The range ends after the first serial type: the rest count as NULL.
    const QByteArray bytes("\x13", 1);
    const QList<_SqliteCol> open = {col("ROWID", "INTEGER", "p"), col("a", "TEXT", "n"), col("b", "TEXT"),
                                    col("c", "INTEGER")};
    const QList<_SqliteCarvedRow> rows = carve(open, bytes, nullptr);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).values, QList<QVariant>({QVariant(), QString(""), QVariant(), QVariant()}));
    QVERIFY(!rows.at(0).values.at(2).isValid());

    const QList<_SqliteCol> strict = {col("ROWID", "INTEGER", "p"), col("a", "TEXT", "n"), col("b", "TEXT", "n")};
    QVERIFY(carve(strict, bytes, nullptr).isEmpty());
}

void TestSqliteCarve::resumeFourPastTheBody_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<QStringList>("found");
    QTest::newRow("next record 4 past the body") << 4 << QStringList({"alpha", "bravo"});
    QTest::newRow("5 past") << 5 << QStringList({"alpha", "bravo"});
    QTest::newRow("3 past: passed over") << 3 << QStringList({"alpha"});
    QTest::newRow("adjacent: passed over") << 0 << QStringList({"alpha"});
}

void TestSqliteCarve::resumeFourPastTheBody()
{
    QFETCH(int, gap);
    QFETCH(QStringList, found);
    const QList<_SqliteCol> layout = {col("ROWID", "INTEGER", "p"), col("a", "TEXT", "n"), col("b", "TEXT")};
    // Gap bytes are 8-bit integer types, which no column here takes.
    const QByteArray bytes = typesAndBody({QString("alpha"), QString("one")}) + QByteArray(gap, '\x01') +
                             typesAndBody({QString("bravo"), QString("two")});
    QStringList got;
    for (const _SqliteCarvedRow &r : carve(layout, bytes, greekFilter))
        got << r.values.at(1).toString();
    QCOMPARE(got, found);
    if (gap >= 4)
        QCOMPARE(carve(layout, bytes, nullptr).size(), 2); // a null filter takes every candidate
}

void TestSqliteCarve::rejectedCandidateMovesOneByte()
{
    // "alpha" is refused: the scan moves on by one byte, not past its body,
    // and finds "bravo" right after it.
    const QList<_SqliteCol> layout = {col("ROWID", "INTEGER", "p"), col("a", "TEXT", "n"), col("b", "TEXT")};
    const QByteArray bytes =
        typesAndBody({QString("alpha"), QString("one")}) + typesAndBody({QString("bravo"), QString("two")});
    g_filterCalls = 0;
    const QList<_SqliteCarvedRow> rows = carve(layout, bytes, notAlphaFilter);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).values.at(1).toString(), QString("bravo"));
    QCOMPARE(rows.at(0).values.at(2).toString(), QString("two"));
    QVERIFY(g_filterCalls >= 2);
}

void TestSqliteCarve::bodyCutAtRangeEnd()
{
    const QList<_SqliteCol> layout = {col("ROWID", "INTEGER", "p"), col("i", "INTEGER"), col("t", "TEXT"),
                                      col("b", "BLOB"), col("j", "INTEGER")};
    // Types: 32-bit, text of 5, blob of 5, 8-bit; the body ends inside the text.
    const QByteArray bytes = QByteArray("\x04\x17\x16\x01", 4) + QByteArray("\x00\x00\x00\x07", 4) + "hel";
    const QList<_SqliteCarvedRow> rows = carve(layout, bytes, nullptr);
    QCOMPARE(rows.size(), 1); // and the scan of the range ends
    QCOMPARE(rows.at(0).values, QList<QVariant>({QVariant(), 7, QString("hel"), QByteArray(""), 0}));
    QVERIFY(rows.at(0).cut);

    // A fixed-width number cut by the end reads as 0.
    const QList<_SqliteCarvedRow> cutInt = carve(layout.mid(0, 2), QByteArray("\x04\x00\x07", 3), nullptr);
    QCOMPARE(cutInt.size(), 1);
    QCOMPARE(cutInt.at(0).values, QList<QVariant>({QVariant(), 0}));
    QVERIFY(cutInt.at(0).cut);

    // A body that ends exactly at the range end is whole.
    const QList<_SqliteCarvedRow> whole = carve(layout.mid(0, 2), QByteArray("\x04\x00\x00\x00\x07", 5), nullptr);
    QCOMPARE(whole.size(), 1);
    QCOMPARE(whole.at(0).values, QList<QVariant>({QVariant(), 7}));
    QVERIFY(!whole.at(0).cut);
}

void TestSqliteCarve::hugeSerialTypes_data()
{
    QTest::addColumn<QList<qint64>>("types");
    const qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("text of 2^62 bytes") << QList<qint64>({max, 0x11, 0x13, 0x0D});
    QTest::newRow("blob type near 2^63 in a text column") << QList<qint64>({max - 1, 0x11, 0x13, 0x0D});
    QTest::newRow("four texts whose sizes overflow their sum")
        << QList<qint64>({max - 2, max - 4, max - 6, max - 8});
    QTest::newRow("negative types") << QList<qint64>({-1, 0x11, std::numeric_limits<qint64>::min(), 0x0D});
}

void TestSqliteCarve::hugeSerialTypes()
{
    QFETCH(QList<qint64>, types);
    QByteArray bytes;
    for (qint64 t : types)
        bytes += sqliteVarint(t);
    bytes += QByteArray(200, 'x');
    const QList<_SqliteCol> handle = carveHandleLayout();

    // With no file and with a real one, whose page numbers the overflow link
    // could name: the sizes saturate, the candidate is refused, the scan ends.
    {
        auto db = createRawDb(m_path, 1024);
        db->exec(ios6PhoneTableSql("handle"));
        for (int i = 1; i <= 40; ++i)
            insertHandle(*db, carveHandleRow(i));
    }
    Sqlite3File file(m_path);
    file.open();
    const Sqlite3File &opened = file;
    for (const Sqlite3File *f : {&noFile(), &opened}) {
        for (int usable : {1024, 0, 4, 65536}) {
            const QList<_SqliteCarvedRow> rows =
                f->carveRows(handle, 0, usable, bytesOf(bytes), bytesOf(bytes) + bytes.size(), nullptr);
            QVERIFY(rows.size() <= bytes.size());
            for (const _SqliteCarvedRow &r : rows) {
                QCOMPARE(r.values.size(), 5);
                for (const QVariant &v : r.values)
                    QVERIFY(v.toByteArray().size() <= bytes.size());
            }
            if (types.first() == -1 && usable >= 1024)
                QVERIFY(!rows.isEmpty() && rows.first().values.at(3).isNull());
        }
    }
}

void TestSqliteCarve::rowidOfDeletedHandles_data()
{
    QTest::addColumn<int>("rowCount");
    QTest::addColumn<QList<qint64>>("deleted");
    QTest::addColumn<QList<qint64>>("expected"); // per deleted row, in order
    // Freeing 8 writes a freeblock header over its size, rowid and header;
    // 7 and 6 merge into that freeblock and keep theirs.
    QTest::newRow("12 rows, 8 7 6 deleted") << 12 << QList<qint64>({8, 7, 6}) << QList<qint64>({0, 7, 6});
    // Here the three lie at the start of the content area: each gets a header.
    QTest::newRow("8 rows, 8 7 6 deleted") << 8 << QList<qint64>({8, 7, 6}) << QList<qint64>({0, 0, 0});
}

void TestSqliteCarve::rowidOfDeletedHandles()
{
    QFETCH(int, rowCount);
    QFETCH(QList<qint64>, deleted);
    QFETCH(QList<qint64>, expected);
    const int root = writeHandlePageDb(m_path, rowCount, deleted);
    Sqlite3File file(m_path);
    file.open();
    const _SqlitePage page = file.page(root);
    QVERIFY(page.isLeafPage());
    QCOMPARE(int(page.cells.size()), rowCount - int(deleted.size()));

    const QHash<qint64, _SqliteCarvedRow> found =
        byRowName(file.carveFreeSpace(carveHandleLayout(), 0, page, handleFilter));
    QCOMPARE(found.size(), deleted.size());
    for (int i = 0; i < deleted.size(); ++i) {
        const qint64 n = deleted.at(i);
        QVERIFY2(found.contains(n), qPrintable(QString("row %1 not carved").arg(n)));
        const _SqliteCarvedRow &r = found.value(n);
        QCOMPARE(r.rowid, expected.at(i));
        const CarveHandleRow h = carveHandleRow(n);
        QCOMPARE(r.values, QList<QVariant>({QVariant(), h.id, h.country, h.service, h.uncanonicalizedId}));
    }

    // The live cells, carved from the page's first byte, all keep their rowid.
    const QHash<qint64, _SqliteCarvedRow> live = byRowName(file.carvePage(carveHandleLayout(), 0, root, 0, handleFilter));
    QCOMPARE(live.size(), rowCount); // deleted ones too
    for (auto it = live.cbegin(); it != live.cend(); ++it) {
        if (!deleted.contains(it.key()))
            QCOMPARE(it.value().rowid, it.key());
        else
            QVERIFY(it.value().rowid == 0 || it.value().rowid == it.key()); // none is wrong
    }
}

void TestSqliteCarve::freeSpaceOrder()
{
    // 12 lies at the start of the content area and falls into the gap; 9 and
    // 4 become two freeblocks, 9 first (cells grow downwards).
    const int root = writeHandlePageDb(m_path, 12, {12, 9, 4});
    Sqlite3File file(m_path);
    file.open();
    const _SqlitePage page = file.page(root);
    QCOMPARE(page.freeblocks.size(), 2);
    QList<qint64> order;
    for (const _SqliteCarvedRow &r : file.carveFreeSpace(carveHandleLayout(), 0, page, handleFilter))
        order << r.values.at(4).toString().mid(4).toLongLong();
    QCOMPARE(order, QList<qint64>({12, 9, 4}));
}

void TestSqliteCarve::freeblockRanges()
{
    // A table leaf of a real file replaced by one whose free space is made
    // up: an empty gap, a freeblock of 4 bytes with a record right after it
    // (outside every range), one holding a record, and a last one whose size
    // reaches past the page end, cut there.
    writeHandlePageDb(m_path, 3, {});
    const int n = 2;
    const int u = 1024;
    const auto record = [](const char *id, const char *uncanonicalized) {
        return sqliteRecord({QVariant(), QString(id), QString("de"), QString("SMS"), QString(uncanonicalized)});
    };
    QByteArray page = tableLeafPage(u, {});
    page.replace(1, 2, bigEndian16(300)); // first freeblock
    page.replace(5, 2, bigEndian16(300)); // content area from 300
    page.replace(300, 4, bigEndian16(400) + bigEndian16(4));
    page.replace(304, record("hidden", "").size(), record("hidden", ""));
    page.replace(400, 4, bigEndian16(1000) + bigEndian16(60));
    page.replace(404, record("inside", "").size(), record("inside", ""));
    page.replace(1000, 4, bigEndian16(0) + bigEndian16(100));
    // 24 bytes, of which the 20 up to the page end are there.
    const QByteArray last = record("cut", "0123456789");
    QCOMPARE(last.size(), 24);
    page.replace(1004, 20, last.left(20));
    patchFile(m_path, qint64(n - 1) * u, page);
    // What follows on the next page must not be read as the rest.
    patchFile(m_path, qint64(n) * u, QByteArray("6789", 4));

    Sqlite3File file(m_path);
    file.open();
    const _SqlitePage parsed = file.page(n);
    QCOMPARE(parsed.freeblocks.size(), 3);
    QStringList ids;
    QStringList rest;
    for (const _SqliteCarvedRow &r : file.carveFreeSpace(carveHandleLayout(), 0, parsed, handleFilter)) {
        ids << r.values.at(1).toString();
        rest << r.values.at(4).toString();
    }
    QCOMPARE(ids, QStringList({"inside", "cut"}));
    QCOMPARE(rest, QStringList({"", "012345"}));
}

void TestSqliteCarve::otherPagesFromByte8()
{
    writeHandlePageDb(m_path, 3, {});
    const int u = 1024;
    const auto record = [](const char *id) {
        return sqliteRecord({QVariant(), QString(id), QString("de"), QString("SMS"), QString("")});
    };
    // An interior page and a page that is no b-tree page, each with one
    // record inside the first 8 bytes and one further on.
    for (char type : {char(5), char(0)}) {
        QByteArray page(u, '\0');
        page.replace(1, record("early").size(), record("early"));
        page[0] = type;
        page.replace(100, record("later").size(), record("later"));
        patchFile(m_path, qint64(2 - 1) * u, page);
        Sqlite3File file(m_path);
        file.open();
        QStringList ids;
        for (const _SqliteCarvedRow &r : file.carveFreeSpace(carveHandleLayout(), 0, file.page(2), handleFilter))
            ids << r.values.at(1).toString();
        QCOMPARE(ids, QStringList({"later"}));
        ids.clear();
        for (const _SqliteCarvedRow &r : file.carvePage(carveHandleLayout(), 0, 2, 0, handleFilter))
            ids << r.values.at(1).toString();
        QCOMPARE(ids, QStringList({"early", "later"}));
    }
}

void TestSqliteCarve::deletedOverflowingText_data()
{
    QTest::addColumn<bool>("trunkBefore");
    QTest::addColumn<int>("link"); // -1 as written; else what the overflow link is set to (-2: past the end)
    QTest::newRow("a trunk existed before") << true << -1;
    QTest::newRow("no freelist before") << false << -1;
    QTest::newRow("overflow link 0") << true << 0;
    QTest::newRow("overflow link 1") << true << 1;
    QTest::newRow("overflow link past the end") << true << -2;
}

void TestSqliteCarve::deletedOverflowingText()
{
    QFETCH(bool, trunkBefore);
    QFETCH(int, link);
    const QString longText =
        QString::fromUtf8("Lange Nachricht \xF0\x9F\x98\x80 mit Umlauten \xC3\xA4\xC3\xB6\xC3\xBC. ").repeated(120);
    QVERIFY(longText.toUtf8().size() >= 5000);
    const CarveMessageRow big = carveMessageRow(6, longText);
    {
        auto db = createRawDb(m_path, 1024);
        db->exec(ios6PhoneTableSql("message"));
        db->exec("CREATE TABLE filler (x BLOB)");
        for (int i = 1; i <= 5; ++i) {
            CarveMessageRow m = carveMessageRow(i, QString("short %1 \xF0\x9F\x93\xB1").arg(i));
            if (i == 2) {
                m.text = QVariant(); // the words only in attributedBody
                m.attributedBody = QByteArray("\x04\x0bstreamtyped\x81\xe8\x03\x84\x01@", 18);
            }
            if (i == 3)
                m.date = 600000000123456789LL; // nanoseconds, as later phones count
            insertMessage(*db, m);
        }
        insertMessage(*db, big);
        insertMessage(*db, carveMessageRow(7, "after"));
        if (trunkBefore) {
            for (int i = 0; i < 20; ++i)
                db->run("INSERT INTO filler VALUES (?)", {QByteArray(600, 'f')});
            db->exec("DROP TABLE filler");
        }
    }
    const int root = queryValue(m_path, "SELECT rootpage FROM sqlite_master WHERE name = 'message'").toInt();
    quint32 firstOverflow = 0;
    qint64 linkOffset = 0;
    {
        Sqlite3File file(m_path);
        file.open();
        for (const _SqlitePage &leaf : file.leafPages(file.page(root)))
            for (const uchar *cell : leaf.cells) {
                const _SqliteCell c = _SqliteCell::parse(file, leaf, cell);
                if (c.rowid == 6) {
                    firstOverflow = c.firstOverflowPage;
                    linkOffset = c.payload + c.localSize - file.mapBegin();
                }
            }
    }
    QVERIFY(firstOverflow > 0);
    QCOMPARE(queryValue(m_path, "PRAGMA freelist_count").toInt() > 0, trunkBefore);
    openRawDb(m_path)->exec("DELETE FROM message WHERE ROWID = 6");

    Sqlite3File before(m_path);
    before.open();
    if (link != -1) {
        const quint32 page = link == -2 ? quint32(before.pageCount() + 1) : quint32(link);
        patchFile(m_path, linkOffset, bigEndian32(page));
    }
    Sqlite3File file(m_path);
    file.open();
    if (!trunkBefore)
        QCOMPARE(file.firstFreelistTrunk(), firstOverflow); // the freed chain's head became the trunk

    QList<_SqliteCarvedRow> found;
    for (const _SqlitePage &leaf : file.leafPages(file.page(root)))
        for (const _SqliteCarvedRow &r : file.carveFreeSpace(carveMessageLayout(38), 0, leaf, messageFilter))
            if (r.values.at(1).toString() == big.guid)
                found << r;

    if (link != -1) {
        QVERIFY(found.isEmpty()); // no overflow page there: not a record
        return;
    }
    if (!trunkBefore) {
        // The chain ends at its first page, and the columns after the text
        // are lost with the rest: the service fails the filter, if anything
        // of the row is found at all, it is not the whole text.
        for (const _SqliteCarvedRow &r : std::as_const(found)) {
            QVERIFY(r.values.at(2).toString() != longText);
            QVERIFY(r.cut);
        }
        return;
    }
    QCOMPARE(found.size(), 1);
    const _SqliteCarvedRow &r = found.at(0);
    QVERIFY(!r.cut);
    QCOMPARE(r.values.size(), 38);
    QCOMPARE(r.values.at(2).toString(), longText);
    QCOMPARE(r.rowid, qint64(0)); // the freeblock header lies over it
    QCOMPARE(r.values.at(5).toLongLong(), big.handleId);
    QCOMPARE(r.values.at(11).toString(), big.service);
    QCOMPARE(r.values.at(12).toString(), big.account);
    QCOMPARE(r.values.at(13).toString(), big.accountGuid);
    QCOMPARE(r.values.at(15).toLongLong(), big.date);
    QCOMPARE(r.values.at(21).toInt(), big.isFromMe);
    QVERIFY(!r.values.at(8).isValid()); // attributedBody NULL
}

QP_TEST_MAIN(TestSqliteCarve)

} // namespace tst_sqlitecarve

#include "tst_sqlitecarve.moc"
