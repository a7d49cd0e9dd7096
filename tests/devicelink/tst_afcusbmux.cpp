// The AFC road on a phone whose AFC service asks for TLS, reached through the
// MobileDevice library for real iPhones: libimobiledevice speaks TLS to the
// virtual lockdownd's service, and the program's AFC client reads and writes
// the plain socket of the library's relay.
#include "devicelink/afcclient.h"
#include "devicelink/afcfile.h"
#include "devicelink/afcfileinfo.h"
#include "ios/applelibs.h"
#include "ios/mobiledevice.h"
#include "tests/support/testmain.h"
#include "tests/support/usbmuxdfixture.h"
#include "tests/support/virtualiphonefixture.h"

#include <QFile>

namespace tst_afcusbmux {

using namespace testsupport;

class UsbmuxSink : public QObject
{
    Q_OBJECT
public:
    QList<void *> arrived;

public slots:
    void onArrival(void *device) { arrived.append(device); }
    void onLeave(void *) {}
};

_DeviceNotifyTarget target{nullptr, "onArrival", "onLeave"};

class TestAfcUsbmux : public QObject
{
    Q_OBJECT

    QTemporaryDir phones;
    UsbmuxdFixture muxer{phones.path()};
    UsbmuxSink sink;

private slots:
    void initTestCase()
    {
        target.receiver = &sink;
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        const QString started = muxer.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
        mobiledevice_subscribe(&target);
    }
    void cleanupTestCase() { mobiledevice_clear_receiver(&target); }

    void theMediaAreaIsListedReadAndWrittenThroughTheRelay()
    {
        VirtualIPhoneSetup setup = typicalIPhone("afc", "9.3.5");
        const QByteArray photo = QByteArray(70000, '\xd8') + "end of a photo";
        setup.mediaFiles = {{"DCIM/100APPLE/IMG_0001.JPG", photo}, {"Books/Notes \u00e4.txt", "notes"}};
        setup.lockdown = {{"ServiceSSL", QStringList{"com.apple.afc"}}};
        writeVirtualIPhone(phones.path(), setup);
        QVERIFY(QTest::qWaitFor([&] { return !sink.arrived.isEmpty(); }, 30000));

        AfcClient afc(sink.arrived.first());
        afc.open();
        QVERIFY(afc.socket > 2);
        QStringList names;
        for (const AfcFileInfo &info : afc.entryInfoList("/"))
            names << info.name;
        names.sort();
        QCOMPARE(names, (QStringList{"/Books", "/DCIM"}));

        AfcFile in;
        QVERIFY(afc.openForRead("/DCIM/100APPLE/IMG_0001.JPG", in));
        QByteArray read(photo.size() + 10, '\0');
        int total = 0;
        for (int got; (got = in.read(read.data() + total, int(read.size()) - total)) > 0;)
            total += got;
        in.close();
        QCOMPARE(read.left(total), photo);

        AfcFile out;
        QVERIFY(afc.openForWrite("/Books/new.txt", out));
        QCOMPARE(out.write("written over TLS", 16), 16);
        out.close();
        afc.close();
        QFile written(virtualIPhoneMedia(phones.path() + "/afc") + "/Books/new.txt");
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("written over TLS"));
    }
};

QP_TEST_MAIN(TestAfcUsbmux)

} // namespace tst_afcusbmux

#include "tst_afcusbmux.moc"
