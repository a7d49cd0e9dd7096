#include "app/progressform.h"

#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "ui_progressform.h"

#include <QThread>

ProgressForm::ProgressForm(const QString &status, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      failed(false),
      tipsWaiting(false),
      movable(this),
      ui(new Ui::ProgressForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(::styleSheet());
    setWindowTitle(status);
    ui->lbStatus->setText(status);
    connect(this, &QDialog::finished, this, &ProgressForm::onFinish);
    connect(ui->btnCancel, &QPushButton::pressed, this, &ProgressForm::cancel);
}

ProgressForm::~ProgressForm()
{
    delete ui;
}

void ProgressForm::setCancelEnabled(bool enabled)
{
    ui->btnCancel->setEnabled(enabled);
}

void ProgressForm::postUpdateProgress(const QString &status, int value, const QString &text)
{
    QMetaObject::invokeMethod(this, "updateProgress", Qt::AutoConnection, Q_ARG(QString, status),
                              Q_ARG(int, value), Q_ARG(QString, text));
}

void ProgressForm::postErrorOccurred(const QString &message)
{
    QMetaObject::invokeMethod(this, "errorOccurred", Qt::AutoConnection, Q_ARG(QString, message));
}

void ProgressForm::postSucceed(const QString &message)
{
    QMetaObject::invokeMethod(this, "succeed", Qt::AutoConnection, Q_ARG(QString, message));
}

void ProgressForm::postTipsWait(const QString &message)
{
    tipsWaiting = true;
    QMetaObject::invokeMethod(this, "tipsWait", Qt::AutoConnection, Q_ARG(QString, message));
}

void ProgressForm::waitForTips() const
{
    while (tipsWaiting && !failed)
        QThread::msleep(200);
    if (failed)
        throw -1;
}

void ProgressForm::updateProgress(QString status, int value, QString text)
{
    if (!status.isEmpty())
        ui->lbStatus->setText(status);
    if (value < 0)
        value = ui->progressBar->value();
    if (value >= 0 && value <= 100)
        ui->progressBar->setValue(value);
    if (text.isEmpty())
        text = QStringLiteral("Progress:%1%").arg(value);
    ui->lbProgress->setText(text);
}

void ProgressForm::errorOccurred(QString message)
{
    showError(message);
    done(0);
}

void ProgressForm::succeed(QString message)
{
    // The form goes first: behind the box it would still offer a Cancel for
    // work that has already ended.
    done(1);
    if (!message.isEmpty())
        showInformation(message);
}

void ProgressForm::onFinish(int result)
{
    failed = (result == 0);
}

void ProgressForm::tipsWait(QString message)
{
    showInformation(message);
    tipsWaiting = false;
}

void ProgressForm::cancel()
{
    emit userCacel();
    done(0);
}

void ProgressForm::accept() {}

void ProgressForm::reject() {}
