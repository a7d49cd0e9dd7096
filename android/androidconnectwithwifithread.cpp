#include "android/androidconnectwithwifithread.h"

#include "android/androidconnectwithusbthread.h"
#include "android/cancelscope.h"
#include "app/progressform.h"

#include <QCoreApplication>
#include <exception>

AndroidConnectWithWiFiThread::AndroidConnectWithWiFiThread(const QString &host, ProgressForm *form, QObject *parent)
    : QThread(parent), form(form)
{
    device.isWifi = true;
    device.host = host;
    device.controlPort = AndroidDevice::kWifiControlPort;
}

void AndroidConnectWithWiFiThread::run()
{
    // A phone that stops answering would otherwise hold the dialog after a
    // Cancel until its socket gives up.
    CancelScope scope(&form->failed);
    form->postUpdateProgress(
        QCoreApplication::translate("AndroidConnectWithWiFiThread", "IDS_GET_ANDROID_DEVICE_INFO"), 99, QString());
    try {
        AndroidConnectWithUSBThread::readDescription(device);
        if (form->failed)
            return;
        if (AndroidConnectWithUSBThread::versionAccepted(device))
            form->postSucceed(QString());
        else
            form->postErrorOccurred(AndroidConnectWithUSBThread::tooOldText());
    } catch (const std::exception &e) {
        if (!form->failed)
            form->postErrorOccurred(QString::fromUtf8(e.what()).toHtmlEscaped());
    }
}
