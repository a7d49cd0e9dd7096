#include "platform/sqlite_qt/sqlite3sql.h"

Sqlite3Sql::Sqlite3Sql(const char *sql) : m_sql(QString::fromUtf8(sql ? sql : "")) {}

Sqlite3Sql::Sqlite3Sql(const QString &sql) : m_sql(sql) {}

Sqlite3Sql &Sqlite3Sql::addTextParam(const QString &v)
{
    if (v.isNull())
        return addNullParam();
    Param p;
    p.type = ParamType::Text;
    p.bytes = v.toUtf8();
    m_params.append(p);
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addIntParam(int v)
{
    return addInt64Param(v);
}

Sqlite3Sql &Sqlite3Sql::addInt64Param(qint64 v)
{
    Param p;
    p.type = ParamType::Int64;
    p.integer = v;
    m_params.append(p);
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addBlobParam(const QByteArray &v)
{
    if (v.isNull())
        return addNullParam();
    Param p;
    p.type = ParamType::Blob;
    p.bytes = v;
    m_params.append(p);
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addNullParam()
{
    m_params.append(Param());
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addDoubleParam(double v)
{
    Param p;
    p.type = ParamType::Double;
    p.real = v;
    m_params.append(p);
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addValueParam(const QVariant &v)
{
    if (!v.isValid())
        return addNullParam();
    switch (v.typeId()) {
    case QMetaType::Nullptr:
        return addNullParam();
    case QMetaType::QString:
        return addTextParam(v.toString());
    case QMetaType::QByteArray:
        return addBlobParam(v.toByteArray());
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return addInt64Param(v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return addDoubleParam(v.toDouble());
    default:
        return addTextParam(v.toString());
    }
}

Sqlite3Sql &Sqlite3Sql::appendSql(const QString &more)
{
    m_sql += more;
    return *this;
}
