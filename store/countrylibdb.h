#pragma once
// The country table and the one normalised form in which every part of the
// program compares phone numbers: "+", calling code, national number.
#include "store/absdb.h"

#include <QString>

class Sqlite3Sql;

// One country as the program holds it. A default-constructed one is the empty
// country: every field empty, including the mobile pattern.
struct _CountryInfo
{
    QString sn;   // ISO code, upper case ("IN")
    QString n;    // English name
    QString ln;   // name in the country's own language
    QString pnum; // calling code without "+"
    QString mmc;  // mobile country codes, "," separated
    QString numc; // allowed national number lengths, "," separated
    // "^(?:" + mobile pattern + ")$": a match means the whole text is a
    // mobile number. Empty only for the empty country; a country without a
    // mobile pattern gets one that matches nothing but empty text.
    QString mobilePattern;
};

// The country database "countries.db" in the data folder, copied there from
// the resources on first use. The MCC given at construction picks the default
// country under which numbers without a country of their own are normalised.
class CountryLibDb : public AbsDb
{
public:
    explicit CountryLibDb(const QString &mcc);
    ~CountryLibDb() override;

    // Copies the resource when the data folder has no countries.db (an
    // existing file is used as it is), opens it and looks up the default
    // country. Throws std::runtime_error (UTF-8) on failure and stays closed,
    // so the next call tries again.
    void open() override;

    const _CountryInfo &defaultCountry();
    // The country of a mobile country code; when there is none, a copy of the
    // default country and *found = false.
    _CountryInfo countryByMcc(const QString &mcc, bool *found = nullptr);
    // The country of an ISO code in either case; when there is none, a copy
    // of the default country and *found = false.
    _CountryInfo countryBySn(const QString &sn, bool *found = nullptr);

    // The normalised address of a number under a country: letters or "@"
    // make it an id (lower-cased); otherwise only digits and "+" stay, and a
    // national number gets "+" and the calling code. Never fails.
    static QString normalizeNumber(const _CountryInfo &country, const QString &number);

    // "^(?:" + r1 + ")$".
    static QString mobilePatternOf(const QString &r1);

private:
    _CountryInfo countryOf(const Sqlite3Sql &query, bool *found);

    QString mcc;
    _CountryInfo defaultInfo;
};
