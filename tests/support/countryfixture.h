#pragma once
// A small country database with hand-written rows, in the layout of the
// compiled-in countries.db, so that normalisation tests do not depend on the
// shipped numbering data.
#include <QList>
#include <QString>

namespace testsupport {

struct CountryFixtureRow
{
    QString sn, ln, pnum, mmc, numc, r1, n;
};

// India, China, Germany, the United States and Vatican City (a row without
// mobile pattern). Germany's pattern has an alternative that takes any 6 to
// 14 digits beginning with 2, 4 or 6.
QList<CountryFixtureRow> countryFixtureRows();

// Writes the rows (and one mmc_sn row for each of their MCCs) to path,
// replacing any file there. Without withMccTable the mmc_sn table is missing,
// so every MCC lookup fails. Throws std::runtime_error on failure.
void writeCountryDb(const QString &path, const QList<CountryFixtureRow> &rows = countryFixtureRows(),
                    bool withMccTable = true);

} // namespace testsupport
