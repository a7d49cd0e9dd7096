#pragma once
// The contacts cache "ct-phone.db": the names, photos and normalised phone
// numbers of an iPhone's address book, condensed so that a handle's
// normalised address finds its person by plain text equality.
#include "store/absdb.h"

#include <QByteArray>
#include <QDir>
#include <QString>

// A person found in the contacts cache; all fields empty when none was found.
struct _ContactPerson
{
    QString first;
    QString middle;
    QString last;
    QByteArray photo;
};

// Over the cache folder of one phone. The cache is rebuilt from the address
// book copied below "file-relay" whenever the address book (or its "-wal")
// is newer than the cache, and is then used read-only.
class IOSContactsMemDb : public AbsDb
{
public:
    IOSContactsMemDb(const QDir &cacheDir, const QString &mcc);
    ~IOSContactsMemDb() override;

    // Without an address book the connection stays closed. Otherwise rebuilds
    // the cache when it is older than the address book and opens it
    // read-only. A failed rebuild leaves the old cache as it was: when there
    // is one, the failure is logged as a warning and the old cache is opened;
    // otherwise it throws and leaves no file behind.
    void open() override;

    // The person with this normalised number (CountryLibDb::normalizeNumber);
    // an empty person when there is none or no address book.
    _ContactPerson lookup(const QString &number);

    // Paths of the files this cache reads and writes, inside cacheDir.
    static QString cachePath(const QDir &cacheDir);
    static QString addressBookPath(const QDir &cacheDir);
    static QString imagesPath(const QDir &cacheDir);

private:
    void rebuild(const QString &bookPath, const QString &imagesFile, int sourceTime);
    void fill(const QString &bookPath, const QString &imagesFile);

    QDir cacheDir;
    QString mcc;
};

// The display name: first, then middle and last trimmed, each after one
// blank when not empty; the whole trimmed.
QString fullName(const _ContactPerson &person);

// The file's modification time in seconds since 1970; 0 when it cannot be read.
int fileMTime(const QString &path);
