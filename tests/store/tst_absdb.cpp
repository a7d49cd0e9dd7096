#include "tests/support/testmain.h"
#include "tests/support/sqlitefixture.h"

#include "app/idstranslator.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "store/absiosmessagedb.h"

#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>

namespace tst_absdb {

namespace {

// A database with one table that counts how often it really opens.
class CountingDb : public AbsDb
{
public:
    explicit CountingDb(const QString &path) : m_path(path) {}
    void open() override
    {
        if (isOpen())
            return;
        ++opens;
        openThrow(m_path, 6);
        QString error;
        if (exec("create table if not exists t(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, a TEXT, b BLOB)",
                 error) != 0)
            throw std::runtime_error(error.toStdString());
    }
    int opens = 0;

private:
    QString m_path;
};

// Reads t through a connection of its own, so only committed rows count.
int committedRows(const QString &path)
{
    Sqlite3DB db;
    db.openThrow(path, 1);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select count(*) as n from t"));
    return c.moveNext() ? c.getInt("n") : -1;
}

Sqlite3Row row(const QString &a)
{
    Sqlite3Row r;
    r.insert("a", a);
    return r;
}

// A message source of each level, deleted through the base class.
class FakeIOSDb : public AbsIOSMessageDb
{
public:
    explicit FakeIOSDb(bool *destroyed) : m_destroyed(destroyed) {}
    ~FakeIOSDb() override { *m_destroyed = true; }
    void open() override {}
    void chats(QSharedPointer<_MsgStore> &) override {}
    void messages(QSharedPointer<_MsgStore> &, qint64) override {}
    int iosVersion() const override { return 6; }

private:
    QString m_padding = QStringLiteral("owned text the destructor must release");
    bool *m_destroyed;
};

const char kIos6Tables[] =
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT);"
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT);"
    "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER);"
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT, text TEXT);";
const char kChatMessageJoin[] = "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);";
const char kIos5Tables[] =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT, flags INTEGER);"
    "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER);"
    "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, address TEXT);";

} // namespace

class TestAbsDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void endWithoutBeginTouchesNothing();
    void commitThenRollbackIsHarmless();
    void rollbackDropsWrites();
    void failedCommitThrowsAndUnmarks();
    void failedOpenLeavesNoMark();
    void reopensAfterClose();

    void insertAnswersTheRowid();
    void insertLeavingOutRowid();
    void selectAll();
    void selectAllQuotesTheTableName();

    void detectVersion_data();
    void detectVersion();
    void detectVersionFailures_data();
    void detectVersionFailures();

    void deleteThroughBase();

private:
    IdsTranslator m_translator;
    QTemporaryDir m_dir;
    QString m_path;
};

void TestAbsDb::initTestCase()
{
    QVERIFY(m_translator.load(":/en.qm"));
    QCoreApplication::installTranslator(&m_translator);
}

void TestAbsDb::init()
{
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath(QString("db-%1.sqlite").arg(QTest::currentTestFunction()));
    QFile::remove(m_path);
}

void TestAbsDb::endWithoutBeginTouchesNothing()
{
    CountingDb db(m_path);
    db.endTransaction(true);
    db.endTransaction(false);
    QCOMPARE(db.opens, 0);
    QVERIFY(!db.isOpen());
    QVERIFY(!QFile::exists(m_path));
}

void TestAbsDb::commitThenRollbackIsHarmless()
{
    CountingDb db(m_path);
    db.beginTransaction();
    QVERIFY(db.isInTransaction());
    db.insert(row("kept"), "t");
    db.endTransaction(true);
    QVERIFY(!db.isInTransaction());
    db.endTransaction(false); // the worker's cleanup path
    QCOMPARE(committedRows(m_path), 1);
}

