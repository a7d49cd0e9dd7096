#pragma once
// Asks for the country of a phone that does not report its mobile country
// code: every country of the country database with its calling code, filtered
// as the user types, confirmed with a question. The caller reads mmc after
// Accepted.
//
// The dialog is not left without a choice while countries are listed: there
// is no cancel button, and Esc and closing are refused. When no country could
// be loaded at all, though, Esc and closing reject it, or the user would be
// held behind it for good; callers carry on without a country then.
#include "app/winmovable.h"

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

namespace Ui {
class CountrySelForm;
}

class CountrySelForm : public QDialog
{
    Q_OBJECT

public:
    explicit CountrySelForm(QWidget *parent);
    ~CountrySelForm() override;

    // The three-character mobile country code of the confirmed country;
    // empty until the dialog is accepted.
    QString mmc;

    Ui::CountrySelForm *widgets() const { return ui; }
    // (code, "<name> (+<calling code>)") of every country, in name order.
    const QList<QPair<QString, QString>> &countryList() const { return countries; }

public slots:
    void accept() override;
    void reject() override;
    // Lists the countries whose label holds keyword in any case.
    void kwinput(const QString &keyword);

private:
    void loadCountries();

    Ui::CountrySelForm *ui;
    WinMovable movable;
    QList<QPair<QString, QString>> countries;
};
