#pragma once
// Column layouts of the phone's message tables, as the carver matches deleted
// rows against them: names, declared types and the three flags of each column
// in table order, column 0 being the INTEGER PRIMARY KEY.
#include "platform/sqlite_qt/sqlitecol.h"

#include <QList>

// The handle table: ROWID, id, country, service, uncanonicalized_id.
QList<_SqliteCol> carveHandleLayout();
// The first columnCount columns (38: an iOS 6 phone, 51: later phones up to
// message_source) of the message table; other counts are cut to 2..51.
QList<_SqliteCol> carveMessageLayout(int columnCount);
// The first columnCount columns (33, 32 or 17: the sets iOS 5 phones have)
// of the iOS 5 message table in the order the recovery knows it: the 17 base
// columns, the madrid_ columns, madrid_account_guid last. No column but ROWID
// carries a flag. Other counts are cut to 2..33.
QList<_SqliteCol> carveIos5MessageLayout(int columnCount);
