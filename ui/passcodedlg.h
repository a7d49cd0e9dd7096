#pragma once
// Asks for the password of an encrypted iTunes backup and tries it at once:
// the dialog is accepted only when the password unlocks the manifest. The
// typed text goes to the manifest unchanged and nowhere else (never the log).
#include "app/winmovable.h"

#include <QDialog>

class BackupManifest;

namespace Ui {
class PasscodeDlg;
}

class PasscodeDlg : public QDialog
{
    Q_OBJECT

public:
    // manifest is not owned and must outlive the dialog.
    PasscodeDlg(BackupManifest *manifest, QWidget *parent);
    ~PasscodeDlg() override;

    Ui::PasscodeDlg *widgets() const { return ui; }

public slots:
    void btnOKPressed();

private:
    Ui::PasscodeDlg *ui;
    WinMovable movable;
    BackupManifest *manifest;
};
