#pragma once
// The main window: the tree of devices, local databases and conversations,
// the message list and the conversation view.
#include "ios/iosdevice.h"

#include <QList>
#include <QMainWindow>

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The iPhones attached now, in the order they arrived.
    QList<IOSDevice> iosDevices() const { return m_iosDevices; }

public slots:
    // Queued from the MobileDevice library's thread: a phone arrived. Its
    // five device values are read and the phone kept.
    void iosDeviceConnected(void *device);
    // A phone left: the one kept with that handle is dropped.
    void iosDeviceDisconnected(void *device);

private:
    QList<IOSDevice> m_iosDevices;
};
