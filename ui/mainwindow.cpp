#include "ui/mainwindow.h"

#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "ios/applelibs.h"
#include "ios/cftype.h"
#include "ios/mobiledevice.h"

#include <QDebug>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QObject::tr("Quillmarten Parlevane"));
    setStyleSheet(::styleSheet());
    resize(960, 640);

    if (apple_libs_loaded()) {
        s_deviceNotifyTarget.receiver = this;
        s_deviceNotifyTarget.connectedSlot = "iosDeviceConnected";
        s_deviceNotifyTarget.disconnectedSlot = "iosDeviceDisconnected";
        try {
            mobiledevice_subscribe(&s_deviceNotifyTarget);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            showError(QString::fromUtf8(e.what()));
        }
    }
}

MainWindow::~MainWindow()
{
    // The subscription outlives the window; what it still reports must not
    // reach a window that is gone.
    if (s_deviceNotifyTarget.receiver == this)
        mobiledevice_clear_receiver(&s_deviceNotifyTarget);
}

void MainWindow::iosDeviceConnected(void *device)
{
    static const QStringList keys = {QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
                                     QStringLiteral("MobileSubscriberCountryCode"), QStringLiteral("ProductVersion"),
                                     QStringLiteral("ProductType")};
    try {
        const QList<CFType> values = mobiledevice_copy_values(device, keys, QString());
        IOSDevice record;
        record.uniqueDeviceId = values.value(0).toQString();
        record.deviceName = values.value(1).toQString();
        record.mobileSubscriberCountryCode = values.value(2).toQString();
        record.productVersion = values.value(3).toQString();
        record.productType = values.value(4).toQString();
        record.amDevice = device;
        m_iosDevices.append(record);
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}

void MainWindow::iosDeviceDisconnected(void *device)
{
    for (int i = 0; i < m_iosDevices.size(); ++i) {
        if (m_iosDevices.at(i).amDevice == device) {
            m_iosDevices.removeAt(i);
            return;
        }
    }
}
