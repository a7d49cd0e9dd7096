#include "platform/sqlite_qt/sqlite3row.h"

#include <QStringList>

namespace {

// SQLite compares identifiers ignoring ASCII case only.
bool sameIdentifier(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a.at(i).unicode();
        char16_t y = b.at(i).unicode();
        if (x >= u'A' && x <= u'Z')
            x = char16_t(x + (u'a' - u'A'));
        if (y >= u'A' && y <= u'Z')
            y = char16_t(y + (u'a' - u'A'));
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

Sqlite3Row::const_iterator Sqlite3Row::findName(const QString &col) const
{
    const_iterator it = constFind(col);
    if (it != constEnd())
        return it;
    for (it = constBegin(); it != constEnd(); ++it) {
        if (sameIdentifier(it.key(), col))
            return it;
    }
    return constEnd();
}

QVariant Sqlite3Row::get(const QString &col) const
{
    const const_iterator it = findName(col);
    return it == constEnd() ? QVariant() : it.value();
}

bool Sqlite3Row::has(const QString &col) const
{
    return findName(col) != constEnd();
}

QString Sqlite3Row::quoted(const QString &identifier)
{
    QString q = identifier;
    q.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

Sqlite3Sql Sqlite3Row::insertSql(const QString &table, const QSet<QString> &leaveOut) const
{
    Sqlite3Row skip;
    for (const QString &name : leaveOut)
        skip.insert(name, QVariant());

    QStringList names;
    QStringList marks;
    QList<const QVariant *> values;
    for (const_iterator it = constBegin(); it != constEnd(); ++it) {
        if (skip.has(it.key()))
            continue;
        names << quoted(it.key());
        marks << QStringLiteral("?");
        values << &it.value();
    }
    if (names.isEmpty())
        return Sqlite3Sql(QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(quoted(table)));

    Sqlite3Sql sql(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                       .arg(quoted(table), names.join(QLatin1Char(',')), marks.join(QLatin1Char(','))));
    for (const QVariant *v : std::as_const(values))
        sql.addValueParam(*v);
    return sql;
}
