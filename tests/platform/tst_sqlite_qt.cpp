#include "platform/sqlite_qt/sqlite_qt.h"
#include "tests/support/testmain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <thread>

namespace tst_sqlite_qt {

namespace {

// Runs a statement that must succeed; tests build their fixtures with it.
void run(Sqlite3DB &db, const Sqlite3Sql &sql)
{
    db.executeThrow(sql);
}

qint64 scalar(Sqlite3DB &db, const Sqlite3Sql &sql)
{
    Sqlite3Cursor c = db.queryThrow(sql);
    return c.moveNext() ? c.getInt64(0) : -1;
}

// Returns the text of the exception fn throws, or a null string when it does not throw.
template <typename Fn>
QString thrownText(Fn fn)
{
    try {
        fn();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class TestSqliteQt : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString file(const QString &name) const { return m_dir->filePath(name); }

    // A table with a declared ROWID key, the way phone message databases have it.
    void makeMessages(Sqlite3DB &db)
    {
        db.openThrow(file("msg.db"), 6);
        run(db, "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT, "
                "date INTEGER, body BLOB, ratio REAL, vacant TEXT)");
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        Sqlite3DB::setBusyTimeout(Sqlite3DB::kDefaultBusyTimeoutMs);
    }
    void cleanup() { Sqlite3DB::setBusyTimeout(Sqlite3DB::kDefaultBusyTimeoutMs); }

    void version() { QCOMPARE(sqlite_qt_version(), 5); }

    void openFlags_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("writes");
        QTest::newRow("read-only, existing") << 1 << true << true << false;
        QTest::newRow("read-only, missing") << 1 << false << false << false;
        QTest::newRow("read/write, existing") << 2 << true << true << true;
        QTest::newRow("read/write, missing") << 2 << false << false << false;
        QTest::newRow("create, existing") << 6 << true << true << true;
        QTest::newRow("create, missing") << 6 << false << true << true;
    }
    void openFlags()
    {
        QFETCH(int, flags);
        QFETCH(bool, exists);
        QFETCH(bool, opens);
        QFETCH(bool, writes);
        const QString path = file(QStringLiteral("ö dir/f.db"));
        QDir().mkpath(QFileInfo(path).path());
        if (exists) {
            Sqlite3DB maker;
            maker.openThrow(path, 6);
            run(maker, "CREATE TABLE t (v INTEGER)");
        }

        Sqlite3DB db;
        const QString error = thrownText([&] { db.openThrow(path, flags); });
        QCOMPARE(error.isNull(), opens);
        QCOMPARE(db.isOpen(), opens);
        QCOMPARE(db.handle() != nullptr, opens);
        if (!opens) {
            QVERIFY2(error.contains(path), qPrintable(error));
            QVERIFY(!QFile::exists(path)); // a failed open leaves no empty file behind
            return;
        }
        const QString writeError = thrownText([&] {
            run(db, "CREATE TABLE IF NOT EXISTS t (v INTEGER)");
            run(db, Sqlite3Sql("INSERT INTO t VALUES (?)").addIntParam(1));
        });
        QVERIFY2(writeError.isNull() == writes, qPrintable(writeError));
        db.close();
        QVERIFY(!db.isOpen());
        QVERIFY(db.handle() == nullptr);
        db.close(); // a second close is harmless
    }

    // The values a message row holds, read by name, by index and as a row.
    void getters_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<qint64>("asInt64");
        QTest::addColumn<QString>("asText");
        QTest::addColumn<bool>("isNull");
        QTest::addColumn<int>("index");
        QTest::newRow("declared ROWID") << "ROWID" << qint64(7) << "7" << false << 0;
        QTest::newRow("rowid in lower case") << "rowid" << qint64(7) << "7" << false << 0;
        QTest::newRow("mixed case") << "RowId" << qint64(7) << "7" << false << 0;
        QTest::newRow("text") << "text" << qint64(0) << "héllo" << false << 1;
        QTest::newRow("TEXT finds text") << "TEXT" << qint64(0) << "héllo" << false << 1;
        QTest::newRow("64-bit value") << "date" << (Q_INT64_C(1) << 62) + 3 << "4611686018427387907" << false << 2;
        QTest::newRow("NULL") << "vacant" << qint64(0) << QString() << true << 5;
        QTest::newRow("missing column") << "absent" << qint64(0) << QString() << true << -1;
        QTest::newRow("empty name") << "" << qint64(0) << QString() << true << -1;
    }
    void getters()
    {
        QFETCH(QString, column);
        QFETCH(qint64, asInt64);
        QFETCH(QString, asText);
        QFETCH(bool, isNull);
        QFETCH(int, index);
        Sqlite3DB db;
        makeMessages(db);
        run(db, Sqlite3Sql("INSERT INTO message (ROWID, text, date, body, ratio) VALUES (7, ?, ?, ?, 0.5)")
                    .addTextParam(QStringLiteral("héllo"))
                    .addInt64Param((Q_INT64_C(1) << 62) + 3)
                    .addBlobParam(QByteArray("\x01\x02", 2)));

        Sqlite3Cursor c = db.queryThrow("SELECT * FROM message");
        QVERIFY(c.moveNext());
        QCOMPARE(c.columnIndex(column), index);
        QCOMPARE(c.getInt64(column), asInt64);
        QCOMPARE(c.getInt(column), int(asInt64)); // truncation of the 64-bit value is SQLite's, not a failure
        QCOMPARE(c.getText(column), asText);
        QCOMPARE(c.getText(column).isNull(), asText.isNull());
        QCOMPARE(c.isNull(column), isNull);
        if (index >= 0) {
            QCOMPARE(c.getInt64(index), asInt64);
            QCOMPARE(c.columnName(index).compare(column, Qt::CaseInsensitive), 0);
            QCOMPARE(c.getRow().get(column).isValid(), !isNull);
        } else {
            QCOMPARE(c.getBlob(column), QByteArray());
            QCOMPARE(c.getDouble(column), 0.0);
            QVERIFY(!c.getRow().has(column));
        }
        QVERIFY(!c.moveNext());
        // No current row any more: getters answer nothing rather than stale or undefined values.
        QCOMPARE(c.getInt64(QStringLiteral("ROWID")), qint64(0));
        QVERIFY(c.getRow().isEmpty());
    }

