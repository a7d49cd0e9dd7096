#include "ui/passcodedlg.h"

#include "app/messagebox.h"
#include "app/progressform.h"
#include "app/stylesheet.h"
#include "ios/backupmanifest.h"
#include "ios/keybagunlockthread.h"
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
    // The derivation runs behind a progress dialog, so this window stays
    // alive and the user can give up on a slow keybag.
    ProgressForm form(tr("IDS_CHECKING_PASSWORD"), this);
    KeybagUnlockThread worker(manifest, password, &form);
    worker.start();
    form.exec();
    worker.wait();
    switch (worker.result()) {
    case KeybagUnlock::Unlocked:
        accept();
        return;
    case KeybagUnlock::Cancelled:
        return; // the user may try again or leave
    case KeybagUnlock::TooManyIterations:
        showError(tr("IDS_KEYBAG_ITERATIONS_TOO_HIGH_%1").arg(kKeybagMaxIterations));
        reject(); // no password opens it
        return;
    case KeybagUnlock::WrongPassword:
    case KeybagUnlock::Malformed:
        break;
    }
    showWarning(tr("IDS_INVALID_PASSWORD"));
    ui->txtPasscode->clear();
}
