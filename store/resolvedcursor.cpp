#include "store/resolvedcursor.h"

#include <cstring>

namespace {
// Past this many distinct values a column is not one that repeats; sharing
// would only grow the table.
constexpr int kMaxShared = 4096;
} // namespace

ResolvedCursor::ResolvedCursor(const Sqlite3Cursor &cursor) : m_cursor(cursor) {}

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
    QByteArray bytes = peekBlob(col);
    // A copy of its own: the peeked bytes last only until the next step.
    if (!bytes.isNull())
        bytes.detach();
    return bytes;
}

QByteArray ResolvedCursor::peekBlob(int col) const
{
    sqlite3_stmt *s = row(col);
    if (!s || sqlite3_column_type(s, col) == SQLITE_NULL)
        return QByteArray();
    const void *data = sqlite3_column_blob(s, col);
    const int bytes = sqlite3_column_bytes(s, col);
    if (!data || bytes == 0)
        return QByteArray("", 0);
    return QByteArray::fromRawData(static_cast<const char *>(data), bytes);
}

int ResolvedCursor::getBytes(int col) const
{
    sqlite3_stmt *s = row(col);
    if (!s || sqlite3_column_type(s, col) == SQLITE_NULL)
        return 0;
    return sqlite3_column_bytes(s, col);
}

SharedText ResolvedCursor::getSharedText(int col)
{
    sqlite3_stmt *s = row(col);
    if (!s)
        return SharedText();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, col));
    if (!text)
        return SharedText();
    const int bytes = sqlite3_column_bytes(s, col);

    // Rows of one chat or account come in runs or rounds: most values are
    // one of the column's last few, found by comparing bytes, not hashing.
    if (m_recent.size() <= size_t(col))
        m_recent.resize(size_t(m_columns));
    Recent &recent = m_recent[size_t(col)];
    for (int i = 0; i < recent.used; ++i) {
        const QByteArray &seen = recent.bytes[i];
        if (seen.size() == bytes && std::memcmp(seen.constData(), text, size_t(bytes)) == 0)
            return recent.values[i];
    }

    // Looked up without copying the bytes; copied only when first seen.
    SharedText value;
    const auto it = m_shared.constFind(QByteArray::fromRawData(text, bytes));
    if (it != m_shared.constEnd()) {
        value = *it;
    } else {
        value = bytes == 0 ? QStringLiteral("") : QString::fromUtf8(text, bytes);
        if (m_shared.size() < kMaxShared)
            m_shared.insert(QByteArray(text, bytes), value);
        else
            return value; // not a repeating column: remembered nowhere
    }
    const int slot = recent.next;
    recent.bytes[slot] = QByteArray(text, bytes);
    recent.values[slot] = value;
    recent.next = (slot + 1) % Recent::kSize;
    recent.used = qMax(recent.used, slot + 1);
    return value;
}
