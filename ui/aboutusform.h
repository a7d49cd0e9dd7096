#pragma once
// The About box: the logo, the product title with its version, a notice and
// a link to the maker's web site (opened in the user's browser).
#include "app/winmovable.h"

#include <QDialog>

namespace Ui {
class AboutUsForm;
}

class AboutUsForm : public QDialog
{
    Q_OBJECT

public:
    explicit AboutUsForm(QWidget *parent);
    ~AboutUsForm() override;

    Ui::AboutUsForm *widgets() const { return ui; }

private:
    WinMovable movable;
    Ui::AboutUsForm *ui;
};