void TestAbsDb::rollbackDropsWrites()
{
    CountingDb db(m_path);
    db.insert(row("before"), "t");
    db.beginTransaction();
    db.insert(row("dropped"), "t");
    db.endTransaction(false);
    QVERIFY(!db.isInTransaction());
    QVERIFY(!db.inTransaction());
    QCOMPARE(committedRows(m_path), 1);
}

// A reader holding a lock makes COMMIT fail: the failure is reported, nothing
// of the transaction is stored, and the cleanup's rollback is harmless.
void TestAbsDb::failedCommitThrowsAndUnmarks()
{
    CountingDb db(m_path);
    db.insert(row("before"), "t");

    Sqlite3DB reader;
    reader.openThrow(m_path, 1);
    reader.beginTran();
    Sqlite3Cursor c = reader.queryThrow(Sqlite3Sql("select * from t"));
    QVERIFY(c.moveNext());

    db.beginTransaction();
    db.insert(row("lost"), "t");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, db.endTransaction(true));
    QVERIFY(!db.isInTransaction());
    QVERIFY(!db.inTransaction());
    db.endTransaction(false);

    reader.close();
    QCOMPARE(committedRows(m_path), 1);

    // The object is usable again.
    db.beginTransaction();
    db.insert(row("after"), "t");
    db.endTransaction(true);
    QCOMPARE(committedRows(m_path), 2);
}

void TestAbsDb::failedOpenLeavesNoMark()
{
    CountingDb db(m_dir.filePath("missing-folder/db.sqlite"));
    QVERIFY_THROWS_EXCEPTION(std::exception, db.beginTransaction());
    QVERIFY(!db.isInTransaction());
    db.endTransaction(false);
    QVERIFY_THROWS_EXCEPTION(std::exception, db.selectAll("t"));
}

void TestAbsDb::reopensAfterClose()
{
    CountingDb db(m_path);
    db.insert(row("one"), "t");
    QCOMPARE(db.opens, 1);
    db.insert(row("two"), "t");
    QCOMPARE(db.opens, 1);
    db.close();
    QVERIFY(!db.isOpen());
    QCOMPARE(db.selectAll("t").size(), 2);
    QCOMPARE(db.opens, 2);
}

void TestAbsDb::insertAnswersTheRowid()
{
    CountingDb db(m_path);
    Sqlite3Row withRowid = row("fixed");
    withRowid.insert("ROWID", qlonglong(40));
    QCOMPARE(db.insert(withRowid, "t"), qint64(40));
    const qint64 id = db.insert(row("next"), "t");
    QCOMPARE(id, qint64(41));

    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select a from t where rowid=?").addInt64Param(id));
    QVERIFY(c.moveNext());
    QCOMPARE(c.getText("a"), QStringLiteral("next"));
}

// Copying rows with their rowid left out gives each the next free one.
void TestAbsDb::insertLeavingOutRowid()
{
    CountingDb db(m_path);
    db.insert(row("first"), "t");
    const QList<Sqlite3Row> rows = db.selectAll("t");
    QCOMPARE(rows.size(), 1);
    QVERIFY(rows.first().has("rowid"));
    QVERIFY_THROWS_EXCEPTION(std::exception, db.insert(rows.first(), "t")); // same rowid
    QCOMPARE(db.insert(rows.first(), "t", {"rowid"}), qint64(2));
    QCOMPARE(db.selectAll("t").size(), 2);
}

void TestAbsDb::selectAll()
{
    CountingDb db(m_path);
    QVERIFY(db.selectAll("t").isEmpty());

    Sqlite3Row r = row(QString("Gr") + QChar(0xFC) + QChar(0xDF) + "e");
    r.insert("b", QByteArray("\0\x01\xff", 3));
    db.insert(r, "t");
    db.insert(row("second"), "t");
    const QList<Sqlite3Row> rows = db.selectAll("t");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).get("rowid").toLongLong(), 1LL);
    QCOMPARE(rows.at(0).get("a").toString(), r.value("a").toString());
    QCOMPARE(rows.at(0).get("b").toByteArray(), QByteArray("\0\x01\xff", 3));
    QVERIFY(!rows.at(1).get("b").isValid()); // NULL stays NULL
    QCOMPARE(rows.at(1).get("a").toString(), QStringLiteral("second"));

    QVERIFY_THROWS_EXCEPTION(std::exception, db.selectAll("no_such_table"));
}

