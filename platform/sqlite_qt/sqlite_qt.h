#pragma once
// The database library in one include: connection, SQL with bound values,
// cursors and rows over SQLite 3.
#include "platform/sqlite_qt/sqlite3connection.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "platform/sqlite_qt/sqlite3exception.h"
#include "platform/sqlite_qt/sqlite3row.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "platform/sqlite_qt/sqlite3stmt.h"
#include "platform/sqlite_qt/sqlitecol.h"

// The interface generation of this library; the program refuses to start
// against any other.
int sqlite_qt_version();
