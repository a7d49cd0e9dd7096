#include "tests/support/addressbookfixture.h"

#include "tests/support/sqlitefixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <stdexcept>

namespace testsupport {

namespace {
QString bookFolder(const QString &cacheDir)
{
    const QString folder = QDir(cacheDir).absoluteFilePath("file-relay/var/mobile/Library/AddressBook");
    QDir().mkpath(folder);
    return folder;
}
} // namespace

QString writeAddressBook(const QString &cacheDir, const QList<AddressBookPerson> &people)
{
    const QString path = bookFolder(cacheDir) + "/AddressBook.sqlitedb";
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

QString writeAddressBookImages(const QString &cacheDir, const QList<AddressBookImage> &images)
{
    const QString path = bookFolder(cacheDir) + "/AddressBookImages.sqlitedb";
    QFile::remove(path);
    SqliteFixture db(path);
    db.exec("CREATE TABLE ABThumbnailImage (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, record_id INTEGER, "
            "format INTEGER, derived_from_format INTEGER, data BLOB);");
    for (const AddressBookImage &image : images)
        db.run("INSERT INTO ABThumbnailImage(record_id, format, derived_from_format, data) VALUES(?,0,0,?)",
               {image.recordId, image.data});
    return path;
}

void setFileMTime(const QString &path, qint64 secsSinceEpoch)
{
    QFile file(path);
    const QDateTime time = QDateTime::fromSecsSinceEpoch(secsSinceEpoch);
    if (!file.open(QIODevice::ReadOnly) || !file.setFileTime(time, QFileDevice::FileModificationTime)
        || !file.setFileTime(time, QFileDevice::FileAccessTime))
        throw std::runtime_error(QString("set time of %1: %2").arg(path, file.errorString()).toStdString());
}

} // namespace testsupport
