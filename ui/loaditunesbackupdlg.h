#pragma once
// Lets the user pick an iTunes backup: every backup of the default backup
// folder is listed, newest first, and any other folder can be added through
// the link under the list. After Accepted, selected holds the chosen backup's
// manifest (Manifest.plist read); the caller's copy keeps it alive after the
// dialog is gone.
#include "app/winmovable.h"
#include "ios/backupmanifest.h"

#include <QDialog>
#include <QSharedPointer>

class ItemModelLoadBk;
class QResizeEvent;

namespace Ui {
class LoadItunesBackupDlg;
}

class LoadItunesBackupDlg : public QDialog
{
    Q_OBJECT

public:
    // Reads the Manifest.plist of every backup in the default folder; a
    // backup that cannot be read is reported with the error box and left out.
    explicit LoadItunesBackupDlg(QWidget *parent);
    ~LoadItunesBackupDlg() override;

    Ui::LoadItunesBackupDlg *widgets() const { return ui; }
    ItemModelLoadBk *backups() const { return model; }

    QSharedPointer<BackupManifest> selected;

public slots:
    // Asks for a folder and lists the backup in it (link text unused).
    void btnAddOtherClicked(const QString &link);
    void btnLoadClicked();

protected:
    // Shares the width out among the three columns.
    void resizeEvent(QResizeEvent *event) override;

private:
    Ui::LoadItunesBackupDlg *ui;
    WinMovable movable;
    ItemModelLoadBk *model;
};
