#pragma once
// The virtual usbmuxd (tests/support/virtualusbmuxd/) as a child process
// serving a folder of virtual iPhones, and this process pointed at it: the
// MobileDevice library for real iPhones then reaches those phones through
// the real libimobiledevice and libusbmuxd.
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

class UsbmuxdFixture
{
public:
    // Points USBMUXD_SOCKET_ADDRESS at a socket in a folder of its own and
    // unsets QP_VIRTUAL_IPHONES_DIR, so the program loads the library for
    // real iPhones. Nothing runs yet.
    explicit UsbmuxdFixture(const QString &phonesDir);
    ~UsbmuxdFixture();

    // Starts the daemon and waits until its socket accepts; "" or what failed.
    QString start();
    // Kills it (its socket goes with it).
    void stop();

    QString socketPath() const;
    // The pair records it keeps, one "<UDID>.plist" each.
    QString recordsDir() const;
    QString recordPath(const QString &udid) const;
    // The hosts the phone trusts, in the order it came to.
    static QStringList trustedHosts(const QString &phoneFolder);

private:
    QString phones;
    QTemporaryDir own;
    QProcess process;
};

} // namespace testsupport
