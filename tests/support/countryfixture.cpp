#include "tests/support/countryfixture.h"

#include "tests/support/sqlitefixture.h"

#include <QFile>

namespace testsupport {

QList<CountryFixtureRow> countryFixtureRows()
{
    return {
        {"IN", "Bharat", "91", "404,405", "10", "[7-9]\\d{9}", "India"},
        {"CN", "Zhongguo", "86", "460", "11", "1(?:3\\d|4[57]|[58][0-35-9])\\d{8}|184\\d{8}", "China"},
        {"DE", "Deutschland", "49", "262", "7,8,9,10,11,12",
         "1(?:5[0-25-9]\\d{8}|6[023]\\d{7,8}|7\\d{8,9})|[246]\\d{5,13}", "Germany"},
        {"US", "United States", "1", "310,311,312,313,314,315,316", "10",
         "(?:201|202|212|213|310|415|646|718|917)[2-9]\\d{6}", "United States"},
        {"VA", "Citta del Vaticano", "379", "225", "", "", "Holy See"},
    };
}

void writeCountryDb(const QString &path, const QList<CountryFixtureRow> &rows, bool withMccTable)
{
    QFile::remove(path);
    SqliteFixture db(path);
    db.exec("CREATE TABLE countries(sn CHAR(2) PRIMARY KEY, ln TEXT, pnum TEXT, mmc TEXT, numc TEXT, u2 TEXT, "
            "r1 TEXT, r2 TEXT, r3 TEXT, r4 TEXT, mnc_rx TEXT, n TEXT);"
            "CREATE INDEX index_countries_pnum ON countries(pnum);");
    if (withMccTable)
        db.exec("CREATE TABLE mmc_sn(mmc CHAR(3) PRIMARY KEY, sn CHAR(2));"
                "CREATE INDEX index_mmc_sn ON mmc_sn(sn);");
    for (const CountryFixtureRow &row : rows) {
        db.run("INSERT INTO countries VALUES(?,?,?,?,?,'0',?,'','','','00',?)",
               {row.sn, row.ln, row.pnum, row.mmc, row.numc, row.r1, row.n});
        if (!withMccTable || row.mmc.isEmpty())
            continue;
        for (const QString &mcc : row.mmc.split(','))
            db.run("INSERT INTO mmc_sn VALUES(?,?)", {mcc, row.sn});
    }
}

} // namespace testsupport
