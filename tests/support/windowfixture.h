#pragma once
// What the main window finds in the data folder: local databases, the folders
// of "virtual_ios" and "virtual_android" phones, and the small state files.
// Every folder holds a message database of the local layout, written through
// messagedbfixture (never through the code under test).
#include "tests/support/messagedbfixture.h"
#include "tests/support/virtualiphonefixture.h"

#include <QString>
#include <QStringList>

namespace testsupport {

// A phone's worth of conversations as people have them: named contacts, a
// number without a name, an e-mail handle on iMessage, a group of three with
// a display name, emoji, a long message and a text with markup characters.
// Dates count up with the rowid (seconds since 2001), so the list's date
// order is the rowid order.
MsgFixtureContent typicalConversations();

// The n-th phone a test plugs in: typicalIPhone in folder folderStem<n>,
// holding the typical conversations, its unique id udidStem followed by n in
// two digits, so that no two phones of a test share a cache.
VirtualIPhoneSetup numberedIPhone(int n, const QString &folderStem, const QString &udidStem,
                                  const QString &productVersion);

// One one-to-one chat per title (its handle's contact name), in order; the
// messages go to the chats in turn, dated one minute apart in list order.
MsgFixtureContent conversationsWithTexts(const QStringList &titles, const QStringList &texts);

// Writes the content as a message-database folder dataDir/area/name (area:
// "local_databases", "virtual_ios", "virtual_android") and answers the folder.
QString writeWindowDb(const QString &dataDir, const QString &area, const QString &name,
                      const MsgFixtureContent &content);
// A folder whose message database is no database at all.
QString writeBrokenWindowDb(const QString &dataDir, const QString &area, const QString &name);
// Adds one message to the database in folder (a fresh rowid, newest date,
// joined to the chat).
void appendMessage(const QString &folder, qint64 chatRowid, const QString &text);

// Removes what a window reads or writes from the data folder.
void clearWindowData(const QString &dataDir);

} // namespace testsupport
