#include "store/localdbselform.h"

#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "ui_localdbselform.h"

#include <QLineEdit>

LocalDbSelForm::LocalDbSelForm(const QStringList &names, const QString &proposed, QWidget *parent)
    : QDialog(parent), movable(this), ui(new Ui::LocalDbSelForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(::styleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &LocalDbSelForm::onBtnOkPress);
    connect(ui->btnClose, &QPushButton::pressed, this, &QDialog::reject);

    ui->cbLocalDbNames->addItem(QString());
    ui->cbLocalDbNames->addItems(names);
    ui->cbLocalDbNames->setCurrentIndex(-1);
    if (!proposed.isEmpty())
        ui->cbLocalDbNames->setEditText(proposed);
}

LocalDbSelForm::~LocalDbSelForm()
{
    delete ui;
}

QString LocalDbSelForm::selectedName()
{
    if (exec() == QDialog::Accepted && !name.isEmpty())
        return name;
    return QString();
}

QString LocalDbSelForm::nameProblem(const QString &name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return tr("IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME");
    static const QString forbidden = QStringLiteral("\\/:*?\"<>|");
    bool invalid = false;
    for (const QChar c : name) {
        if (forbidden.contains(c)) {
            invalid = true;
            break;
        }
    }
    // The name becomes a folder inside "local_databases" that deleting the
    // database removes whole: "." or ".." would name that folder or the data
    // folder itself, and any other leading dot would hide the database.
    if (trimmed.startsWith(QLatin1Char('.')))
        invalid = true;
    return invalid ? tr("IDS_INVALID_LOCALDB_NAME") : QString();
}

void LocalDbSelForm::onBtnOkPress()
{
    name = ui->cbLocalDbNames->currentText();
    const QString problem = nameProblem(name);
    if (!problem.isEmpty()) {
        showWarning(problem);
        return;
    }
    accept();
}
