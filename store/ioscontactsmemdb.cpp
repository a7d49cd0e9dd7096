#include "store/ioscontactsmemdb.h"

#include "platform/sqlite_qt/sqlite_qt.h"
#include "store/countrylibdb.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtDebug>

#include <sqlite3.h>

#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>
#include <utime.h>

namespace {

const char kSchema[] =
    "CREATE TABLE person(  rowid INTEGER PRIMARY KEY,  first TEXT,  last TEXT,  middle TEXT,  photo BLOB);"
    "CREATE TABLE tel(  person_id INTEGER,  number TEXT,  UNIQUE(person_id, number));"
    "CREATE INDEX index_tel_number on tel(number);";

const char kAddressBookDir[] = "file-relay/var/mobile/Library/AddressBook/";

[[noreturn]] void throwUtf8(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

void setFileTimes(const QString &path, int time)
{
    struct utimbuf times;
    times.actime = time;
    times.modtime = time;
    ::utime(QFile::encodeName(path).constData(), &times);
}

} // namespace

IOSContactsMemDb::IOSContactsMemDb(const QDir &cacheDir, const QString &mcc)
    : cacheDir(cacheDir)
    , mcc(mcc)
{
}

IOSContactsMemDb::~IOSContactsMemDb() = default;

QString IOSContactsMemDb::cachePath(const QDir &cacheDir)
{
    return cacheDir.absoluteFilePath(QStringLiteral("ct-phone.db"));
}

QString IOSContactsMemDb::addressBookPath(const QDir &cacheDir)
{
    return cacheDir.absoluteFilePath(QLatin1String(kAddressBookDir) + QLatin1String("AddressBook.sqlitedb"));
}

QString IOSContactsMemDb::imagesPath(const QDir &cacheDir)
{
    return cacheDir.absoluteFilePath(QLatin1String(kAddressBookDir) + QLatin1String("AddressBookImages.sqlitedb"));
}

void IOSContactsMemDb::open()
{
    if (handle())
        return;
    const QString cache = cachePath(cacheDir);
    const QString book = addressBookPath(cacheDir);
    if (!QFileInfo::exists(book))
        return;
    // A phone in WAL mode keeps its latest changes in the "-wal" file, whose
    // time then tells the age of the address book.
    const QString wal = book + QLatin1String("-wal");
    const int sourceTime = QFileInfo::exists(wal) ? fileMTime(wal) : fileMTime(book);
    const int cacheTime = fileMTime(cache);
    // A book without a usable time (0 or before 1970, as archives can leave
    // it) is never newer than a missing cache: build the cache all the same.
    if (sourceTime > cacheTime || !QFileInfo::exists(cache)) {
        try {
            rebuild(book, imagesPath(cacheDir), sourceTime);
        } catch (const std::exception &e) {
            // The names of an older address book beat no names at all. The
            // old cache keeps its old time, so the next open tries again.
            if (!QFileInfo::exists(cache))
                throw;
            qWarning("%s", QString("rebuild IOSContactsMemDb error. %1")
                               .arg(QString::fromUtf8(e.what()))
                               .toUtf8()
                               .constData());
        }
    }
    openThrow(cache, 1);
}

void IOSContactsMemDb::rebuild(const QString &bookPath, const QString &imagesFile, int sourceTime)
{
    qDebug("rebuild IOSContactsMemDb.");
    const QString cache = cachePath(cacheDir);

    // The cache is written beside its final place and replaces the old one
    // only when it is complete: a half-built file would look newer than the
    // address book and never be rebuilt, and until then the old cache still
    // names the people it knew.
    QString work;
    {
        QTemporaryFile file(cache + QLatin1String(".XXXXXX"));
        file.setAutoRemove(false);
        if (!file.open())
            throwUtf8(QString("create IOSContactsMemDb error. %1").arg(file.errorString()));
        work = file.fileName();
    }
    try {
        openThrow(work, 6);
        char *error = nullptr;
        if (sqlite3_exec(handle(), kSchema, nullptr, nullptr, &error) != SQLITE_OK) {
            const QString text = QString::fromUtf8(error ? error : sqlite3_errmsg(handle()));
            sqlite3_free(error);
            throwUtf8(QString("create IOSContactsMemDb error. %1").arg(text));
        }
        fill(bookPath, imagesFile);
        close();
    } catch (...) {
        try {
            endTransaction(false);
        } catch (...) {
        }
        close();
        QFile::remove(work);
        QFile::remove(work + QLatin1String("-journal"));
        throw;
    }
    // Equal times on the next open of unchanged files: no rebuild.
    setFileTimes(work, sourceTime);
    if (::rename(QFile::encodeName(work).constData(), QFile::encodeName(cache).constData()) != 0) {
        QFile::remove(work);
        throwUtf8(QString("can not create %1.").arg(cache));
    }
}

void IOSContactsMemDb::fill(const QString &bookPath, const QString &imagesFile)
{
    CountryLibDb countries(mcc);
    const _CountryInfo country = countries.defaultCountry();

    Sqlite3DB book;
    book.openThrow(bookPath, 2);
    beginTransaction();
    {
        Sqlite3Cursor persons = book.queryThrow(Sqlite3Sql("select rowid, first, last, middle from ABPerson"));
        while (persons.moveNext()) {
            Sqlite3Sql insert("insert into person(rowid, first, last, middle) values(?,?,?,?)");
            insert.addInt64Param(persons.getInt64("rowid"))
                .addTextParam(persons.getText("first"))
                .addTextParam(persons.getText("last"))
                .addTextParam(persons.getText("middle"));
            executeThrow(insert);
        }
    }
    {
        Sqlite3Cursor numbers = book.queryThrow(Sqlite3Sql("select record_id, value from ABMultiValue where property=3"));
        while (numbers.moveNext()) {
            Sqlite3Sql insert("replace into tel(person_id, number) values(?,?)");
            insert.addInt64Param(numbers.getInt64("record_id"))
                .addTextParam(CountryLibDb::normalizeNumber(country, numbers.getText("value")));
            executeThrow(insert);
        }
    }
    book.close();

    if (QFileInfo::exists(imagesFile)) {
        Sqlite3DB images;
        images.openThrow(imagesFile, 2);
        Sqlite3Cursor rows = images.queryThrow(Sqlite3Sql("select record_id, data from ABThumbnailImage"));
        while (rows.moveNext()) {
            Sqlite3Sql update("update person set photo=? where rowid=?");
            update.addBlobParam(rows.getBlob("data")).addInt64Param(rows.getInt64("record_id"));
            executeThrow(update);
        }
    }
    endTransaction(true);
}

_ContactPerson IOSContactsMemDb::lookup(const QString &number)
{
    open();
    _ContactPerson person;
    if (!handle())
        return person;
    Sqlite3Sql sql("select p.* from person as p inner join tel as t on p.rowid=t.person_id and t.number=?");
    sql.addTextParam(number.isNull() ? QString(QLatin1String("")) : number);
    Sqlite3Cursor cursor = queryThrow(sql);
    if (cursor.moveNext()) {
        person.first = cursor.getText("first");
        person.middle = cursor.getText("middle");
        person.last = cursor.getText("last");
        person.photo = cursor.getBlob("photo");
    }
    return person;
}

QString fullName(const _ContactPerson &person)
{
    QString name = person.first;
    const QString middle = person.middle.trimmed();
    if (!middle.isEmpty())
        name += QLatin1Char(' ') + middle;
    const QString last = person.last.trimmed();
    if (!last.isEmpty())
        name += QLatin1Char(' ') + last;
    return name.trimmed();
}

int fileMTime(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return int(st.st_mtime);
}