    void gettersBeforeFirstRowAndOutOfRange()
    {
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID, text) VALUES (1, 'a')");
        Sqlite3Cursor c = db.queryThrow("SELECT * FROM message");
        QCOMPARE(c.getText(QStringLiteral("text")), QString()); // no row before moveNext
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt64(-1), qint64(0));
        QCOMPARE(c.getInt64(c.columnCount()), qint64(0));
        QCOMPARE(c.columnName(99), QString());
        Sqlite3Cursor none;
        QVERIFY(!none.moveNext());
        QCOMPARE(none.count(), 0);
        QCOMPARE(none.getText(QStringLiteral("x")), QString());
        QCOMPARE(none.columnCount(), 0);
    }

    // Values written through bound parameters come back unchanged, with the
    // same storage class, through the getters and through getRow.
    void roundTrip_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("storage");
        const QString nul = QString::fromUtf8("a\0b", 3);
        QTest::newRow("plain text") << QVariant(QStringLiteral("hello")) << "text";
        QTest::newRow("empty text is not NULL") << QVariant(QStringLiteral("")) << "text";
        QTest::newRow("null text is NULL") << QVariant(QString()) << "null";
        QTest::newRow("embedded NUL") << QVariant(nul) << "text";
        QTest::newRow("only NUL") << QVariant(QString(QChar(0))) << "text";
        QTest::newRow("emoji") << QVariant(QString::fromUtf8("\xF0\x9F\x98\x80 ok \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"))
                               << "text";
        QTest::newRow("NUL between emoji")
            << QVariant(QString::fromUtf8("\xF0\x9F\x98\x80\0\xF0\x9F\x98\x80", 9)) << "text";
        QTest::newRow("quotes and SQL") << QVariant(QStringLiteral("it's \"x\"'); DROP TABLE message; --")) << "text";
        QTest::newRow("long text") << QVariant(QString(300000, QChar(u'ß'))) << "text";
        QTest::newRow("int64 max") << QVariant(std::numeric_limits<qlonglong>::max()) << "integer";
        QTest::newRow("int64 min") << QVariant(std::numeric_limits<qlonglong>::min()) << "integer";
        QTest::newRow("2^53 + 1 (not exact as double)") << QVariant((Q_INT64_C(1) << 53) + 1) << "integer";
        QTest::newRow("zero") << QVariant(qlonglong(0)) << "integer";
        QTest::newRow("real") << QVariant(-1234.5625) << "real";
        QTest::newRow("blob with NUL and 0xFF") << QVariant(QByteArray("\0\xff\x00x", 4)) << "blob";
        QTest::newRow("empty blob is not NULL") << QVariant(QByteArray("", 0)) << "blob";
        QTest::newRow("null blob is NULL") << QVariant(QByteArray()) << "null";
        QTest::newRow("invalid is NULL") << QVariant() << "null";
    }
    void roundTrip()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, storage);
        Sqlite3DB db;
        db.openThrow(file("rt.db"), 6);
        run(db, "CREATE TABLE t (v)");
        run(db, Sqlite3Sql("INSERT INTO t (v) VALUES (?)").addValueParam(value));

        Sqlite3Cursor c = db.queryThrow("SELECT v, typeof(v) AS storage FROM t");
        QVERIFY(c.moveNext());
        QCOMPARE(c.getText(QStringLiteral("storage")), storage);
        const QVariant back = c.getRow().value(QStringLiteral("v"));
        QCOMPARE(c.isNull(QStringLiteral("v")), storage == "null");
        if (storage == "text") {
            QCOMPARE(c.getText(QStringLiteral("v")), value.toString());
            QVERIFY(!c.getText(QStringLiteral("v")).isNull());
            QCOMPARE(back.typeId(), int(QMetaType::QString));
            QCOMPARE(back.toString(), value.toString());
        } else if (storage == "blob") {
            QCOMPARE(c.getBlob(QStringLiteral("v")), value.toByteArray());
            QVERIFY(!c.getBlob(QStringLiteral("v")).isNull());
            QCOMPARE(back.typeId(), int(QMetaType::QByteArray));
            QCOMPARE(back.toByteArray(), value.toByteArray());
            QVERIFY(!back.toByteArray().isNull());
        } else if (storage == "integer") {
            QCOMPARE(c.getInt64(QStringLiteral("v")), value.toLongLong());
            QCOMPARE(back.typeId(), int(QMetaType::LongLong));
            QCOMPARE(back.toLongLong(), value.toLongLong());
        } else if (storage == "real") {
            QCOMPARE(c.getDouble(QStringLiteral("v")), value.toDouble());
            QCOMPARE(back.typeId(), int(QMetaType::Double));
        } else {
            QVERIFY(!back.isValid());
            QVERIFY(c.getText(QStringLiteral("v")).isNull());
            QVERIFY(c.getBlob(QStringLiteral("v")).isNull());
        }

        // The typed adders bind the same way the generic one does.
        Sqlite3Sql typed("INSERT INTO t (v) VALUES (?)");
        if (storage == "text")
            typed.addTextParam(value.toString());
        else if (storage == "blob")
            typed.addBlobParam(value.toByteArray());
        else if (storage == "integer")
            typed.addInt64Param(value.toLongLong());
        else if (storage == "real")
            typed.addDoubleParam(value.toDouble());
        else
            typed.addNullParam();
        run(db, typed);
        QCOMPARE(scalar(db, "SELECT count(DISTINCT quote(v)) FROM t"), qint64(1));
    }

    // Rows copied from a foreign database: any column name and any value
    // survive, and nothing in them runs as SQL.
    void insertSqlCopiesHostileRows_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("quote") << QVariant(QStringLiteral("O'Brien \"the\" ''x''"));
        QTest::newRow("statement end") << QVariant(QStringLiteral("x'); DROP TABLE victim; --"));
        QTest::newRow("identifier end") << QVariant(QStringLiteral("\"; DROP TABLE victim; --"));
        QTest::newRow("placeholder") << QVariant(QStringLiteral("?1 ? :a @b $c"));
        QTest::newRow("NUL and emoji") << QVariant(QString::fromUtf8("\xF0\x9F\x92\xA9\0;", 6));
        QTest::newRow("NULL") << QVariant();
        QTest::newRow("blob") << QVariant(QByteArray("\0'\";", 4));
        QTest::newRow("int64") << QVariant(std::numeric_limits<qlonglong>::min());
        QTest::newRow("real") << QVariant(2.5);
    }
    void insertSqlCopiesHostileRows()
    {
        QFETCH(QVariant, value);
        const QString hostile = QStringLiteral("\"; DROP TABLE victim; --");
        const QString schema = QStringLiteral("CREATE TABLE \"weird \"\"t\"\"; x\" (ROWID INTEGER PRIMARY KEY, "
                                              "\"\"\"; DROP TABLE victim; --\", \"semi;colon\", \"it's\")");
        Sqlite3DB from;
        from.openThrow(file("from.db"), 6);
        run(from, schema);
        run(from, Sqlite3Sql("INSERT INTO \"weird \"\"t\"\"; x\" VALUES (?, ?, ?, ?)")
                      .addIntParam(42)
                      .addValueParam(value)
                      .addValueParam(value)
                      .addTextParam(QStringLiteral("'")));

        Sqlite3DB to;
        to.openThrow(file("to.db"), 6);
        run(to, schema);
        run(to, "CREATE TABLE victim (v)");
        Sqlite3Cursor c = from.queryThrow("SELECT * FROM \"weird \"\"t\"\"; x\"");
        QVERIFY(c.moveNext());
        const Sqlite3Row row = c.getRow();
        QVERIFY(row.contains(hostile));
        to.executeThrow(row.insertSql(QStringLiteral("weird \"t\"; x")));
        QCOMPARE(to.lastInsertId(), qint64(42));

        QCOMPARE(scalar(to, "SELECT count(*) FROM sqlite_master WHERE name = 'victim'"), qint64(1));
        Sqlite3Cursor back = to.queryThrow("SELECT * FROM \"weird \"\"t\"\"; x\"");
        QVERIFY(back.moveNext());
        QCOMPARE(back.getRow(), row);
        QVERIFY(!back.moveNext());
    }

    void insertSqlLeaveOut_data()
    {
        QTest::addColumn<QStringList>("leaveOut");
        QTest::addColumn<qint64>("newRowid");
        QTest::addColumn<bool>("textKept");
        QTest::newRow("all columns") << QStringList() << qint64(100) << true;
        QTest::newRow("rowid leaves out ROWID") << QStringList{"rowid"} << qint64(501) << true;
        QTest::newRow("ROWID") << QStringList{"ROWID"} << qint64(501) << true;
        QTest::newRow("other case of a column") << QStringList{"rowid", "TEXT"} << qint64(501) << false;
        QTest::newRow("name the row lacks") << QStringList{"nosuch"} << qint64(100) << true;
    }
    void insertSqlLeaveOut()
    {
        QFETCH(QStringList, leaveOut);
        QFETCH(qint64, newRowid);
        QFETCH(bool, textKept);
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID, text) VALUES (500, 'occupied')");
        Sqlite3Row row;
        row.insert(QStringLiteral("ROWID"), qlonglong(100));
        row.insert(QStringLiteral("text"), QStringLiteral("copied"));
        const QSet<QString> set(leaveOut.begin(), leaveOut.end());
        db.executeThrow(row.insertSql(QStringLiteral("message"), set));
        QCOMPARE(db.lastInsertId(), newRowid);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("SELECT text FROM message WHERE ROWID = ?").addInt64Param(newRowid));
        QVERIFY(c.moveNext());
        QCOMPARE(c.isNull(QStringLiteral("text")), !textKept);
    }

    void insertSqlOfEmptyRowUsesDefaults()
    {
        Sqlite3DB db;
        db.openThrow(file("d.db"), 6);
        run(db, "CREATE TABLE t (a INTEGER DEFAULT 5)");
        Sqlite3Row row;
        row.insert(QStringLiteral("a"), 1);
        db.executeThrow(row.insertSql(QStringLiteral("t"), {QStringLiteral("A")}));
        QCOMPARE(scalar(db, "SELECT a FROM t"), qint64(5));
    }

    void rowLookupIgnoresCaseButPrefersExact()
    {
        Sqlite3Row row;
        row.insert(QStringLiteral("ROWID"), 1);
        row.insert(QStringLiteral("rowid"), 2);
        row.insert(QStringLiteral("Text"), 3);
        QCOMPARE(row.get(QStringLiteral("rowid")).toInt(), 2);
        QCOMPARE(row.get(QStringLiteral("ROWID")).toInt(), 1);
        QCOMPARE(row.get(QStringLiteral("TEXT")).toInt(), 3);
        QVERIFY(row.has(QStringLiteral("text")));
        QVERIFY(!row.has(QStringLiteral("tex")));
        QVERIFY(!row.get(QStringLiteral("none")).isValid());
        // Only ASCII letters fold, as in SQL identifiers.
        row.insert(QStringLiteral("é"), 4);
        QVERIFY(!row.has(QStringLiteral("É")));
    }

    void tbInfoKeepsDeclaredNames()
    {
        Sqlite3DB db;
        db.openThrow(file("i.db"), 6);
        run(db, "CREATE TABLE \"my \"\"table\" (ROWID INTEGER PRIMARY KEY, MixedCase TEXT NOT NULL DEFAULT 'x', "
                "\"odd \"\"name\" BLOB, untyped)");
        const QHash<QString, _SqliteCol> cols = db.tbInfo(QStringLiteral("my \"table"));
        QCOMPARE(cols.size(), 4);
        QVERIFY(cols.contains(QStringLiteral("ROWID")));
        QVERIFY(!cols.contains(QStringLiteral("rowid")));
        QVERIFY(cols.contains(QStringLiteral("MixedCase")));
        QVERIFY(cols.contains(QStringLiteral("odd \"name")));
        const _SqliteCol key = cols.value(QStringLiteral("ROWID"));
        QVERIFY(key.primaryKey && key.isInteger() && !key.notNull && !key.hasDefault);
        const _SqliteCol mixed = cols.value(QStringLiteral("MixedCase"));
        QVERIFY(mixed.notNull && mixed.hasDefault && mixed.isText() && !mixed.primaryKey);
        QCOMPARE(mixed.type, QStringLiteral("TEXT"));
        QVERIFY(cols.value(QStringLiteral("untyped")).isBlob());
        QVERIFY(db.tbInfo(QStringLiteral("nosuch")).isEmpty());
    }

    void affinity_data()
    {
        QTest::addColumn<QString>("declared");
        QTest::addColumn<QString>("affinity");
        QTest::newRow("INTEGER") << "INTEGER" << "integer";
        QTest::newRow("bigint lower case") << "bigint" << "integer";
        QTest::newRow("INT wins over CHAR") << "CHARINT" << "integer";
        QTest::newRow("FLOATING POINT holds INT") << "FLOATING POINT" << "integer";
        QTest::newRow("VARCHAR(255)") << "VARCHAR(255)" << "text";
        QTest::newRow("CLOB") << "CLOB" << "text";
        QTest::newRow("TEXT") << "TEXT" << "text";
        QTest::newRow("BLOB") << "BLOB" << "blob";
        QTest::newRow("no type") << "" << "blob";
        QTest::newRow("REAL") << "REAL" << "real";
        QTest::newRow("DOUBLE PRECISION") << "DOUBLE PRECISION" << "real";
        QTest::newRow("FLOAT") << "FLOAT" << "real";
        QTest::newRow("NUMERIC") << "NUMERIC" << "numeric";
        QTest::newRow("DECIMAL(10,5)") << "DECIMAL(10,5)" << "numeric";
        QTest::newRow("BOOLEAN") << "BOOLEAN" << "numeric";
        QTest::newRow("DATETIME") << "DATETIME" << "numeric";
    }
    void affinity()
    {
        QFETCH(QString, declared);
        QFETCH(QString, affinity);
        _SqliteCol col;
        col.type = declared;
        QCOMPARE(col.isInteger(), affinity == "integer");
        QCOMPARE(col.isText(), affinity == "text");
        QCOMPARE(col.isBlob(), affinity == "blob");
        QCOMPARE(col.isReal(), affinity == "real");
        QCOMPARE(col.isNumeric(), affinity == "numeric");
    }

    void countBeforeAndDuringIteration_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("stepsBeforeCount");
        QTest::newRow("empty result") << 0 << 0;
        QTest::newRow("before the first row") << 3 << 0;
        QTest::newRow("in the middle") << 3 << 2;
        QTest::newRow("after the end") << 3 << 4;
    }
    void countBeforeAndDuringIteration()
    {
        QFETCH(int, rows);
        QFETCH(int, stepsBeforeCount);
        Sqlite3DB db;
        makeMessages(db);
        for (int i = 1; i <= rows; ++i)
            run(db, Sqlite3Sql("INSERT INTO message (ROWID, text) VALUES (?, 'x')").addIntParam(i));
        run(db, "INSERT INTO message (ROWID, text) VALUES (1000, 'other')");

        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("SELECT ROWID FROM message WHERE text = ? ORDER BY ROWID")
                                            .addTextParam(QStringLiteral("x")));
        int seen = 0;
        for (int i = 0; i < stepsBeforeCount; ++i)
            seen += c.moveNext() ? 1 : 0;
        QCOMPARE(c.count(), rows);
        QCOMPARE(c.count(), rows);
        // Iteration goes on where it was.
        while (c.moveNext()) {
            ++seen;
            QCOMPARE(c.getInt(QStringLiteral("rowid")), seen);
        }
        QCOMPARE(seen, rows);
    }

    void cursorCopiesSharePosition()
    {
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID) VALUES (1), (2), (3)");
        const int idleBefore = db.cachedCount();
        {
            Sqlite3Cursor a = db.queryThrow("SELECT ROWID FROM message ORDER BY ROWID");
            Sqlite3Cursor b = a;
            QVERIFY(a.moveNext());
            QVERIFY(b.moveNext());
            QCOMPARE(a.getInt(QStringLiteral("ROWID")), 2);
            {
                Sqlite3Cursor gone = a;
            }
            a = Sqlite3Cursor();
            QCOMPARE(b.getInt(QStringLiteral("ROWID")), 2); // the statement lives on with the last copy
            QVERIFY(b.moveNext());
            QVERIFY(!b.moveNext());
        }
        QCOMPARE(db.cachedCount(), idleBefore + 1);
    }

    // Writing a large batch must reuse statements, not prepare one per value.
    void statementCacheKeepsPreparesFew()
    {
        Sqlite3DB db;
        makeMessages(db);
        const int before = db.preparedCount();
        const int messages = 200000;
        db.beginTran();
        for (int i = 1; i <= messages; ++i) {
            Sqlite3Row row;
            row.insert(QStringLiteral("ROWID"), qlonglong(i));
            row.insert(QStringLiteral("text"), QStringLiteral("message %1").arg(i));
            row.insert(QStringLiteral("date"), qlonglong(i) * 1000);
            db.executeThrow(row.insertSql(QStringLiteral("message")));
            if (i % 10 == 0) // a second text interleaved with the first
                db.executeThrow(Sqlite3Sql("UPDATE message SET ratio = ? WHERE ROWID = ?").addDoubleParam(0.5).addIntParam(i));
        }
        db.commitTran();
        QVERIFY2(db.preparedCount() - before <= 4, qPrintable(QString::number(db.preparedCount() - before)));
        QCOMPARE(scalar(db, "SELECT count(*) FROM message"), qint64(messages));
        QCOMPARE(scalar(db, "SELECT count(*) FROM message WHERE ratio = 0.5"), qint64(messages / 10));
    }

    // A statement a cursor still reads from is never handed out to a second one.
    void nestedQueriesOnSameTextGetTheirOwnStatements()
    {
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID, date) VALUES (1, 10), (2, 20), (3, 30)");
        const Sqlite3Sql sql = Sqlite3Sql("SELECT ROWID, date FROM message WHERE ROWID >= ? ORDER BY ROWID");
        const int before = db.preparedCount();
        QList<QPair<int, int>> pairs;
        for (int round = 0; round < 2; ++round) {
            pairs.clear();
            Sqlite3Cursor outer = db.queryThrow(Sqlite3Sql(sql).addIntParam(1));
            while (outer.moveNext()) {
                const int id = outer.getInt(QStringLiteral("ROWID"));
                Sqlite3Cursor inner = db.queryThrow(Sqlite3Sql(sql).addIntParam(id));
                while (inner.moveNext())
                    pairs << qMakePair(id, inner.getInt(QStringLiteral("date")));
            }
        }
        const QList<QPair<int, int>> expected{{1, 10}, {1, 20}, {1, 30}, {2, 20}, {2, 30}, {3, 30}};
        QCOMPARE(pairs, expected);
        QCOMPARE(db.preparedCount() - before, 2); // one per cursor alive at the same time
    }

    // Many distinct texts (a caller formatting table names) must not grow the
    // cache without end; evicted statements are simply prepared again.
    void cacheIsBounded()
    {
        Sqlite3DB db;
        db.openThrow(file("b.db"), 6);
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 3 * Sqlite3Connection::maxIdle; ++i)
                QCOMPARE(scalar(db, QStringLiteral("SELECT %1").arg(i)), qint64(i));
            QCOMPARE(db.cachedCount(), Sqlite3Connection::maxIdle);
        }
        int statements = 0;
        for (sqlite3_stmt *s = sqlite3_next_stmt(db.handle(), nullptr); s; s = sqlite3_next_stmt(db.handle(), s))
            ++statements;
        QCOMPARE(statements, Sqlite3Connection::maxIdle); // evicted ones are finalized
        // The most recent texts are the ones kept.
        const int before = db.preparedCount();
        scalar(db, QStringLiteral("SELECT %1").arg(3 * Sqlite3Connection::maxIdle - 1));
        QCOMPARE(db.preparedCount(), before);
        scalar(db, "SELECT 0");
        QCOMPARE(db.preparedCount(), before + 1);
    }

    // Idle statements in the cache hold no lock and no values.
    void cachedStatementsAreResetAndUnbound()
    {
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID, text) VALUES (1, 'a'), (2, 'b')");
        {
            Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("SELECT text FROM message WHERE text <> ?")
                                                .addTextParam(QStringLiteral("secret-value")));
            QVERIFY(c.moveNext()); // abandoned in the middle of the result
        }
        int statements = 0;
        for (sqlite3_stmt *s = sqlite3_next_stmt(db.handle(), nullptr); s; s = sqlite3_next_stmt(db.handle(), s)) {
            ++statements;
            QVERIFY(!sqlite3_stmt_busy(s));
            char *expanded = sqlite3_expanded_sql(s);
            QVERIFY(!QByteArray(expanded).contains("secret-value"));
            sqlite3_free(expanded);
        }
        QVERIFY(statements > 0);

        // Another connection can write: no read lock is left behind.
        Sqlite3DB other;
        other.openThrow(file("msg.db"), 2);
        other.beginTran();
        run(other, "INSERT INTO message (ROWID) VALUES (3)");
        other.commitTran();
    }

    void finishedCursorReleasesItsLock()
    {
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID) VALUES (1)");
        Sqlite3Cursor c = db.queryThrow("SELECT * FROM message");
        while (c.moveNext()) {
        }
        Sqlite3DB other;
        other.openThrow(file("msg.db"), 2);
        other.beginTran();
        run(other, "INSERT INTO message (ROWID) VALUES (2)");
        other.commitTran(); // throws if the finished cursor still held its read lock
        QVERIFY(!c.moveNext());
    }

    void closeWithLiveCursorAndOpenTransaction()
    {
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID, text) VALUES (1, 'kept'), (2, 'kept')");
        db.beginTran();
        run(db, "INSERT INTO message (ROWID, text) VALUES (3, 'dropped')");
        Sqlite3Cursor c = db.queryThrow("SELECT * FROM message ORDER BY ROWID");
        QVERIFY(c.moveNext());
        Sqlite3Cursor copy = c;
        db.close();
        QVERIFY(!db.isOpen());
        QVERIFY(!db.inTransaction());
        QVERIFY(!c.moveNext());
        QVERIFY(!copy.moveNext());
        QCOMPARE(c.getInt64(QStringLiteral("ROWID")), qint64(0));
        QCOMPARE(c.getText(QStringLiteral("text")), QString());
        QCOMPARE(c.columnCount(), 0);
        QCOMPARE(c.count(), 0);

        Sqlite3DB other;
        other.openThrow(file("msg.db"), 2);
        QCOMPARE(scalar(other, "SELECT count(*) FROM message WHERE text = 'dropped'"), qint64(0));
        other.beginTran();
        run(other, "INSERT INTO message (ROWID, text) VALUES (4, 'second')");
        other.commitTran();

        // The same object opens again and works with a fresh cache.
        db.openThrow(file("msg.db"), 2);
        QCOMPARE(scalar(db, "SELECT count(*) FROM message"), qint64(3));
    }

    void cursorOutlivesItsDatabase()
    {
        Sqlite3Cursor c;
        {
            auto db = std::make_unique<Sqlite3DB>();
            makeMessages(*db);
            run(*db, "INSERT INTO message (ROWID) VALUES (1), (2)");
            db->beginTran();
            c = db->queryThrow("SELECT * FROM message");
            QVERIFY(c.moveNext());
        }
        QVERIFY(!c.moveNext());
        QVERIFY(c.getRow().isEmpty());
        QCOMPARE(c.columnIndex(QStringLiteral("ROWID")), -1);
    }

    // A COMMIT that cannot take its lock throws, and the writes are rolled back
    // rather than left in an open transaction that a later close would drop silently.
    void failedCommitThrowsAndRollsBack()
    {
        Sqlite3DB::setBusyTimeout(100); // the reader holds on for good: no need to wait long
        Sqlite3DB writer;
        makeMessages(writer);
        Sqlite3DB reader;
        reader.openThrow(file("msg.db"), 2);
        run(reader, "INSERT INTO message (ROWID, text) VALUES (1, 'before')");

        writer.beginTran();
        run(writer, "INSERT INTO message (ROWID, text) VALUES (2, 'lost')");
        reader.beginTran();
        Sqlite3Cursor reading = reader.queryThrow("SELECT * FROM message");
        QVERIFY(reading.moveNext()); // holds a shared lock

        const QString error = thrownText([&] { writer.commitTran(); });
        QVERIFY2(error.contains(QStringLiteral("locked")), qPrintable(error));
        QVERIFY(!writer.inTransaction());
        writer.rollbackTran(); // the caller's cleanup path stays harmless

        reading = Sqlite3Cursor();
        reader.commitTran();
        QCOMPARE(scalar(reader, "SELECT count(*) FROM message"), qint64(1));
        QCOMPARE(scalar(writer, "SELECT count(*) FROM message"), qint64(1));
        // The writer goes on normally afterwards.
        writer.beginTran();
        run(writer, "INSERT INTO message (ROWID, text) VALUES (3, 'after')");
        writer.commitTran();
        QCOMPARE(scalar(reader, "SELECT count(*) FROM message"), qint64(2));
    }

    // Another connection (in life another copy of the program, or an sqlite3
    // shell) holds the database exclusively. A lock let go within the busy
    // timeout is waited for; one held longer fails, and says why.
    void lockHeldElsewhere_data()
    {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("holdMs"); // -1: until the attempt has given up
        QTest::addColumn<bool>("write");
        const int standard = Sqlite3DB::kDefaultBusyTimeoutMs;
        QTest::newRow("write, released within the standard timeout") << standard << 300 << true;
        QTest::newRow("read, released within the standard timeout") << standard << 300 << false;
        QTest::newRow("write, held longer") << 200 << -1 << true;
        QTest::newRow("read, held longer") << 200 << -1 << false;
        QTest::newRow("write, no timeout") << 0 << -1 << true;
    }
    void lockHeldElsewhere()
    {
        QFETCH(int, timeoutMs);
        QFETCH(int, holdMs);
        QFETCH(bool, write);
        {
            Sqlite3DB maker;
            makeMessages(maker);
            run(maker, "INSERT INTO message (ROWID) VALUES (1)");
        }
        Sqlite3DB::setBusyTimeout(timeoutMs);
        Sqlite3DB db;
        db.openThrow(file("msg.db"), 2);
        QCOMPARE(Sqlite3DB::busyTimeout(), timeoutMs);

        std::promise<QString> locked;
        std::promise<void> attempted;
        std::future<QString> lockedResult = locked.get_future();
        std::future<void> attemptDone = attempted.get_future();
        QString holderError;
        std::thread holder([&] {
            Sqlite3DB other;
            try {
                other.openThrow(file("msg.db"), 2);
                other.executeThrow("BEGIN EXCLUSIVE");
            } catch (const std::exception &e) {
                locked.set_value(QString::fromUtf8(e.what()));
                return;
            }
            locked.set_value(QString());
            if (holdMs >= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            else
                attemptDone.wait();
            holderError = thrownText([&] { other.commitTran(); });
        });
        const QString lockError = lockedResult.get();
        QElapsedTimer timer;
        timer.start();
        const QString error = lockError.isNull() ? thrownText([&] {
            if (write)
                run(db, "INSERT INTO message (ROWID) VALUES (2)");
            else
                scalar(db, "SELECT count(*) FROM message");
        })
                                                 : QString();
        const qint64 waited = timer.elapsed();
        attempted.set_value();
        holder.join();
        QVERIFY2(lockError.isNull(), qPrintable(lockError));
        QVERIFY2(holderError.isNull(), qPrintable(holderError));

        if (holdMs >= 0) {
            QVERIFY2(error.isNull(), qPrintable(error));
            QCOMPARE(scalar(db, "SELECT count(*) FROM message"), qint64(write ? 2 : 1));
            return;
        }
        QVERIFY2(error.contains(QStringLiteral("database is locked: another program or connection holds a lock on it "
                                               "(waited up to %1 ms)").arg(timeoutMs)),
                 qPrintable(error));
        QVERIFY2(waited >= timeoutMs * 9 / 10, qPrintable(QString::number(waited)));
        QVERIFY2(waited < timeoutMs + 10000, qPrintable(QString::number(waited)));
        QVERIFY(!db.inTransaction());
        QCOMPARE(scalar(db, "SELECT count(*) FROM message"), qint64(1));
    }

    void rollbackWithoutTransactionIsHarmless()
    {
        Sqlite3DB db;
        db.rollbackTran(); // closed
        makeMessages(db);
        db.rollbackTran(); // open, no transaction
        run(db, "INSERT INTO message (ROWID) VALUES (1)");
        db.beginTran();
        QVERIFY(db.inTransaction());
        QVERIFY(!thrownText([&] { db.beginTran(); }).isNull()); // no nesting; the open one stays
        QVERIFY(db.inTransaction());
        run(db, "INSERT INTO message (ROWID) VALUES (2)");
        db.commitTran();
        QVERIFY(!db.inTransaction());
        db.rollbackTran(); // after a commit
        QCOMPARE(scalar(db, "SELECT count(*) FROM message"), qint64(2));
        db.beginTran();
        run(db, "INSERT INTO message (ROWID) VALUES (3)");
        db.rollbackTran();
        db.rollbackTran();
        QCOMPARE(scalar(db, "SELECT count(*) FROM message"), qint64(2));
    }

    // Every Throw operation fails with a std::runtime_error naming what went wrong.
    void errorsThrowWithClearText_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<int>("params");
        QTest::addColumn<QString>("mentions");
        QTest::addColumn<int>("code");
        QTest::newRow("no such table") << "INSERT INTO nosuch VALUES (?)" << 1 << "no such table" << SQLITE_ERROR;
        QTest::newRow("syntax") << "SELEC 1" << 0 << "syntax error" << SQLITE_ERROR;
        QTest::newRow("duplicate key") << "INSERT INTO message (ROWID) VALUES (?)" << 1 << "UNIQUE"
                                       << SQLITE_CONSTRAINT_PRIMARYKEY;
        QTest::newRow("too few values") << "INSERT INTO message (ROWID, text) VALUES (?, ?)" << 1 << "placeholders"
                                        << SQLITE_RANGE;
        QTest::newRow("too many values") << "SELECT ?" << 2 << "placeholders" << SQLITE_RANGE;
        QTest::newRow("second statement would be dropped")
            << "INSERT INTO message (ROWID) VALUES (?); DELETE FROM message" << 1 << "More than one" << SQLITE_MISUSE;
        QTest::newRow("only a comment") << "-- nothing" << 0 << "No SQL statement" << SQLITE_MISUSE;
    }
    void errorsThrowWithClearText()
    {
        QFETCH(QString, sql);
        QFETCH(int, params);
        QFETCH(QString, mentions);
        QFETCH(int, code);
        Sqlite3DB db;
        makeMessages(db);
        run(db, "INSERT INTO message (ROWID) VALUES (1)");
        Sqlite3Sql statement(sql);
        for (int i = 0; i < params; ++i)
            statement.addIntParam(1);
        for (int query = 0; query < 2; ++query) {
            try {
                if (query)
                    db.queryThrow(statement);
                else
                    db.executeThrow(statement);
                QFAIL("no exception");
            } catch (const Sqlite3Exception &e) {
                const QString text = QString::fromUtf8(e.what());
                QVERIFY2(text.contains(mentions), qPrintable(text));
                QVERIFY2(text.contains(sql), qPrintable(text));
                QCOMPARE(e.code(), code);
            }
        }
        QCOMPARE(scalar(db, "SELECT count(*) FROM message"), qint64(1));
        // The connection stays usable, also for the statement that failed.
        run(db, Sqlite3Sql("INSERT INTO message (ROWID) VALUES (?)").addIntParam(2));
    }

    void operationsOnClosedDatabase()
    {
        Sqlite3DB db;
        QVERIFY(!thrownText([&] { db.executeThrow("SELECT 1"); }).isNull());
        QVERIFY(!thrownText([&] { db.queryThrow("SELECT 1"); }).isNull());
        QVERIFY(!thrownText([&] { db.beginTran(); }).isNull());
        QVERIFY(!thrownText([&] { db.commitTran(); }).isNull());
        QVERIFY(!thrownText([&] { db.tbInfo(QStringLiteral("t")); }).isNull());
        QString error;
        QVERIFY(db.exec(QStringLiteral("SELECT 1"), error) != 0);
        QVERIFY(!error.isEmpty());
        QCOMPARE(db.lastInsertId(), qint64(0));
        QCOMPARE(db.changes(), 0);
        QVERIFY(!db.inTransaction());
    }

    void execRunsScripts()
    {
        Sqlite3DB db;
        db.openThrow(file("s.db"), 6);
        QString error;
        QCOMPARE(db.exec(QStringLiteral("CREATE TABLE a (x); CREATE TABLE b (y); INSERT INTO a VALUES ('ü');"), error),
                 0);
        QVERIFY(error.isEmpty());
        QCOMPARE(db.changes(), 1);
        QVERIFY(db.exec(QStringLiteral("INSERT INTO a VALUES (1); INSERT INTO nosuch VALUES (2);"), error) != 0);
        QVERIFY2(error.contains(QStringLiteral("nosuch")), qPrintable(error));
    }

    // A cached "SELECT *" is prepared anew by SQLite after a schema change;
    // name lookups must follow the new columns.
    void columnNamesFollowSchemaChanges()
    {
        Sqlite3DB db;
        db.openThrow(file("c.db"), 6);
        run(db, "CREATE TABLE t (a)");
        run(db, "INSERT INTO t VALUES (1)");
        {
            Sqlite3Cursor c = db.queryThrow("SELECT * FROM t");
            QVERIFY(c.moveNext());
            QCOMPARE(c.getInt(QStringLiteral("b")), 0);
        }
        run(db, "ALTER TABLE t ADD COLUMN b DEFAULT 9");
        Sqlite3Cursor c = db.queryThrow("SELECT * FROM t");
        QVERIFY(c.moveNext());
        QCOMPARE(c.columnCount(), 2);
        QCOMPARE(c.getInt(QStringLiteral("B")), 9);
    }

    // A read that breaks in the middle of a result (a damaged page) must not
    // look like the end of the rows.
    void brokenReadThrowsInsteadOfEnding()
    {
        const QString path = file("broken.db");
        {
            Sqlite3DB db;
            db.openThrow(path, 6);
            run(db, "PRAGMA page_size = 1024");
            run(db, "CREATE TABLE t (v TEXT)");
            db.beginTran();
            for (int i = 0; i < 200; ++i)
                run(db, Sqlite3Sql("INSERT INTO t VALUES (?)").addTextParam(QString(300, QChar(u'a' + i % 26))));
            db.commitTran();
        }
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        const qint64 pages = f.size() / 1024;
        QVERIFY(pages > 40);
        for (qint64 p = pages / 2; p < pages / 2 + 10; ++p) {
            f.seek(p * 1024);
            f.write(QByteArray(1024, '\xA5'));
        }
        f.close();

        Sqlite3DB db;
        db.openThrow(path, 1);
        int rows = 0;
        const QString error = thrownText([&] {
            Sqlite3Cursor c = db.queryThrow("SELECT v FROM t");
            while (c.moveNext())
                ++rows;
        });
        QVERIFY(rows > 0);
        QVERIFY2(error.contains(QStringLiteral("malformed")), qPrintable(error));
    }

    // Kept statements: bound by position and run many times, values cleared
    // after each run, failures thrown with the SQL, gone with the close.
    void keptStatements()
    {
        Sqlite3DB db;
        makeMessages(db);
        const quint64 firstOpen = db.openSerial();
        const int prepared = db.preparedCount();
        sqlite3_stmt *insert = db.keptStatement("INSERT INTO message (ROWID, text) VALUES (?, ?)");
        sqlite3_stmt *find = db.keptStatement("SELECT ROWID FROM message WHERE text=?");
        QCOMPARE(db.preparedCount(), prepared + 2);
        for (int i = 1; i <= 3; ++i) {
            sqlite3_bind_int64(insert, 1, i * 10);
            const QByteArray text = QByteArray("row ") + QByteArray::number(i);
            sqlite3_bind_text(insert, 2, text.constData(), int(text.size()), SQLITE_STATIC);
            db.step(insert);
        }
        // No value left bound: a run without binding writes NULL text.
        db.step(insert);
        QCOMPARE(db.lastInsertId(), 31);
        sqlite3_bind_text(find, 1, "row 2", -1, SQLITE_STATIC);
        QCOMPARE(db.stepFirstInt64(find), 20);
        QCOMPARE(db.stepFirstInt64(find), 0); // text=NULL finds nothing
        QCOMPARE(db.preparedCount(), prepared + 2);

        // A refused row throws with the SQL, and the statement runs again.
        sqlite3_bind_int64(insert, 1, 20);
        try {
            db.step(insert);
            QFAIL("a taken rowid was written");
        } catch (const Sqlite3Exception &e) {
            QCOMPARE(e.code() & 0xff, SQLITE_CONSTRAINT);
            QVERIFY(e.message().contains("INSERT INTO message (ROWID, text)"));
        }
        sqlite3_bind_int64(insert, 1, 40);
        db.step(insert);
        QCOMPARE(db.lastInsertId(), 40);

        db.close();
        db.openThrow(file("msg.db"), 2);
        QVERIFY(db.openSerial() != firstOpen);
        QCOMPARE(db.stepFirstInt64(db.keptStatement("SELECT count(*) FROM message")), 5);
    }
};

QP_TEST_MAIN(TestSqliteQt)

} // namespace tst_sqlite_qt

#include "tst_sqlite_qt.moc"
