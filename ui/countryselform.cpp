#include "ui/countryselform.h"

#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "store/countrylibdb.h"
#include "ui_countryselform.h"

#include <exception>

CountrySelForm::CountrySelForm(QWidget *parent)
    : QDialog(parent), ui(new Ui::CountrySelForm), movable(this)
{
    ui->setupUi(this);
    connect(ui->txtKW, &QLineEdit::textChanged, this, &CountrySelForm::kwinput);
    connect(ui->btnOK, &QPushButton::pressed, this, &CountrySelForm::accept);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(::styleSheet());
    loadCountries();
}

CountrySelForm::~CountrySelForm()
{
    delete ui;
}

void CountrySelForm::loadCountries()
{
    try {
        CountryLibDb db{QString()};
        db.open();
        // substr(mmc,0,4) is SQLite's first three characters: the first code
        // of a country with several ("404,405").
        Sqlite3Cursor rows = db.queryThrow(
            Sqlite3Sql("select pnum, n, substr(mmc,0,4) as mmc from countries order by n asc"));
        while (rows.moveNext()) {
            countries.append(qMakePair(rows.getText(QStringLiteral("mmc")),
                                       QStringLiteral("%1 (+%2)")
                                           .arg(rows.getText(QStringLiteral("n")),
                                                rows.getText(QStringLiteral("pnum")))));
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
    kwinput(QString());
}

void CountrySelForm::kwinput(const QString &keyword)
{
    ui->ltCountries->clear();
    for (const QPair<QString, QString> &country : std::as_const(countries)) {
        if (!country.second.contains(keyword, Qt::CaseInsensitive))
            continue;
        auto *item = new QListWidgetItem(country.second);
        item->setData(Qt::UserRole, country.first);
        ui->ltCountries->addItem(item);
    }
}

void CountrySelForm::accept()
{
    QListWidgetItem *current = ui->ltCountries->currentItem();
    if (!current) {
        showWarning(tr("IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY"));
        return;
    }
    if (!showQuestion(tr("IDS_CONFIRM_SEL_COUNTRY_%1").arg(current->text())))
        return;
    mmc = current->data(Qt::UserRole).toString();
    QDialog::accept();
}

void CountrySelForm::reject()
{
    // With countries to choose from, a choice is required. With none loaded
    // (the database could not be read) there is nothing to choose, and
    // refusing here would hold the user behind this dialog for good.
    if (countries.isEmpty())
        QDialog::reject();
}
