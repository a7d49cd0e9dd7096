#include "ui/datasourceselform.h"

#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "ui_datasourceselform.h"

#include <QIcon>

DataSourceSelForm::DataSourceSelForm(QWidget *parent)
    : QDialog(parent), movable(this), ui(new Ui::DataSourceSelForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(::styleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &DataSourceSelForm::onBtnOkPressed);
    connect(ui->btnClose, &QPushButton::pressed, this, &QDialog::reject);
}

DataSourceSelForm::~DataSourceSelForm()
{
    delete ui;
}

void *DataSourceSelForm::select(const QString &prompt, const QList<_DataSourceItem *> &items)
{
    ui->lbSelDevice->setText(prompt);
    ui->cbDevice->clear();
    for (const _DataSourceItem *item : items) {
        // The pointer rides in the entry as a signed 64-bit integer; through
        // quintptr it comes back bit for bit.
        ui->cbDevice->addItem(QIcon(item->icon), item->text,
                              QVariant::fromValue(qint64(reinterpret_cast<quintptr>(item->pointer))));
    }
    ui->cbDevice->setCurrentIndex(items.size() == 1 ? 0 : -1);
    // With nothing chosen a closed box is blank, which reads as "no phone
    // found" although the list holds several: say what is behind it.
    ui->cbDevice->setPlaceholderText(items.size() > 1 ? tr("IDS_CHOOSE_ONE_OF_%1").arg(items.size()) : QString());

    if (exec() != QDialog::Accepted)
        return nullptr;
    const qint64 value = ui->cbDevice->currentData(Qt::UserRole).toLongLong();
    return reinterpret_cast<void *>(quintptr(value));
}

void DataSourceSelForm::onBtnOkPressed()
{
    if (ui->cbDevice->currentIndex() != -1) {
        accept();
        return;
    }
    showWarning(tr("IDS_PLEASE_SELECT_ONE_DATASOURCE"));
}
