#pragma once
// Virtual iPhones for the tests of the service clients, reached through
// either MobileDevice library: the stand-in by default, or, with
// QP_TEST_PHONE_BACKEND=usbmux (CTest runs each such test both ways), the
// library for real iPhones talking to the virtual usbmuxd over
// libimobiledevice, every service over its TLS relay. start() loads the
// library and subscribes once per process; attach and detach write and
// remove a phone and wait until the library has reported it.
#include "tests/support/usbmuxdfixture.h"
#include "tests/support/virtualiphonefixture.h"

#include <QObject>
#include <QTemporaryDir>

#include <memory>

class AttachedPhones : public QObject
{
    Q_OBJECT
public:
    AttachedPhones();
    ~AttachedPhones() override;

    // Call in initTestCase; a daemon that does not start fails the test.
    void start();
    // True when the phones are reached through the virtual usbmuxd: their
    // services then run in its process, out of reach of the in-process hooks
    // (ServicePeerHook) and of the stand-in's per-call failure settings.
    static bool throughUsbmux();
    // The phone's handle once it arrived; nullptr when it did not in time.
    void *attach(const testsupport::VirtualIPhoneSetup &setup);
    bool detach(const QString &folderName, void *device);
    QString folder(const QString &folderName) const;

public slots:
    void arrived(void *device);
    void left(void *device);

private:
    struct Seen
    {
        void *device;
        bool connected;
    };
    QTemporaryDir phones;
    std::unique_ptr<testsupport::UsbmuxdFixture> muxer;
    QList<Seen> seen;
};
