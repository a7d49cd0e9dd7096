#include "platform/sqlite_qt/sqlite3cursor.h"

#include "platform/sqlite_qt/sqlite3stmt.h"

#include <sqlite3.h>

Sqlite3Cursor::Sqlite3Cursor() = default;

Sqlite3Cursor::Sqlite3Cursor(std::shared_ptr<Sqlite3Stmt> stmt) : m_stmt(std::move(stmt)) {}

bool Sqlite3Cursor::moveNext()
{
    return m_stmt && m_stmt->next();
}

int Sqlite3Cursor::rowIndex(const QString &col) const
{
    if (!m_stmt || !m_stmt->onRow())
        return -1;
    return m_stmt->columnIndex(col);
}

int Sqlite3Cursor::getInt(const QString &col) const
{
    const int i = rowIndex(col);
    return i < 0 ? 0 : sqlite3_column_int(m_stmt->handle(), i);
}

qint64 Sqlite3Cursor::getInt64(const QString &col) const
{
    const int i = rowIndex(col);
    return i < 0 ? 0 : sqlite3_column_int64(m_stmt->handle(), i);
}

qint64 Sqlite3Cursor::getInt64(int index) const
{
    if (!m_stmt || !m_stmt->onRow() || index < 0 || index >= m_stmt->columnCount())
        return 0;
    return sqlite3_column_int64(m_stmt->handle(), index);
}

QString Sqlite3Cursor::getText(const QString &col) const
{
    const int i = rowIndex(col);
    if (i < 0)
        return QString();
    sqlite3_stmt *s = m_stmt->handle();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, i));
    if (!text)
        return QString();
    const int bytes = sqlite3_column_bytes(s, i);
    // The byte count, not strlen: text may hold NUL characters.
    return bytes == 0 ? QStringLiteral("") : QString::fromUtf8(text, bytes);
}

QByteArray Sqlite3Cursor::getBlob(const QString &col) const
{
    const int i = rowIndex(col);
    if (i < 0)
        return QByteArray();
    sqlite3_stmt *s = m_stmt->handle();
    if (sqlite3_column_type(s, i) == SQLITE_NULL)
        return QByteArray();
    const void *data = sqlite3_column_blob(s, i);
    const int bytes = sqlite3_column_bytes(s, i);
    if (!data || bytes == 0)
        return QByteArray("", 0);
    return QByteArray(static_cast<const char *>(data), bytes);
}

bool Sqlite3Cursor::isNull(const QString &col) const
{
    const int i = rowIndex(col);
    return i < 0 || sqlite3_column_type(m_stmt->handle(), i) == SQLITE_NULL;
}

double Sqlite3Cursor::getDouble(const QString &col) const
{
    const int i = rowIndex(col);
    return i < 0 ? 0.0 : sqlite3_column_double(m_stmt->handle(), i);
}

int Sqlite3Cursor::columnCount() const
{
    return m_stmt ? m_stmt->columnCount() : 0;
}

QString Sqlite3Cursor::columnName(int i) const
{
    if (!m_stmt || i < 0 || i >= m_stmt->columnCount())
        return QString();
    return QString::fromUtf8(sqlite3_column_name(m_stmt->handle(), i));
}

int Sqlite3Cursor::columnIndex(const QString &col) const
{
    return m_stmt ? m_stmt->columnIndex(col) : -1;
}

Sqlite3Row Sqlite3Cursor::getRow() const
{
    Sqlite3Row row;
    if (!m_stmt || !m_stmt->onRow())
        return row;
    sqlite3_stmt *s = m_stmt->handle();
    const int n = sqlite3_column_count(s);
    for (int i = 0; i < n; ++i) {
        const QString name = QString::fromUtf8(sqlite3_column_name(s, i));
        if (row.contains(name))
            continue;
        QVariant value;
        switch (sqlite3_column_type(s, i)) {
        case SQLITE_INTEGER:
            value = QVariant(qlonglong(sqlite3_column_int64(s, i)));
            break;
        case SQLITE_FLOAT:
            value = QVariant(sqlite3_column_double(s, i));
            break;
        case SQLITE_TEXT: {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, i));
            const int bytes = sqlite3_column_bytes(s, i);
            value = QVariant(bytes == 0 ? QStringLiteral("") : QString::fromUtf8(text, bytes));
            break;
        }
        case SQLITE_BLOB: {
            const void *data = sqlite3_column_blob(s, i);
            const int bytes = sqlite3_column_bytes(s, i);
            value = QVariant(bytes == 0 || !data ? QByteArray("", 0)
                                                 : QByteArray(static_cast<const char *>(data), bytes));
            break;
        }
        default:
            break;
        }
        row.insert(name, value);
    }
    return row;
}

int Sqlite3Cursor::count()
{
    return m_stmt ? m_stmt->count() : 0;
}
