#include "store/handlenaming.h"

#include "store/ioscontactsmemdb.h"
#include "store/msgrecords.h"

#include <QtGlobal>

#include <exception>

void nameFromContacts(IOSContactsMemDb &contacts, _MsgHandle *handle, const char *caller)
{
    if (!contacts.isOpen())
        return;
    try {
        const _ContactPerson person = contacts.lookup(handle->id);
        handle->_ct_name = fullName(person);
        handle->_photo = person.photo;
    } catch (const std::exception &e) {
        qWarning("%s", QStringLiteral("%1, IOSContactsMemDb error. %2")
                           .arg(QString::fromLatin1(caller), QString::fromUtf8(e.what()))
                           .toUtf8()
                           .constData());
    }
}

const _CountryInfo &cachedCountryBySn(CountryLibDb &db, CountryCache &cache, const QString &sn)
{
    const QString key = sn.isNull() ? QStringLiteral("") : sn;
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.insert(key, db.countryBySn(key));
    return *it;
}
