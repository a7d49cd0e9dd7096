// "manifest.db", the dates of a backup cache: its schema script byte for
// byte, "no date" told apart from a stored 0, one transaction per run that
// the destructor commits and close drops, and failures that only cost a copy.
#include "ios/itunescachedb.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"

#include <QTemporaryDir>

#include <memory>

namespace tst_itunescachedb {

using namespace testsupport;

namespace {

const QString kId = QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28");
const QString kOtherId = QStringLiteral("31bb7ba8914766d4ba40d6dfb6113c8b614be442");

} // namespace

class TestITunesCacheDb : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;

    QString dbPath() const { return dir->filePath("manifest.db"); }

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void schemaScriptIsKeptByteForByte()
    {
        QFile script(":/res/cache_db.sql");
        QVERIFY(script.open(QIODevice::ReadOnly));
        const QByteArray text = script.readAll();
        QCOMPARE(text, QByteArray("CREATE TABLE manifest (\r\n\tfile_name VARCHAR PRIMARY KEY,\r\n"
                                  "\tlast_date INTEGER NOT NULL\r\n);"));
        QCOMPARE(text.size(), 89);
        {
            ITunesCacheDb db(dbPath());
            QVERIFY(!db.lastDate(kId)); // creates the file
        }
        QCOMPARE(queryValue(dbPath(), "SELECT sql FROM sqlite_master WHERE name = 'manifest'").toString(),
                 QString::fromUtf8(text.chopped(1)));
    }

    void datesAreStoredAndTold_data()
    {
        QTest::addColumn<QList<qint32>>("writes");
        QTest::newRow("a date") << QList<qint32>{1404200000};
        QTest::newRow("zero is a date") << QList<qint32>{0};
        QTest::newRow("negative, past 2038") << QList<qint32>{qint32(quint32(3000000000u))};
        QTest::newRow("replaced") << QList<qint32>{1404200000, 1404200999};
        QTest::newRow("written twice alike") << QList<qint32>{7, 7};
    }
    void datesAreStoredAndTold()
    {
        QFETCH(QList<qint32>, writes);
        {
            ITunesCacheDb db(dbPath());
            QCOMPARE(db.lastDate(kId), std::nullopt);
            for (qint32 date : writes)
                db.setLastDate(kId, date);
            QCOMPARE(db.lastDate(kId), std::optional<qint32>(writes.last()));
            QCOMPARE(db.lastDate(kOtherId), std::nullopt);
        }
        // Committed by the destructor, one row per id.
        QCOMPARE(queryRows(dbPath(), "SELECT file_name, last_date FROM manifest"),
                 (QList<QVariantList>{{kId, qlonglong(writes.last())}}));
        ITunesCacheDb again(dbPath());
        QCOMPARE(again.lastDate(kId), std::optional<qint32>(writes.last()));
    }

    // Dropped before the cache folder goes, so no date of a removed copy is
    // committed afterwards.
    void closeDropsTheRunsDates()
    {
        {
            ITunesCacheDb db(dbPath());
            db.setLastDate(kId, 5);
        }
        {
            ITunesCacheDb db(dbPath());
            db.setLastDate(kOtherId, 6);
            db.setLastDate(kId, 9);
            db.close();
            QVERIFY(!db.db.isOpen());
        }
        QCOMPARE(queryRows(dbPath(), "SELECT file_name, last_date FROM manifest"),
                 (QList<QVariantList>{{kId, 5LL}}));
    }

    void unusableDatabaseAnswersNoDate_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("not a database") << "garbage";
        QTest::newRow("no such table") << "empty database";
        QTest::newRow("folder cannot be written") << "no folder";
    }
    void unusableDatabaseAnswersNoDate()
    {
        QFETCH(QString, kind);
        QString path = dbPath();
        if (kind == "garbage") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(4096, 'x'));
        } else if (kind == "empty database") {
            SqliteFixture(path).exec("CREATE TABLE other(x);");
        } else {
            path = dir->filePath("missing/manifest.db");
        }
        {
            ITunesCacheDb db(path);
            QCOMPARE(db.lastDate(kId), std::nullopt);
            db.setLastDate(kId, 5); // swallowed
            QCOMPARE(db.lastDate(kId), std::nullopt);
        }
        // A creation that failed leaves no file behind.
        if (kind == "no folder")
            QVERIFY(!QFile::exists(path));
    }
};

QP_TEST_MAIN(TestITunesCacheDb)

} // namespace tst_itunescachedb

#include "tst_itunescachedb.moc"
