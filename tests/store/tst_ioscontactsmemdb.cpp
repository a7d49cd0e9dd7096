#include "app/datafolder.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "store/ioscontactsmemdb.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/countryfixture.h"
#include "tests/support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

namespace tst_ioscontactsmemdb {

using namespace testsupport;

namespace {
const qint64 kTime = 1600000000; // 2020-09-13, any fixed time will do
const char kIndia[] = "404";

QList<AddressBookPerson> people()
{
    AddressBookPerson anna;
    anna.rowid = 7;
    anna.first = "Anna";
    anna.last = " Berg ";
    // Two spellings of one number are stored once.
    anna.phones = {"(98765) 432-10", "0 98765 43210"};
    AddressBookPerson carl;
    carl.rowid = 12;
    carl.first = "Carl";
    carl.middle = "J";
    carl.last = "Dietz";
    carl.phones = {"+49 170 1234567", "0112345678"};
    AddressBookPerson mail;
    mail.rowid = 15;
    mail.first = "Eva";
    mail.emails = {"eva@example.com"};
    return {anna, carl, mail};
}
} // namespace

class TestIOSContactsMemDb : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QDir cacheDir() const { return QDir(m_dir->path()); }
    QString bookPath() const { return IOSContactsMemDb::addressBookPath(cacheDir()); }
    QString cachePath() const { return IOSContactsMemDb::cachePath(cacheDir()); }

    // The entries of the cache folder besides the phone's files.
    QStringList cacheFolderFiles() const
    {
        QStringList names = cacheDir().entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        names.sort();
        return names;
    }

    QString nameOf(const QString &number)
    {
        IOSContactsMemDb db(cacheDir(), kIndia);
        return ::fullName(db.lookup(number));
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
    }

