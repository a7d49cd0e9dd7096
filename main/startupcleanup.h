#pragma once
// What the program's own runs leave behind when they are killed half-way,
// removed at the next start while this run holds the data folder's instance
// lock, so no live run's files are touched:
//   - work copies of a merge, "sms.db<digits>" with their SQLite side files,
//     beside the cached message database of a phone or backup cache;
//   - unfinished contacts caches, "ct-phone.db.XXXXXX" with their journals,
//     in the cache folder of any message database.
// Names of the program's own only: nothing else in those folders is looked at.
#include <QDir>
#include <QStringList>

// Removes the leftovers below dataFolder; answers the paths it removed.
QStringList removeLeftovers(const QDir &dataFolder);
