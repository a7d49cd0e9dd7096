#include "android/androidwifiform.h"

#include "android/androidconnectwithwifithread.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "app/stylesheet.h"
#include "ui_androidwifiform.h"

#include <QRegularExpression>

AndroidWIFIForm::AndroidWIFIForm(QWidget *parent)
    : QDialog(parent), ui(new Ui::AndroidWIFIForm), movable(this)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    // The application's sheet: a bare styleSheet() here is this widget's own.
    setStyleSheet(::styleSheet()
                  + QStringLiteral(" #lbTipsDownloadWifiConnection { font-size:9px; color:#767B7C; margin:0 10px;}"));
    connect(ui->btnConnect, &QPushButton::pressed, this, &AndroidWIFIForm::onBtnConnect);
}

AndroidWIFIForm::~AndroidWIFIForm()
{
    delete ui;
}

QString AndroidWIFIForm::typedAddress(const QString &text)
{
    static const QRegularExpression address(QStringLiteral("^([0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3})$"));
    const QRegularExpressionMatch match = address.match(text.trimmed());
    return match.hasMatch() ? match.captured(1) : QString();
}

void AndroidWIFIForm::onBtnConnect()
{
    const QString host = typedAddress(ui->txtWifiSocket->text());
    if (host.isEmpty()) {
        showWarning(tr("IDS_WIFI_SOCK_WRONG_FOR_EXAMPLE"));
        return;
    }
    ProgressForm form(tr("IDS_CONNECTING_ANDROID_DEVICE"), this);
    AndroidConnectWithWiFiThread thread(host, &form, this);
    thread.start();
    const int result = form.exec();
    thread.wait();
    if (result == QDialog::Accepted && !form.failed) {
        device = thread.device;
        accept();
    }
}
