// An iPhone's address book: the input becomes both AddressBook.sqlitedb and
// AddressBookImages.sqlitedb of a phone's cache folder (one file can hold the
// tables of both), from which the contacts cache is built and then looked up.
#include "fuzz/fuzzenv.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "store/ioscontactsmemdb.h"

#include <QFileInfo>

#include <exception>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzenv::Scratch scratch;
    const QDir cacheDir = scratch.dir();
    if (!fuzzenv::writeFile(IOSContactsMemDb::addressBookPath(cacheDir), data, size)
        || !fuzzenv::writeFile(IOSContactsMemDb::imagesPath(cacheDir), data, size))
        return 0;
    IOSContactsMemDb contacts(cacheDir, QStringLiteral("404"));
    quint64 sum = 0;
    try {
        contacts.open();
        // Every number the cache holds (a few), and one it cannot hold.
        QStringList numbers{QString(), QStringLiteral("+4917012345678")};
        if (QFileInfo::exists(IOSContactsMemDb::cachePath(cacheDir))) {
            Sqlite3DB cache;
            cache.openThrow(IOSContactsMemDb::cachePath(cacheDir), 1);
            Sqlite3Cursor rows = cache.queryThrow(Sqlite3Sql("select number from tel order by rowid limit 16"));
            while (rows.moveNext())
                numbers.append(rows.getText(QStringLiteral("number")));
        }
        for (const QString &number : numbers) {
            const _ContactPerson person = contacts.lookup(number);
            sum += quint64(fullName(person).size()) + quint64(person.photo.size());
        }
    } catch (const std::exception &) {
    }
    fuzzenv::keep(sum);
    return 0;
}
