#include "tests/support/sqlitefixture.h"

#include <QByteArray>
#include <QFile>

#include <sqlite3.h>

#include <stdexcept>

namespace testsupport {

namespace {
[[noreturn]] void fail(sqlite3 *db, const QString &what)
{
    throw std::runtime_error(QString("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(db))).toStdString());
}
} // namespace

SqliteFixture::SqliteFixture(const QString &path)
{
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        throw std::runtime_error(QString("open %1: %2").arg(path, text).toStdString());
    }
}

SqliteFixture::~SqliteFixture()
{
    sqlite3_close(m_db);
}

void SqliteFixture::exec(const QString &script)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, script.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
        const QString text = QString::fromUtf8(error);
        sqlite3_free(error);
        throw std::runtime_error(QString("%1: %2").arg(script, text).toStdString());
    }
}

void SqliteFixture::run(const QString &sql, const QVariantList &values)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        fail(m_db, sql);
    for (int i = 0; i < values.size(); ++i)
        bindValue(stmt, i + 1, values.at(i));
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW)
        fail(m_db, sql);
}

void bindValue(sqlite3_stmt *stmt, int index, const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        sqlite3_bind_null(stmt, index);
        break;
    case QMetaType::QByteArray: {
        const QByteArray bytes = v.toByteArray();
        if (bytes.isNull())
            sqlite3_bind_null(stmt, index);
        else
            sqlite3_bind_blob(stmt, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        break;
    }
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Bool:
        sqlite3_bind_int64(stmt, index, v.toLongLong());
        break;
    default: {
        const QString text = v.toString();
        if (text.isNull()) {
            sqlite3_bind_null(stmt, index);
        } else {
            const QByteArray bytes = text.toUtf8();
            sqlite3_bind_text(stmt, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        }
        break;
    }
    }
}

QVariant queryValue(const QString &path, const QString &sql)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        throw std::runtime_error(QString("%1: %2").arg(path, text).toStdString());
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        throw std::runtime_error(QString("%1: %2").arg(sql, text).toStdString());
    }
    QVariant value = QStringLiteral("<no row>");
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        switch (sqlite3_column_type(stmt, 0)) {
        case SQLITE_INTEGER:
            value = qlonglong(sqlite3_column_int64(stmt, 0));
            break;
        case SQLITE_FLOAT:
            value = sqlite3_column_double(stmt, 0);
            break;
        case SQLITE_TEXT:
            value = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)),
                                      sqlite3_column_bytes(stmt, 0));
            break;
        case SQLITE_BLOB:
            value = QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, 0)),
                               sqlite3_column_bytes(stmt, 0));
            break;
        default:
            value = QVariant();
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}

QList<QVariantList> queryRows(const QString &path, const QString &sql)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        throw std::runtime_error(QString("%1: %2").arg(path, text).toStdString());
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        throw std::runtime_error(QString("%1: %2").arg(sql, text).toStdString());
    }
    QList<QVariantList> rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        QVariantList row;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            switch (sqlite3_column_type(stmt, i)) {
            case SQLITE_INTEGER:
                row << qlonglong(sqlite3_column_int64(stmt, i));
                break;
            case SQLITE_FLOAT:
                row << sqlite3_column_double(stmt, i);
                break;
            case SQLITE_TEXT: {
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, i));
                const int bytes = sqlite3_column_bytes(stmt, i);
                row << (bytes == 0 ? QString("") : QString::fromUtf8(text, bytes));
                break;
            }
            case SQLITE_BLOB: {
                const int bytes = sqlite3_column_bytes(stmt, i);
                row << (bytes == 0 ? QByteArray("")
                                   : QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, i)), bytes));
                break;
            }
            default:
                row << QVariant();
            }
        }
        rows << row;
    }
    const QString error = QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (rc != SQLITE_DONE)
        throw std::runtime_error(QString("%1: %2").arg(sql, error).toStdString());
    return rows;
}

ReadLock::ReadLock(const QString &path)
{
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(db, "BEGIN; SELECT count(*) FROM message;", nullptr, nullptr, nullptr);
}

ReadLock::~ReadLock()
{
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

} // namespace testsupport
