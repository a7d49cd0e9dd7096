#pragma once
// An iPhone address book as the program finds it in a phone's cache folder
// (below "file-relay/var/mobile/Library/AddressBook"): the people, their
// phone numbers and e-mail addresses, and the thumbnails in the images file.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

struct AddressBookPerson
{
    qint64 rowid = 0;
    QString first, middle, last;
    QStringList phones; // ABMultiValue property 3, written as given
    QStringList emails; // ABMultiValue property 4
};

struct AddressBookImage
{
    qint64 recordId = 0;
    QByteArray data;
};

// Writes "AddressBook.sqlitedb" below cacheDir (creating the folders),
// replacing any file there; answers its path. Throws on failure.
QString writeAddressBook(const QString &cacheDir, const QList<AddressBookPerson> &people);
// Writes "AddressBookImages.sqlitedb" beside it; the rows keep the list's order.
QString writeAddressBookImages(const QString &cacheDir, const QList<AddressBookImage> &images);

// The same two files inside a phone's own file tree (below phoneRoot +
// "/var/mobile/Library/AddressBook"), as a virtual iPhone holds them.
QString writePhoneAddressBook(const QString &phoneRoot, const QList<AddressBookPerson> &people);
QString writePhoneAddressBookImages(const QString &phoneRoot, const QList<AddressBookImage> &images);

// Sets a file's access and modification time (seconds since 1970), so that
// tests order file times without sleeping. Throws when the file cannot be set.
void setFileMTime(const QString &path, qint64 secsSinceEpoch);

} // namespace testsupport
