#include "platform/sqlite_qt/sqlite3exception.h"

Sqlite3Exception::Sqlite3Exception(const QString &message, int code)
    : std::runtime_error(message.toUtf8().toStdString()), m_code(code)
{
}