    void lookup_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("name");
        QTest::newRow("brackets, blanks and dash") << "+919876543210" << "Anna Berg";
        QTest::newRow("international form") << "+491701234567" << "Carl J Dietz";
        QTest::newRow("landline kept as digits") << "0112345678" << "Carl J Dietz";
        QTest::newRow("not normalised") << "9876543210" << "";
        QTest::newRow("e-mail only person") << "eva@example.com" << "";
        QTest::newRow("unknown") << "+15551234567" << "";
    }

    void lookup()
    {
        QFETCH(QString, number);
        QFETCH(QString, name);
        writeAddressBook(m_dir->path(), people());
        IOSContactsMemDb db(cacheDir(), kIndia);
        const _ContactPerson person = db.lookup(number);
        QCOMPARE(::fullName(person), name);
        if (name.isEmpty()) {
            QVERIFY(person.first.isEmpty() && person.middle.isEmpty() && person.last.isEmpty());
            QVERIFY(person.photo.isEmpty());
        }
    }

    void numbersStoredNormalisedOnce()
    {
        writeAddressBook(m_dir->path(), people());
        IOSContactsMemDb db(cacheDir(), kIndia);
        db.open();
        Sqlite3Cursor rows = db.queryThrow("select person_id, number from tel order by person_id, number");
        QStringList tel;
        while (rows.moveNext())
            tel << QString("%1 %2").arg(rows.getInt64("person_id")).arg(rows.getText("number"));
        QCOMPARE(tel, QStringList({"7 +919876543210", "12 +491701234567", "12 0112345678"}));
        // Opened read-only once built.
        QVERIFY_THROWS_EXCEPTION(std::exception, db.executeThrow("delete from tel"));
    }

    void noAddressBookStaysClosed()
    {
        IOSContactsMemDb db(cacheDir(), kIndia);
        db.open();
        QVERIFY(!db.isOpen());
        QVERIFY(::fullName(db.lookup("+919876543210")).isEmpty());
        QVERIFY(!QFileInfo::exists(cachePath()));
    }

    void cacheTakesSourceTime()
    {
        writeAddressBook(m_dir->path(), people());
        setFileMTime(bookPath(), kTime);
        IOSContactsMemDb(cacheDir(), kIndia).open();
        QCOMPARE(fileMTime(cachePath()), int(kTime));
        QCOMPARE(cacheFolderFiles(), QStringList({"ct-phone.db"}));
    }

    void bookWithoutAUsableTimeIsStillRead_data()
    {
        QTest::addColumn<qint64>("bookTime");
        QTest::newRow("epoch") << qint64(0);
        QTest::newRow("before 1970") << qint64(-86400);
    }
    void bookWithoutAUsableTimeIsStillRead()
    {
        QFETCH(qint64, bookTime);
        writeAddressBook(m_dir->path(), people());
        setFileMTime(bookPath(), bookTime);
        QCOMPARE(nameOf("+919876543210"), QString("Anna Berg"));
        QVERIFY(QFileInfo::exists(cachePath()));
    }

    // Rebuilt only when the address book (its "-wal" when there is one) is
    // newer than the cache: a changed book with its old time stays unseen.
    void rebuildOnlyWhenNewer()
    {
        QList<AddressBookPerson> book = people();
        writeAddressBook(m_dir->path(), book);
        setFileMTime(bookPath(), kTime);
        QCOMPARE(nameOf("+919876543210"), QString("Anna Berg"));

        AddressBookPerson newcomer;
        newcomer.rowid = 20;
        newcomer.first = "Nora";
        newcomer.phones = {"9123456789"};
        book << newcomer;
        writeAddressBook(m_dir->path(), book);
        setFileMTime(bookPath(), kTime);
        QCOMPARE(nameOf("+919123456789"), QString());

        setFileMTime(bookPath(), kTime + 100);
        QCOMPARE(nameOf("+919123456789"), QString("Nora"));
        QCOMPARE(fileMTime(cachePath()), int(kTime + 100));

        // An empty "-wal" beside a book that is not in WAL mode: only its
        // time counts, also when the book itself looks newer.
        newcomer.rowid = 21;
        newcomer.first = "Otto";
        newcomer.phones = {"9000000001"};
        book << newcomer;
        writeAddressBook(m_dir->path(), book);
        setFileMTime(bookPath(), kTime + 500);
        QFile wal(bookPath() + "-wal");
        QVERIFY(wal.open(QIODevice::WriteOnly));
        wal.close();
        setFileMTime(wal.fileName(), kTime + 50);
        QCOMPARE(nameOf("+919000000001"), QString());

        setFileMTime(wal.fileName(), kTime + 200);
        QCOMPARE(nameOf("+919000000001"), QString("Otto"));
        QCOMPARE(fileMTime(cachePath()), int(kTime + 200));
        QVERIFY(QFileInfo::exists(wal.fileName()));
    }

    void photos_data()
    {
        QTest::addColumn<bool>("withImages");
        QTest::newRow("no images file") << false;
        QTest::newRow("images file") << true;
    }

    void photos()
    {
        QFETCH(bool, withImages);
        writeAddressBook(m_dir->path(), people());
        if (withImages)
            writeAddressBookImages(m_dir->path(), {{7, "first"}, {99, "nobody"}, {7, "second"}, {12, QByteArray("\x89PNG\0\1", 6)}});
        IOSContactsMemDb db(cacheDir(), kIndia);
        QCOMPARE(db.lookup("+919876543210").photo, withImages ? QByteArray("second") : QByteArray());
        QCOMPARE(db.lookup("+491701234567").photo, withImages ? QByteArray("\x89PNG\0\1", 6) : QByteArray());
        Sqlite3Cursor count = db.queryThrow("select count(*) as n from person");
        QVERIFY(count.moveNext());
        QCOMPARE(count.getInt("n"), 3);
    }

    void fullName_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("middle");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("name");
        QTest::newRow("first and padded last") << "Anna" << "" << " Berg " << "Anna Berg";
        QTest::newRow("only last") << "" << "" << "Berg" << "Berg";
        QTest::newRow("all empty") << "" << "" << "" << "";
        QTest::newRow("all three") << "Anna" << " Maria " << "Berg" << "Anna Maria Berg";
        QTest::newRow("blank middle") << "Anna" << "  " << "Berg" << "Anna Berg";
        QTest::newRow("first keeps inner blanks") << "Anna " << "" << "Berg" << "Anna  Berg";
        QTest::newRow("only first, padded") << " Anna " << "" << "" << "Anna";
    }

    void fullName()
    {
        QFETCH(QString, first);
        QFETCH(QString, middle);
        QFETCH(QString, last);
        QFETCH(QString, name);
        QCOMPARE(::fullName({first, middle, last, QByteArray()}), name);
    }

    // A half-built cache would look newer than the address book and never be
    // rebuilt: a failed rebuild leaves no work file and no cache of its own.
    // An older cache stays as it was and keeps naming people; the next open
    // tries again.
    void failedRebuild_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<bool>("oldCache");
        for (bool oldCache : {true, false}) {
            const char *with = oldCache ? ", old cache" : ", no cache yet";
            QTest::addRow("not a database%s", with) << QByteArray("garbage") << oldCache;
            QTest::addRow("truncated book%s", with) << QByteArray("truncated") << oldCache;
            QTest::addRow("table missing%s", with) << QByteArray("no-multivalue") << oldCache;
            QTest::addRow("no country database%s", with) << QByteArray("no-countries") << oldCache;
        }
    }

    void failedRebuild()
    {
        QFETCH(QByteArray, kind);
        QFETCH(bool, oldCache);
        if (oldCache) {
            // A cache from an older address book.
            writeAddressBook(m_dir->path(), people());
            setFileMTime(bookPath(), kTime);
            IOSContactsMemDb(cacheDir(), kIndia).open();
            QCOMPARE(fileMTime(cachePath()), int(kTime));
        }

        // The newer address book cannot be read.
        QList<AddressBookPerson> newer = people();
        newer[0].first = "Annette";
        writeAddressBook(m_dir->path(), newer);
        if (kind == "garbage") {
            QFile f(bookPath());
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(QByteArray(2048, 'x'));
        } else if (kind == "truncated") {
            QVERIFY(QFile::resize(bookPath(), QFileInfo(bookPath()).size() / 2));
        } else if (kind == "no-multivalue") {
            QFile::remove(bookPath());
            Sqlite3DB raw;
            raw.openThrow(bookPath(), 6);
            raw.executeThrow("create table ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT, Middle TEXT)");
            raw.executeThrow("insert into ABPerson values(1, 'Ida', '', '')");
        } else {
            QFile::remove(appDataDir().absoluteFilePath("countries.db"));
            QDir().mkpath(appDataDir().absoluteFilePath("countries.db")); // a folder where the file belongs
        }
        setFileMTime(bookPath(), kTime + 100);

        IOSContactsMemDb db(cacheDir(), kIndia);
        if (oldCache) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^rebuild IOSContactsMemDb error. .+"));
            db.open();
            QVERIFY(db.isOpen());
            QCOMPARE(::fullName(db.lookup("+919876543210")), QString("Anna Berg"));
            QCOMPARE(::fullName(db.lookup("+491701234567")), QString("Carl J Dietz"));
            QCOMPARE(fileMTime(cachePath()), int(kTime));
            QCOMPARE(cacheFolderFiles(), QStringList({"ct-phone.db"}));
            db.close();
        } else {
            QVERIFY_THROWS_EXCEPTION(std::exception, db.open());
            QVERIFY(!db.isOpen());
            QCOMPARE(cacheFolderFiles(), QStringList());
            QVERIFY_THROWS_EXCEPTION(std::exception, db.lookup("+919876543210"));
            QCOMPARE(cacheFolderFiles(), QStringList());
        }

        // Mended sources: the next open builds the cache from the newer book.
        QDir().rmdir(appDataDir().absoluteFilePath("countries.db"));
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
        writeAddressBook(m_dir->path(), newer);
        setFileMTime(bookPath(), kTime + 200);
        QCOMPARE(::fullName(db.lookup("+919876543210")), QString("Annette Berg"));
        QCOMPARE(fileMTime(cachePath()), int(kTime + 200));
        QCOMPARE(cacheFolderFiles(), QStringList({"ct-phone.db"}));
    }

    void fileMTimeOfMissingFileIsZero()
    {
        QCOMPARE(fileMTime(m_dir->filePath("missing")), 0);
        QFile f(m_dir->filePath("t \u00e4.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        setFileMTime(f.fileName(), kTime);
        QCOMPARE(fileMTime(f.fileName()), int(kTime));
    }
};

QP_TEST_MAIN(TestIOSContactsMemDb)

} // namespace tst_ioscontactsmemdb

#include "tst_ioscontactsmemdb.moc"
