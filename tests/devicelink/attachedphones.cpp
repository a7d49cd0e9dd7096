#include "tests/devicelink/attachedphones.h"

#include "ios/applelibs.h"
#include "ios/mobiledevice.h"

#include <QtTest/QtTest>

namespace {

// The subscription lasts for the whole process and outlives the test's
// objects: the target is never destroyed, its receiver cleared at the end.
_DeviceNotifyTarget s_target{nullptr, "arrived", "left"};

} // namespace

AttachedPhones::AttachedPhones() = default;

AttachedPhones::~AttachedPhones()
{
    mobiledevice_clear_receiver(&s_target);
}

bool AttachedPhones::throughUsbmux()
{
    return qgetenv("QP_TEST_PHONE_BACKEND") == "usbmux";
}

void AttachedPhones::start()
{
    s_target.receiver = this;
    qputenv(kCommonFilesVar, QP_COMMON_FILES);
    // The daemon's own stand-in inherits the polling interval.
    qputenv("QP_VIRTUAL_IPHONES_POLL_MS", "20");
    if (throughUsbmux()) {
        muxer = std::make_unique<testsupport::UsbmuxdFixture>(phones.path());
        const QString started = muxer->start();
        if (!started.isEmpty()) {
            QTest::qFail(qPrintable(started), __FILE__, __LINE__);
            return;
        }
    } else {
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
    }
    mobiledevice_subscribe(&s_target);
}

void *AttachedPhones::attach(const testsupport::VirtualIPhoneSetup &setup)
{
    const int before = seen.size();
    testsupport::VirtualIPhoneSetup written = setup;
    // Every service asks for TLS, as on newer phones, so the clients read and
    // write the library's relay socket, the harder of its two socket paths
    // (tests/ios/tst_usbmuxbackend runs a service both ways).
    if (throughUsbmux() && !written.lockdown.contains("ServiceSSL"))
        written.lockdown.insert("ServiceSSL", QStringList{"com.apple.afc", "com.apple.mobile.house_arrest",
                                                          "com.apple.mobilebackup2", "com.apple.mobilesync",
                                                          "com.apple.mobile.notification_proxy"});
    testsupport::writeVirtualIPhone(phones.path(), written);
    if (!QTest::qWaitFor([&] { return seen.size() > before; }, 20000))
        return nullptr;
    return seen.last().connected ? seen.last().device : nullptr;
}

bool AttachedPhones::detach(const QString &folderName, void *device)
{
    testsupport::removeVirtualIPhone(folder(folderName));
    return QTest::qWaitFor(
        [&] { return !seen.isEmpty() && seen.last().device == device && !seen.last().connected; }, 20000);
}

QString AttachedPhones::folder(const QString &folderName) const
{
    return phones.path() + "/" + folderName;
}

void AttachedPhones::arrived(void *device)
{
    seen.append({device, true});
}

void AttachedPhones::left(void *device)
{
    seen.append({device, false});
}
