#include "store/resolvedcursor.h"

#include "platform/sqlite_qt/sqlite3stmt.h"

#include <sqlite3.h>

namespace {
// Past this many distinct values a column is not one that repeats; sharing
// would only grow the table.
constexpr int kMaxShared = 4096;
} // namespace

ResolvedCursor::ResolvedCursor(const Sqlite3Cursor &cursor) : m_cursor(cursor) {}

sqlite3_stmt *ResolvedCursor::row(int col) const
{
    Sqlite3Stmt *stmt = m_cursor.statement();
    if (col < 0 || !stmt || !stmt->onRow() || col >= stmt->columnCount())
        return nullptr;
    return stmt->handle();
}

int ResolvedCursor::getInt(int col) const
{
    sqlite3_stmt *s = row(col);
    return s ? sqlite3_column_int(s, col) : 0;
}

qint64 ResolvedCursor::getInt64(int col) const
{
    sqlite3_stmt *s = row(col);
    return s ? sqlite3_column_int64(s, col) : 0;
}

QString ResolvedCursor::getText(int col) const
{
    sqlite3_stmt *s = row(col);
    if (!s)
        return QString();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, col));
    if (!text)
        return QString();
    const int bytes = sqlite3_column_bytes(s, col);
    return bytes == 0 ? QStringLiteral("") : QString::fromUtf8(text, bytes);
}

QByteArray ResolvedCursor::getBlob(int col) const
{
    sqlite3_stmt *s = row(col);
    if (!s || sqlite3_column_type(s, col) == SQLITE_NULL)
        return QByteArray();
    const void *data = sqlite3_column_blob(s, col);
    const int bytes = sqlite3_column_bytes(s, col);
    if (!data || bytes == 0)
        return QByteArray("", 0);
    return QByteArray(static_cast<const char *>(data), bytes);
}

int ResolvedCursor::getBytes(int col) const
{
    sqlite3_stmt *s = row(col);
    if (!s || sqlite3_column_type(s, col) == SQLITE_NULL)
        return 0;
    return sqlite3_column_bytes(s, col);
}

QString ResolvedCursor::getSharedText(int col)
{
    sqlite3_stmt *s = row(col);
    if (!s)
        return QString();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, col));
    if (!text)
        return QString();
    const int bytes = sqlite3_column_bytes(s, col);
    // Looked up without copying the bytes; copied only when first seen.
    const QByteArray key = QByteArray::fromRawData(text, bytes);
    const auto it = m_shared.constFind(key);
    if (it != m_shared.constEnd())
        return *it;
    const QString value = bytes == 0 ? QStringLiteral("") : QString::fromUtf8(text, bytes);
    if (m_shared.size() < kMaxShared)
        m_shared.insert(QByteArray(text, bytes), value);
    return value;
}
