#pragma once
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVector>

// SQL text with "?" placeholders and the values bound to them, in call order.
// Values never become part of the text, so any content (quotes, NUL, emoji)
// reaches the database unchanged. Copyable.
class Sqlite3Sql
{
public:
    enum class ParamType { Null, Int64, Double, Text, Blob };
    struct Param
    {
        ParamType type = ParamType::Null;
        qint64 integer = 0;
        double real = 0.0;
        QByteArray bytes; // UTF-8 for text
    };

    Sqlite3Sql(const char *sql = "");
    Sqlite3Sql(const QString &sql);

    Sqlite3Sql &addTextParam(const QString &v);    // a null QString binds NULL
    Sqlite3Sql &addIntParam(int v);
    Sqlite3Sql &addInt64Param(qint64 v);
    Sqlite3Sql &addBlobParam(const QByteArray &v); // a null QByteArray binds NULL
    Sqlite3Sql &addNullParam();
    Sqlite3Sql &addDoubleParam(double v);
    // Binds a value as a row read from a cursor holds it: invalid -> NULL,
    // QByteArray -> blob, integral types -> integer, floating -> real, anything
    // else as its text.
    Sqlite3Sql &addValueParam(const QVariant &v);
    Sqlite3Sql &appendSql(const QString &more);

    QString sql() const { return m_sql; }
    int paramCount() const { return int(m_params.size()); }
    const QVector<Param> &params() const { return m_params; }

private:
    QString m_sql;
    QVector<Param> m_params;
};
