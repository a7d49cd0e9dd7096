#include "ui/passcodedlg.h"

#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "ios/backupmanifest.h"
#include "ui_passcodedlg.h"

PasscodeDlg::PasscodeDlg(BackupManifest *manifest, QWidget *parent)
    : QDialog(parent), ui(new Ui::PasscodeDlg), movable(this), manifest(manifest)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(::styleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &PasscodeDlg::btnOKPressed);
    connect(ui->btnCancel, &QPushButton::pressed, this, &QDialog::reject);
}

PasscodeDlg::~PasscodeDlg()
{
    delete ui;
}

void PasscodeDlg::btnOKPressed()
{
    const QString password = ui->txtPasscode->text();
    if (password.isEmpty()) {
        showWarning(tr("IDS_PWD_IS_NULL"));
        return;
    }
    if (manifest->unlock(password)) {
        accept();
        return;
    }
    showWarning(tr("IDS_INVALID_PASSWORD"));
    ui->txtPasscode->clear();
}
