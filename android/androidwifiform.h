#pragma once
// Asks for the address that the companion app shows and connects the phone
// over WiFi; accepted only after a successful connection, whose phone is then
// in `device`. A failed attempt leaves the dialog open for another.
#include "android/androiddevice.h"
#include "app/winmovable.h"

#include <QDialog>
#include <QString>

namespace Ui {
class AndroidWIFIForm;
}

class AndroidWIFIForm : public QDialog
{
    Q_OBJECT

public:
    explicit AndroidWIFIForm(QWidget *parent);
    ~AndroidWIFIForm() override;

    // The IPv4 address in a typed text (blanks around it ignored): four
    // groups of one to three digits, not range-checked; empty when the text
    // is no such address.
    static QString typedAddress(const QString &text);

    Ui::AndroidWIFIForm *widgets() const { return ui; }

    AndroidDevice device;

public slots:
    void onBtnConnect();

private:
    Ui::AndroidWIFIForm *ui;
    WinMovable movable;
};
