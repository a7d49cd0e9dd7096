#include "platform/sqlite_qt/sqlite_qt.h"

int sqlite_qt_version()
{
    return 5;
}
