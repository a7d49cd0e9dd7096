#include "store/countrylibdb.h"

#include "app/datafolder.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>

#include <stdexcept>

namespace {

const char kResource[] = ":/res/countries.db";
const char kFileName[] = "countries.db";

_CountryInfo countryFromRow(Sqlite3Cursor &cursor)
{
    _CountryInfo info;
    info.sn = cursor.getText("sn");
    info.ln = cursor.getText("ln");
    info.mmc = cursor.getText("mmc");
    info.n = cursor.getText("n");
    info.numc = cursor.getText("numc");
    info.pnum = cursor.getText("pnum");
    info.mobilePattern = CountryLibDb::mobilePatternOf(cursor.getText("r1"));
    return info;
}

// Numbers are normalised by the thousand (every handle of a phone, every
// address-book number) under a handful of countries: compile each pattern
// once per thread. An invalid pattern (a damaged database) matches nothing.
bool mobileMatch(const _CountryInfo &country, const QString &digits)
{
    if (country.mobilePattern.isEmpty())
        return false;
    thread_local QHash<QString, QRegularExpression> compiled;
    auto it = compiled.find(country.mobilePattern);
    if (it == compiled.end()) {
        QRegularExpression re(country.mobilePattern);
        re.optimize();
        it = compiled.insert(country.mobilePattern, re);
    }
    return it->isValid() && it->match(digits).hasMatch();
}

bool lengthAllowed(const _CountryInfo &country, int length)
{
    // An empty list has one empty part, which reads as 0: the empty country
    // allows only the length 0.
    const QStringList parts = country.numc.split(QLatin1Char(','));
    for (const QString &part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok, 10);
        if ((ok ? value : 0) == length)
            return true;
    }
    return false;
}

bool isIdCharacter(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '@';
}

} // namespace

CountryLibDb::CountryLibDb(const QString &mcc)
    : mcc(mcc)
{
}

CountryLibDb::~CountryLibDb() = default;

QString CountryLibDb::mobilePatternOf(const QString &r1)
{
    return QLatin1String("^(?:") + r1 + QLatin1String(")$");
}

void CountryLibDb::open()
{
    if (handle())
        return;
    const QString path = appDataDir().absoluteFilePath(QLatin1String(kFileName));
    if (!QFileInfo::exists(path)) {
        QFile resource{QString::fromLatin1(kResource)};
        if (!resource.exists())
            throw std::runtime_error("can not find :res/countries.db.");
        // QFile::copy writes a temporary file and renames it, so a failed or
        // concurrent copy never leaves a half-written database behind; when
        // another object's copy landed first, that one is as good.
        if (!resource.copy(path) && !QFileInfo::exists(path))
            throw std::runtime_error(
                QString("can not create %1. %2").arg(path, resource.errorString()).toUtf8().toStdString());
    }
    openThrow(path, 2);
    // Without its default country every later normalisation would quietly
    // run under the empty country; close so that the next call tries again
    // and reports the fault again.
    try {
        defaultInfo = countryByMcc(mcc);
    } catch (...) {
        close();
        throw;
    }
}

const _CountryInfo &CountryLibDb::defaultCountry()
{
    open();
    return defaultInfo;
}

_CountryInfo CountryLibDb::countryOf(const Sqlite3Sql &query, bool *found)
{
    Sqlite3Cursor cursor = queryThrow(query);
    const bool hit = cursor.moveNext();
    if (found)
        *found = hit;
    return hit ? countryFromRow(cursor) : defaultInfo;
}

_CountryInfo CountryLibDb::countryByMcc(const QString &mcc, bool *found)
{
    open();
    Sqlite3Sql sql("select c.* from mmc_sn as m inner join countries as c on m.[sn] = c.sn and m.mmc=?");
    sql.addTextParam(mcc.isNull() ? QString(QLatin1String("")) : mcc);
    return countryOf(sql, found);
}

_CountryInfo CountryLibDb::countryBySn(const QString &sn, bool *found)
{
    open();
    Sqlite3Sql sql("select * from countries where sn=?");
    const QString upper = sn.toUpper();
    sql.addTextParam(upper.isNull() ? QString(QLatin1String("")) : upper);
    return countryOf(sql, found);
}

QString CountryLibDb::normalizeNumber(const _CountryInfo &country, const QString &number)
{
    for (const QChar c : number) {
        if (isIdCharacter(c))
            return number.toLower();
    }

    QString digits;
    digits.reserve(number.size());
    for (const QChar c : number) {
        const ushort u = c.unicode();
        if ((u >= '0' && u <= '9') || u == '+')
            digits.append(c);
    }
    if (digits.contains(QLatin1Char('+')))
        return digits;

    const int length = int(digits.size());
    const QString plus = QStringLiteral("+");
    if (lengthAllowed(country, length) && mobileMatch(country, digits))
        return plus + country.pnum + digits;
    if (digits.startsWith(QLatin1Char('0'))) {
        const QString national = digits.mid(1);
        if (lengthAllowed(country, length - 1) && mobileMatch(country, national))
            return plus + country.pnum + national;
    }
    if (digits.startsWith(country.pnum) && lengthAllowed(country, length - int(country.pnum.size())))
        return plus + digits;
    return digits;
}
