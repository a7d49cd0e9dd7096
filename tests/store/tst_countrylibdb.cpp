#include "app/datafolder.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "store/countrylibdb.h"
#include "tests/support/countryfixture.h"
#include "tests/support/testmain.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace tst_countrylibdb {

using testsupport::writeCountryDb;

class TestCountryLibDb : public QObject
{
    Q_OBJECT

    static QString dbPath() { return appDataDir().absoluteFilePath("countries.db"); }

    static QByteArray resourceBytes()
    {
        QFile resource(":/res/countries.db");
        return resource.open(QIODevice::ReadOnly) ? resource.readAll() : QByteArray();
    }

    static void removeDb()
    {
        QFile::setPermissions(dbPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QFile::remove(dbPath());
        QVERIFY(!QFileInfo::exists(dbPath()));
    }

private slots:
    void init()
    {
        removeDb();
        writeCountryDb(dbPath());
    }

    void normalizeNumber_data()
    {
        QTest::addColumn<QString>("country"); // "" for the empty country
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("expected");

        QTest::newRow("IN national with blank") << "IN" << "98765 43210" << "+919876543210";
        QTest::newRow("IN trunk 0") << "IN" << "09876543210" << "+919876543210";
        QTest::newRow("IN calling code without +") << "IN" << "919876543210" << "+919876543210";
        QTest::newRow("IN landline stays") << "IN" << "0112345678" << "0112345678";
        QTest::newRow("IN + keeps digits only") << "IN" << "+91 98765-43210" << "+919876543210";
        QTest::newRow("IN + anywhere ends the rules") << "IN" << "98+76" << "98+76";
        QTest::newRow("IN brackets and dashes") << "IN" << "(98765) 432-10" << "+919876543210";
        QTest::newRow("e-mail lower-cased whole") << "IN" << "Anna.Berg@Example.COM" << "anna.berg@example.com";
        QTest::newRow("name lower-cased") << "IN" << "Mom" << "mom";
        QTest::newRow("letter keeps blanks") << "IN" << "Dr Who 12" << "dr who 12";
        QTest::newRow("non-ASCII letters are no id") << "IN" << "\u00e9 98765 43210" << "+919876543210";

        QTest::newRow("DE trunk 0") << "DE" << "01701234567" << "+491701234567";
        QTest::newRow("DE mobile pattern before prefix") << "DE" << "491701234567" << "+49491701234567";
        QTest::newRow("DE short landline stays") << "DE" << "0303611" << "0303611";
        // An alternative of the pattern matching the tail "234567" must not count.
        QTest::newRow("DE partial match is no match") << "DE" << "01234567" << "01234567";

        QTest::newRow("CN first alternative") << "CN" << "13812345678" << "+8613812345678";
        QTest::newRow("CN second alternative") << "CN" << "18412345678" << "+8618412345678";

        QTest::newRow("US known area code") << "US" << "2125551234" << "+12125551234";
        QTest::newRow("US unknown area code stays") << "US" << "5551234567" << "5551234567";
        QTest::newRow("US calling code, no pattern") << "US" << "12125551234" << "+12125551234";
        QTest::newRow("US dotted") << "US" << "212.555.1234" << "+12125551234";

        QTest::newRow("VA no pattern, national stays") << "VA" << "06 698 12345" << "0669812345";

        QTest::newRow("empty country digits only") << "" << "0049 (170) 123-4567" << "00491701234567";
        QTest::newRow("empty country plain") << "" << "98765" << "98765";
        QTest::newRow("empty country empty text") << "" << "" << "+";
        QTest::newRow("empty country keeps +") << "" << "+1 212" << "+1212";
    }

    void normalizeNumber()
    {
        QFETCH(QString, country);
        QFETCH(QString, number);
        QFETCH(QString, expected);
        CountryLibDb db("");
        _CountryInfo info;
        if (!country.isEmpty()) {
            bool found = false;
            info = db.countryBySn(country, &found);
            QVERIFY(found);
        }
        QCOMPARE(CountryLibDb::normalizeNumber(info, number), expected);
    }

    void lookups_data()
    {
        QTest::addColumn<QString>("phoneMcc"); // picks the default country
        QTest::addColumn<bool>("byMcc");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("sn");
        QTest::addColumn<bool>("found");

        QTest::newRow("mcc 404") << "" << true << "404" << "IN" << true;
        QTest::newRow("mcc 405") << "" << true << "405" << "IN" << true;
        QTest::newRow("mcc 316") << "" << true << "316" << "US" << true;
        QTest::newRow("mcc unknown, default DE") << "262" << true << "999" << "DE" << false;
        QTest::newRow("mcc unknown, empty default") << "" << true << "999" << "" << false;
        QTest::newRow("mcc empty") << "404" << true << "" << "IN" << false;
        QTest::newRow("sn lower case") << "" << false << "in" << "IN" << true;
        QTest::newRow("sn mixed case") << "" << false << "uS" << "US" << true;
        QTest::newRow("sn unknown, default IN") << "404" << false << "XX" << "IN" << false;
        QTest::newRow("sn unknown, empty default") << "999" << false << "XX" << "" << false;
    }

    void lookups()
    {
        QFETCH(QString, phoneMcc);
        QFETCH(bool, byMcc);
        QFETCH(QString, key);
        QFETCH(QString, sn);
        QFETCH(bool, found);
        CountryLibDb db(phoneMcc);
        bool hit = !found;
        const _CountryInfo info = byMcc ? db.countryByMcc(key, &hit) : db.countryBySn(key, &hit);
        QCOMPARE(hit, found);
        QCOMPARE(info.sn, sn);
        // A null flag pointer is allowed.
        QCOMPARE(byMcc ? db.countryByMcc(key).sn : db.countryBySn(key).sn, sn);
    }

    void rowBecomesCountry()
    {
        CountryLibDb db("405");
        const _CountryInfo &india = db.defaultCountry();
        QCOMPARE(india.sn, QString("IN"));
        QCOMPARE(india.n, QString("India"));
        QCOMPARE(india.ln, QString("Bharat"));
        QCOMPARE(india.pnum, QString("91"));
        QCOMPARE(india.mmc, QString("404,405"));
        QCOMPARE(india.numc, QString("10"));
        QCOMPARE(india.mobilePattern, QString("^(?:[7-9]\\d{9})$"));

        // No mobile pattern: a pattern all the same, unlike the empty country.
        const _CountryInfo vatican = db.countryBySn("VA");
        QCOMPARE(vatican.mobilePattern, QString("^(?:)$"));
        QVERIFY(_CountryInfo().mobilePattern.isEmpty());
    }

    void defaultCountryIsEmptyWithoutMcc_data()
    {
        QTest::addColumn<QString>("mcc");
        QTest::newRow("empty") << "";
        QTest::newRow("unknown") << "001";
    }

    void defaultCountryIsEmptyWithoutMcc()
    {
        QFETCH(QString, mcc);
        CountryLibDb db(mcc);
        const _CountryInfo &info = db.defaultCountry();
        QVERIFY(db.isOpen());
        for (const QString &field : {info.sn, info.n, info.ln, info.pnum, info.mmc, info.numc, info.mobilePattern})
            QVERIFY(field.isEmpty());
    }

    void constructionTouchesNoFile()
    {
        removeDb();
        CountryLibDb db("404");
        QVERIFY(!db.isOpen());
        QVERIFY(!QFileInfo::exists(dbPath()));
    }

    // The file in the data folder wins over the compiled-in one, however it
    // differs; only a missing file is copied from the resources.
    void existingFileUsedUnchanged()
    {
        const QByteArray fixture = [] {
            QFile f(dbPath());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        {
            CountryLibDb db("404");
            QCOMPARE(db.defaultCountry().ln, QString("Bharat"));
            bool found = true;
            db.countryBySn("GB", &found);
            QVERIFY(!found);
        }
        QFile f(dbPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), fixture);
        f.close();

        removeDb();
        {
            CountryLibDb db("234");
            QCOMPARE(db.defaultCountry().sn, QString("GB"));
        }
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), resourceBytes());
    }

    // Without its default country the object would normalise every number
    // under the empty country for the rest of its life: it must fail, stay
    // closed, and try again on the next call.
    void failedDefaultQueryRetries()
    {
        writeCountryDb(dbPath(), testsupport::countryFixtureRows(), false);
        CountryLibDb db("404");
        QVERIFY_THROWS_EXCEPTION(std::exception, db.defaultCountry());
        QVERIFY(!db.isOpen());
        QVERIFY_THROWS_EXCEPTION(std::exception, db.countryBySn("IN"));
        QVERIFY(!db.isOpen());

        writeCountryDb(dbPath());
        QCOMPARE(db.defaultCountry().sn, QString("IN"));
        QVERIFY(db.isOpen());
    }

    void corruptFileReportsError()
    {
        removeDb();
        QFile f(dbPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
        f.close();
        CountryLibDb db("404");
        QVERIFY_THROWS_EXCEPTION(std::exception, db.defaultCountry());
        QVERIFY(!db.isOpen());
    }

    void shippedDataCoversEveryCountry()
    {
        removeDb();
        const QStringList codes = QString(
            "AC AD AE AF AG AI AL AM AO AR AS AT AU AW AX AZ BA BB BD BE BF BG BH BI BJ BL BM BN BO BQ BR BS BT BW "
            "BY BZ CA CC CD CF CG CH CI CK CL CM CN CO CR CU CV CW CX CY CZ DE DJ DK DM DO DZ EC EE EG ER ES ET FI "
            "FJ FK FM FO FR GA GB GD GE GF GG GH GI GL GM GN GP GQ GR GT GU GW GY HK HN HR HT HU ID IE IL IM IN IO "
            "IQ IR IS IT JE JM JO JP KE KG KH KI KM KN KP KR KW KY KZ LA LB LC LI LK LR LS LT LU LV LY MA MC MD ME "
            "MF MG MH MK ML MM MN MO MP MQ MR MS MT MU MV MW MX MY MZ NA NC NE NF NG NI NL NO NP NR NU NZ OM PA PE "
            "PF PG PH PK PL PM PR PS PT PW PY QA RE RO RS RU RW SA SB SC SD SE SG SH SI SJ SK SL SM SN SO SR SS ST "
            "SV SX SY SZ TC TD TG TH TJ TK TL TM TN TO TR TT TV TW TZ UA UG US UY UZ VA VC VE VG VI VN VU WF WS YE "
            "YT ZA ZM ZW").split(' ');
        QCOMPARE(codes.size(), 242);
        CountryLibDb db("");
        for (const QString &code : codes) {
            bool found = false;
            const _CountryInfo info = db.countryBySn(code, &found);
            QVERIFY2(found, qPrintable(code));
            QVERIFY2(!info.n.isEmpty() && !info.ln.isEmpty(), qPrintable(code));
            QVERIFY2(QRegularExpression("^[0-9]{1,3}$").match(info.pnum).hasMatch(), qPrintable(code));
            QVERIFY2(!info.numc.isEmpty(), qPrintable(code));
            // The country chooser answers the first code: never an empty one.
            QVERIFY2(QRegularExpression("^[0-9]{3}(,|$)").match(info.mmc).hasMatch(), qPrintable(code));
            QVERIFY2(QRegularExpression(info.mobilePattern).isValid(), qPrintable(code));
        }
        Sqlite3Cursor rows = db.queryThrow("select count(*) as n from countries");
        QVERIFY(rows.moveNext());
        QCOMPARE(rows.getInt("n"), 242);
        Sqlite3Cursor orphans = db.queryThrow("select count(*) as n from mmc_sn where sn not in (select sn from countries)");
        QVERIFY(orphans.moveNext());
        QCOMPARE(orphans.getInt("n"), 0);

        const QList<QPair<QString, QString>> mccs = {{"404", "IN"}, {"405", "IN"}, {"262", "DE"}, {"460", "CN"},
                                                     {"310", "US"}, {"316", "US"}, {"234", "GB"}, {"208", "FR"},
                                                     {"724", "BR"}, {"250", "RU"}, {"440", "JP"}};
        for (const auto &m : mccs)
            QCOMPARE(db.countryByMcc(m.first).sn, m.second);
        QCOMPARE(db.countryBySn("US").mmc, QString("310,311,312,313,314,315,316"));
    }

    // Territories without a mobile country code of their own take the one
    // their networks use; choosing them must give a code that leads back to
    // the country owning it.
    void shippedTerritoriesHaveAnMcc_data()
    {
        QTest::addColumn<QString>("sn");
        QTest::addColumn<QString>("mcc");
        QTest::addColumn<QString>("owner");
        QTest::newRow("Ascension") << "AC" << "658" << "SH";
        QTest::newRow("Aland") << "AX" << "244" << "FI";
        QTest::newRow("Svalbard") << "SJ" << "242" << "NO";
        QTest::newRow("Vatican") << "VA" << "222" << "IT";
        QTest::newRow("British Indian Ocean Territory") << "IO" << "995" << "IO";
    }

    void shippedTerritoriesHaveAnMcc()
    {
        QFETCH(QString, sn);
        QFETCH(QString, mcc);
        QFETCH(QString, owner);
        removeDb();
        CountryLibDb db("");
        bool found = false;
        QCOMPARE(db.countryByMcc(mcc, &found).sn, owner);
        QVERIFY(found);
        Sqlite3Cursor chooser = db.queryThrow(
            Sqlite3Sql("select substr(mmc,0,4) as mmc from countries where sn=?").addTextParam(sn));
        QVERIFY(chooser.moveNext());
        QCOMPARE(chooser.getText("mmc"), mcc);
    }

    void shippedNormalization_data()
    {
        QTest::addColumn<QString>("sn");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("expected");
        QTest::newRow("IN mobile") << "IN" << "98765 43210" << "+919876543210";
        QTest::newRow("IN trunk") << "IN" << "09876543210" << "+919876543210";
        QTest::newRow("IN international") << "IN" << "+91 98765 43210" << "+919876543210";
        QTest::newRow("DE trunk") << "DE" << "0170 1234567" << "+491701234567";
        QTest::newRow("DE calling code") << "DE" << "49 170 1234567" << "+491701234567";
        // Landlines written with the calling code but no "+": national
        // numbers of lengths no mobile number has.
        QTest::newRow("DE landline, 8 digits") << "DE" << "49 30 123456" << "+4930123456";
        QTest::newRow("DE landline, 9 digits") << "DE" << "49 30 1234567" << "+49301234567";
        QTest::newRow("DE landline with trunk stays") << "DE" << "030 1234567" << "0301234567";
        QTest::newRow("CN landline") << "CN" << "86 10 1234 5678" << "+861012345678";
        QTest::newRow("US area code") << "US" << "(212) 555-1234" << "+12125551234";
        QTest::newRow("US with 1") << "US" << "1 212 555 1234" << "+12125551234";
        QTest::newRow("CN mobile") << "CN" << "138 1234 5678" << "+8613812345678";
        QTest::newRow("GB trunk") << "GB" << "07400 123456" << "+447400123456";
        QTest::newRow("FR trunk") << "FR" << "06 12 34 56 78" << "+33612345678";
        QTest::newRow("BR mobile") << "BR" << "(11) 98765-4321" << "+5511987654321";
        QTest::newRow("RU mobile") << "RU" << "916 123-45-67" << "+79161234567";
        QTest::newRow("JP trunk") << "JP" << "090-1234-5678" << "+819012345678";
        QTest::newRow("ID trunk") << "ID" << "0812-3456-7890" << "+6281234567890";
        QTest::newRow("MX mobile") << "MX" << "55 1234 5678" << "+525512345678";
    }

    void shippedNormalization()
    {
        QFETCH(QString, sn);
        QFETCH(QString, number);
        QFETCH(QString, expected);
        removeDb();
        CountryLibDb db("");
        bool found = false;
        const _CountryInfo info = db.countryBySn(sn, &found);
        QVERIFY(found);
        QCOMPARE(CountryLibDb::normalizeNumber(info, number), expected);
    }
};

QP_TEST_MAIN(TestCountryLibDb)

} // namespace tst_countrylibdb

#include "tst_countrylibdb.moc"