void TestAbsDb::selectAllQuotesTheTableName()
{
    CountingDb db(m_path);
    db.open();
    QString error;
    QCOMPARE(db.exec("create table \"odd \"\"name\"\"; x\" (v TEXT); insert into \"odd \"\"name\"\"; x\" values ('1')",
                     error), 0);
    QCOMPARE(db.selectAll("odd \"name\"; x").size(), 1);
    // A name smuggling in a statement is only a name that does not exist.
    QVERIFY_THROWS_EXCEPTION(std::exception, db.selectAll("t; delete from t"));
    QCOMPARE(db.tbInfo("t").size(), 3);
}

void TestAbsDb::detectVersion_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("version"); // 0: refused
    QTest::newRow("five iOS 6 tables") << QString(kIos6Tables) + kChatMessageJoin << 6;
    QTest::newRow("iOS 5 tables") << QString(kIos5Tables) << 5;
    QTest::newRow("iOS 5 and iOS 6 tables")
        << QString(kIos5Tables).replace("TABLE message", "TABLE old_message") + kIos6Tables + kChatMessageJoin << 6;
    QTest::newRow("iOS 5 tables beside part of iOS 6") << QString(kIos5Tables) + kChatMessageJoin << 5;
    QTest::newRow("without chat_message_join") << QString(kIos6Tables) << 0;
    QTest::newRow("only message and handle")
        << "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT);"
           "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);" << 0;
    QTest::newRow("iOS 5 without group_member")
        << QString(kIos5Tables).replace("TABLE group_member", "TABLE other_member") << 0;
    QTest::newRow("join table as a view") << QString(kIos6Tables) + "CREATE VIEW chat_message_join AS SELECT 1;" << 0;
    QTest::newRow("no tables") << QString() << 0;
}

void TestAbsDb::detectVersion()
{
    QFETCH(QString, script);
    QFETCH(int, version);
    {
        testsupport::SqliteFixture f(m_path);
        f.exec("PRAGMA user_version = 1;" + script);
    }
    if (version) {
        QCOMPARE(AbsIOSMessageDb::detectVersion(m_path), version);
    } else {
        try {
            AbsIOSMessageDb::detectVersion(m_path);
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     "The message file " + m_path
                         + " is not laid out as any iPhone message database this program knows, so its messages "
                           "cannot be read.");
        }
    }

    // The probe lets go of the file: another connection can write at once.
    Sqlite3DB db;
    db.openThrow(m_path, 2);
    db.beginTran();
    db.executeThrow(Sqlite3Sql("create table probe_after(x)"));
    db.commitTran();
}

void TestAbsDb::detectVersionFailures_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("not a database") << QByteArray("this is a text file, not SQLite at all.").repeated(40);
}

void TestAbsDb::detectVersionFailures()
{
    QFETCH(QByteArray, content);
    if (!content.isEmpty()) {
        QFile f(m_path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QVERIFY_THROWS_EXCEPTION(std::exception, AbsIOSMessageDb::detectVersion(m_path));
    if (content.isEmpty())
        QVERIFY(!QFile::exists(m_path)); // nothing created
}

void TestAbsDb::deleteThroughBase()
{
    bool destroyed = false;
    AbsDb *db = new FakeIOSDb(&destroyed);
    QCOMPARE(static_cast<AbsIOSMessageDb *>(db)->iosVersion(), 6);
    delete db;
    QVERIFY(destroyed);
}

QP_TEST_MAIN(TestAbsDb)

} // namespace tst_absdb

#include "tst_absdb.moc"
