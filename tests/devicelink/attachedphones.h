#pragma once
// Virtual iPhones attached through the MobileDevice stand-in, for the tests
// of the service clients: start() loads the libraries and subscribes once per
// process; attach and detach write and remove a phone and wait until the
// stand-in has reported it.
#include "tests/support/virtualiphonefixture.h"

#include <QObject>
#include <QTemporaryDir>

class AttachedPhones : public QObject
{
    Q_OBJECT
public:
    AttachedPhones();
    ~AttachedPhones() override;

    // Call in initTestCase.
    void start();
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
    QList<Seen> seen;
};
