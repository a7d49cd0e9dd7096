#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "tests/support/countryfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "ui/countryselform.h"
#include "ui_countryselform.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace tst_countryselform {

namespace {
// The fixture's countries in name order, as the list shows them.
const QStringList kAllLabels = {"China (+86)", "Germany (+49)", "Holy See (+379)", "India (+91)",
                                "United States (+1)"};
const QStringList kAllCodes = {"460", "262", "225", "404", "310"};

QString countriesDb()
{
    return appDataDir().absoluteFilePath(QStringLiteral("countries.db"));
}

QStringList labels(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out.append(list->item(i)->text());
    return out;
}

void selectLabel(QListWidget *list, const QString &label)
{
    const QList<QListWidgetItem *> found = list->findItems(label, Qt::MatchExactly);
    QVERIFY(found.size() == 1);
    list->setCurrentItem(found.first());
}
} // namespace

class TestCountrySelForm : public QObject
{
    Q_OBJECT
    IdsTranslator translator;
    HttpRecorder server;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
        setMakerServerUrl(server.url());
    }

    void init() { testsupport::writeCountryDb(countriesDb()); }

    void listsEveryCountryInNameOrder()
    {
        CountrySelForm form(nullptr);
        QCOMPARE(form.widgets()->lbTitle->text(), "Select your country code:");
        QCOMPARE(form.widgets()->btnOK->text(), "OK");
        QCOMPARE(form.findChildren<QPushButton *>().size(), 1); // no way out but a choice
        QListWidget *list = form.widgets()->ltCountries;
        QCOMPARE(labels(list), kAllLabels);
        for (int i = 0; i < list->count(); ++i) {
            // India stores "404,405": the first code, three characters.
            QCOMPARE(list->item(i)->data(Qt::UserRole).toString(), kAllCodes[i]);
            QCOMPARE(form.countryList()[i], qMakePair(kAllCodes[i], kAllLabels[i]));
        }
        QVERIFY(!list->currentItem());
        QVERIFY(form.mmc.isEmpty());
    }

    void filter_data()
    {
        QTest::addColumn<QStringList>("typed"); // one after the other
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("lower case") << QStringList{"in"} << QStringList{"China (+86)", "India (+91)"};
        QTest::newRow("upper case") << QStringList{"GERM"} << QStringList{"Germany (+49)"};
        QTest::newRow("calling-code digits")
            << QStringList{"9"} << QStringList{"Germany (+49)", "Holy See (+379)", "India (+91)"};
        QTest::newRow("plus and code") << QStringList{"+1"} << QStringList{"United States (+1)"};
        QTest::newRow("no match") << QStringList{"xyz"} << QStringList{};
        QTest::newRow("cleared") << QStringList{"ger", ""} << kAllLabels;
        QTest::newRow("narrowed, then widened") << QStringList{"ind", "in"} << QStringList{"China (+86)", "India (+91)"};
    }
    void filter()
    {
        QFETCH(QStringList, typed);
        QFETCH(QStringList, shown);
        CountrySelForm form(nullptr);
        for (const QString &keyword : typed)
            form.widgets()->txtKW->setText(keyword);
        QCOMPARE(labels(form.widgets()->ltCountries), shown);
        for (int i = 0; i < form.widgets()->ltCountries->count(); ++i) {
            QListWidgetItem *item = form.widgets()->ltCountries->item(i);
            QCOMPARE(item->data(Qt::UserRole).toString(), kAllCodes[kAllLabels.indexOf(item->text())]);
        }
    }

    void noKeepsTheDialogAndTheChoiceYesTakesIt()
    {
        CountrySelForm form(nullptr);
        DialogDriver driver;
        bool openAfterNo = false;
        QString currentAfterNo;
        QString mmcAfterNo = "unset";
        driver.then([&](QWidget *w) {
            auto *f = static_cast<CountrySelForm *>(w);
            selectLabel(f->widgets()->ltCountries, "India (+91)");
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton); // answered No
            openAfterNo = f->isVisible();
            currentAfterNo = f->widgets()->ltCountries->currentItem()->text();
            mmcAfterNo = f->mmc;
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton); // answered Yes
        });
        driver.thenPress(QMessageBox::No);
        driver.thenPress(QMessageBox::Yes);
        QCOMPARE(form.exec(), int(QDialog::Accepted));
        QVERIFY(openAfterNo);
        QCOMPARE(currentAfterNo, "India (+91)");
        QCOMPARE(mmcAfterNo, "");
        QCOMPARE(form.mmc, "404");
        QCOMPARE(driver.seen().size(), 3);
        QCOMPARE(driver.seen()[1].text, "Confirm to select India (+91)?");
        QCOMPARE(driver.seen()[1].icon, int(QMessageBox::Question));
    }

    void okWithoutAChoiceWarns_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::newRow("nothing chosen") << "";
        QTest::newRow("the choice filtered away") << "xyz";
    }
    void okWithoutAChoiceWarns()
    {
        QFETCH(QString, keyword);
        CountrySelForm form(nullptr);
        DialogDriver driver;
        bool stayedOpen = false;
        driver.then([&](QWidget *w) {
            auto *f = static_cast<CountrySelForm *>(w);
            selectLabel(f->widgets()->ltCountries, "China (+86)");
            if (!keyword.isEmpty())
                f->widgets()->txtKW->setText(keyword);
            else
                f->widgets()->ltCountries->setCurrentItem(nullptr);
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton);
            stayedOpen = f->isVisible();
            f->done(42);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(form.exec(), 42);
        QVERIFY(stayedOpen);
        QCOMPARE(driver.seen().value(1).text, "Please select a cuntry code first to continue.");
        QCOMPARE(driver.seen().value(1).icon, int(QMessageBox::Warning));
        QVERIFY(form.mmc.isEmpty());
    }

    void escAndCloseAreRefusedWhileCountriesAreListed_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<bool>("escape");
        QTest::newRow("Esc") << "" << true;
        QTest::newRow("closed") << "" << false;
        QTest::newRow("Esc, keyword matching nothing") << "xyz" << true;
        QTest::newRow("closed, keyword matching nothing") << "xyz" << false;
    }
    void escAndCloseAreRefusedWhileCountriesAreListed()
    {
        QFETCH(QString, keyword);
        QFETCH(bool, escape);
        CountrySelForm form(nullptr);
        DialogDriver driver;
        bool stayedOpen = false;
        driver.then([&](QWidget *w) {
            auto *f = static_cast<CountrySelForm *>(w);
            f->widgets()->txtKW->setText(keyword);
            if (escape)
                QTest::keyClick(f, Qt::Key_Escape);
            else
                f->close();
            stayedOpen = f->isVisible();
            f->done(42);
        });
        QCOMPARE(form.exec(), 42);
        QVERIFY(stayedOpen);
        QCOMPARE(driver.seen().size(), 1);
    }

    void anUnreadableDatabaseLetsTheUserLeave_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Esc") << true;
        QTest::newRow("closed") << false;
    }
    void anUnreadableDatabaseLetsTheUserLeave()
    {
        QFETCH(bool, escape);
        // Not a database at all: an existing file is used as found.
        QFile damaged(countriesDb());
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write(QByteArray(4096, 'x'));
        damaged.close();

        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        const int requestsBefore = int(server.requests().size());
        CountrySelForm form(nullptr);
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Critical));
        QVERIFY2(driver.seen()[0].text.startsWith("An Error Occurred."), qPrintable(driver.seen()[0].text));
        QVERIFY(server.waitForRequests(requestsBefore + 1));
        QCOMPARE(form.widgets()->ltCountries->count(), 0);

        bool okStayed = false;
        driver.then([&](QWidget *w) {
            auto *f = static_cast<CountrySelForm *>(w);
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton); // warns
            okStayed = f->isVisible();
            if (escape)
                QTest::keyClick(f, Qt::Key_Escape);
            else
                f->close();
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(form.exec(), int(QDialog::Rejected));
        QVERIFY(okStayed);
        QCOMPARE(driver.seen().value(2).text, "Please select a cuntry code first to continue.");
        QVERIFY(form.mmc.isEmpty());
    }
};

QP_TEST_MAIN(TestCountrySelForm)

} // namespace tst_countryselform

#include "tst_countryselform.moc"
