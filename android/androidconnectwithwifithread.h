#pragma once
// Connects a phone by the address the companion app shows: opens the app's
// "device2" service through its control port (44441), reads the phone's
// description and checks the app's version, as the USB connection does.
// Runs behind a ProgressForm; a Cancel ends its waits at once.
#include "android/androiddevice.h"

#include <QString>
#include <QThread>

class ProgressForm;

class AndroidConnectWithWiFiThread : public QThread
{
public:
    AndroidConnectWithWiFiThread(const QString &host, ProgressForm *form, QObject *parent);

    AndroidDevice device;
    ProgressForm *form;

protected:
    void run() override;
};
