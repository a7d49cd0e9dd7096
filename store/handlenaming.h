#pragma once
// Normalising and naming the handles of a message database while it is read.
#include <QHash>
#include <QString>

#include "store/countrylibdb.h"

class IOSContactsMemDb;
struct _MsgHandle;

// When the contacts cache is open, sets the handle's _ct_name and _photo from
// the person with the handle's id, both empty when nobody has it. A failing
// lookup is logged as "<caller>, IOSContactsMemDb error. <text>" and leaves
// the handle as it was.
void nameFromContacts(IOSContactsMemDb &contacts, _MsgHandle *handle, const char *caller);

// CountryLibDb::countryBySn, asked once per code for the length of one read:
// a phone has thousands of handles under a handful of countries.
using CountryCache = QHash<QString, _CountryInfo>;
const _CountryInfo &cachedCountryBySn(CountryLibDb &db, CountryCache &cache, const QString &sn);
