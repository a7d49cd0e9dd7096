#include "tests/support/addressbookfixture.h"

#include "tests/support/sqlitefixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <stdexcept>

namespace testsupport {

namespace {
const char *const kBookInPhone = "var/mobile/Library/AddressBook";

QString bookFolder(const QString &cacheDir)
{
    const QString folder = QDir(cacheDir).absoluteFilePath(QString("file-relay/") + kBookInPhone);
    QDir().mkpath(folder);
    return folder;
}

QString phoneBookFolder(const QString &phoneRoot)
{
    const QString folder = QDir(phoneRoot).absoluteFilePath(kBookInPhone);
    QDir().mkpath(folder);
    return folder;
}

QString writeBook(const QString &folder, const QList<AddressBookPerson> &people);
QString writeImages(const QString &folder, const QList<AddressBookImage> &images);
} // namespace

QString writeAddressBook(const QString &cacheDir, const QList<AddressBookPerson> &people)
{
    return writeBook(bookFolder(cacheDir), people);
}

QString writeAddressBookImages(const QString &cacheDir, const QList<AddressBookImage> &images)
{
    return writeImages(bookFolder(cacheDir), images);
}

QString writePhoneAddressBook(const QString &phoneRoot, const QList<AddressBookPerson> &people)
{
    return writeBook(phoneBookFolder(phoneRoot), people);
}

QString writePhoneAddressBookImages(const QString &phoneRoot, const QList<AddressBookImage> &images)
{
    return writeImages(phoneBookFolder(phoneRoot), images);
}

namespace {
QString writeBook(const QString &folder, const QList<AddressBookPerson> &people)
{
    const QString path = folder + "/AddressBook.sqlitedb";
    QFile::remove(path);
    SqliteFixture db(path);
    // The phone's own spelling of the names, upper-case ROWID included.
    db.exec("CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last TEXT, Middle TEXT, "
            "Organization TEXT, Note TEXT);"
            "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, "
            "identifier INTEGER, label INTEGER, value TEXT);");
    db.exec("BEGIN");
    for (const AddressBookPerson &p : people) {
        db.run("INSERT INTO ABPerson(ROWID, First, Last, Middle) VALUES(?,?,?,?)",
               {p.rowid, p.first.isNull() ? QVariant() : QVariant(p.first),
                p.last.isNull() ? QVariant() : QVariant(p.last), p.middle.isNull() ? QVariant() : QVariant(p.middle)});
        int identifier = 0;
        for (const QString &phone : p.phones)
            db.run("INSERT INTO ABMultiValue(record_id, property, identifier, label, value) VALUES(?,3,?,1,?)",
                   {p.rowid, identifier++, phone});
        for (const QString &mail : p.emails)
            db.run("INSERT INTO ABMultiValue(record_id, property, identifier, label, value) VALUES(?,4,?,2,?)",
                   {p.rowid, identifier++, mail});
    }
    db.exec("COMMIT");
    return path;
}

QString writeImages(const QString &folder, const QList<AddressBookImage> &images)
{
    const QString path = folder + "/AddressBookImages.sqlitedb";
    QFile::remove(path);
    SqliteFixture db(path);
    db.exec("CREATE TABLE ABThumbnailImage (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, record_id INTEGER, "
            "format INTEGER, derived_from_format INTEGER, data BLOB);");
    for (const AddressBookImage &image : images)
        db.run("INSERT INTO ABThumbnailImage(record_id, format, derived_from_format, data) VALUES(?,0,0,?)",
               {image.recordId, image.data});
    return path;
}
} // namespace

void setFileMTime(const QString &path, qint64 secsSinceEpoch)
{
    QFile file(path);
    const QDateTime time = QDateTime::fromSecsSinceEpoch(secsSinceEpoch);
    if (!file.open(QIODevice::ReadOnly) || !file.setFileTime(time, QFileDevice::FileModificationTime)
        || !file.setFileTime(time, QFileDevice::FileAccessTime))
        throw std::runtime_error(QString("set time of %1: %2").arg(path, file.errorString()).toStdString());
}

} // namespace testsupport
