#include "ui/loaditunesbackupdlg.h"

#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "ui/itemmodelloadbk.h"
#include "ui_loaditunesbackupdlg.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QResizeEvent>

#include <exception>

namespace {
QString loadError(const QString &folder, const std::exception &e)
{
    return QStringLiteral("load %1 error. %2").arg(folder, QString::fromUtf8(e.what()));
}
} // namespace

LoadItunesBackupDlg::LoadItunesBackupDlg(QWidget *parent)
    : QDialog(parent), ui(new Ui::LoadItunesBackupDlg), movable(this), model(new ItemModelLoadBk(this))
{
    ui->setupUi(this);
    connect(ui->lbAddOther, &QLabel::linkActivated, this, &LoadItunesBackupDlg::btnAddOtherClicked);
    connect(ui->btnLoad, &QPushButton::pressed, this, &LoadItunesBackupDlg::btnLoadClicked);
    connect(ui->btnCancel, &QPushButton::pressed, this, &QDialog::reject);
    connect(ui->listBackups, &QTreeView::doubleClicked, this, &LoadItunesBackupDlg::btnLoadClicked);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(::styleSheet());
    ui->listBackups->setModel(model);
    // The columns share the whole width (resizeEvent); a stretched last
    // section would take what is left instead.
    ui->listBackups->header()->setStretchLastSection(false);

    const QFileInfoList folders = BackupManifest::defaultBackupRoot().entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot, QDir::Time | QDir::Reversed);
    for (const QFileInfo &folder : folders) {
        const QDir dir(folder.absoluteFilePath());
        if (!dir.exists(QStringLiteral("Manifest.mbdb")) || !dir.exists(QStringLiteral("Manifest.plist")))
            continue;
        QSharedPointer<BackupManifest> manifest(new BackupManifest(folder.absoluteFilePath()));
        try {
            manifest->loadManifestPlist();
            model->addBackup(manifest);
        } catch (const std::exception &e) {
            const QString text = loadError(folder.absoluteFilePath(), e);
            qWarning("%s", qUtf8Printable(text));
            showErrorText(text);
        }
    }
    ui->listBackups->setCurrentIndex(QModelIndex());
}

LoadItunesBackupDlg::~LoadItunesBackupDlg()
{
    delete ui;
}

void LoadItunesBackupDlg::btnAddOtherClicked(const QString &)
{
    const QString folder = QFileDialog::getExistingDirectory(nullptr, QString(), QDir::homePath(),
                                                             QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    QSharedPointer<BackupManifest> manifest(new BackupManifest(folder));
    const QString id = manifest->cacheId();
    for (const AbsTreeItemModel::_ItemNode *row : std::as_const(model->roots)) {
        if (static_cast<const ItemModelLoadBk::_BKItemNode *>(row)->manifest->cacheId() == id) {
            showWarning(tr("IDS_LOAD_BK_EXISTS"));
            return;
        }
    }
    try {
        manifest->loadManifestPlist();
        ItemModelLoadBk::_BKItemNode *node = model->addBackup(manifest);
        ui->listBackups->setCurrentIndex(model->indexOf(node));
    } catch (const std::exception &e) {
        const QString text = loadError(folder, e);
        qWarning("%s", qUtf8Printable(text));
        showErrorText(text);
    }
}

void LoadItunesBackupDlg::btnLoadClicked()
{
    const QModelIndex current = ui->listBackups->currentIndex();
    const auto *node = current.isValid()
                           ? static_cast<ItemModelLoadBk::_BKItemNode *>(current.internalPointer())
                           : nullptr;
    if (!node) {
        showWarning(tr("IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP"));
        return;
    }
    selected = node->manifest;
    accept();
}

void LoadItunesBackupDlg::resizeEvent(QResizeEvent *event)
{
    const double w = event->size().width() - 80;
    QHeaderView *header = ui->listBackups->header();
    header->resizeSection(0, int(w * 0.4));
    header->resizeSection(1, int(w * 0.25));
    header->resizeSection(2, int(w * 0.35));
}
