#include "platform/sqlite_qt/sqlitecol.h"

namespace {

enum class Affinity { Integer, Text, Blob, Real, Numeric };

// SQLite's rules, applied in this order: the first that matches wins.
Affinity affinityOf(const QString &declared)
{
    const QString t = declared.toUpper();
    if (t.contains(QLatin1String("INT")))
        return Affinity::Integer;
    if (t.contains(QLatin1String("CHAR")) || t.contains(QLatin1String("CLOB")) || t.contains(QLatin1String("TEXT")))
        return Affinity::Text;
    if (t.contains(QLatin1String("BLOB")) || t.trimmed().isEmpty())
        return Affinity::Blob;
    if (t.contains(QLatin1String("REAL")) || t.contains(QLatin1String("FLOA")) || t.contains(QLatin1String("DOUB")))
        return Affinity::Real;
    return Affinity::Numeric;
}

} // namespace

bool _SqliteCol::isInteger() const { return affinityOf(type) == Affinity::Integer; }
bool _SqliteCol::isNumeric() const { return affinityOf(type) == Affinity::Numeric; }
bool _SqliteCol::isReal() const { return affinityOf(type) == Affinity::Real; }
bool _SqliteCol::isBlob() const { return affinityOf(type) == Affinity::Blob; }
bool _SqliteCol::isText() const { return affinityOf(type) == Affinity::Text; }
