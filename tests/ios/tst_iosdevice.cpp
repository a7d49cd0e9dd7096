// The device record: its cache folder, its version numbers and the backup
// settings check with its two warnings, against virtual iPhones.
#include "app/datafolder.h"
#include "app/makerserver.h"
#include "ios/applelibs.h"
#include "ios/iosdevice.h"
#include "ios/mobiledevice.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"

#include <QImageReader>

namespace tst_iosdevice {

namespace {

const QString kCloudWarning = "Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try "
                              "again.<br/><br/><img src=\":res/close_icloudbk.jpg\"/>";
const QString kEncryptWarning = "Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes "
                                "on computer and then uncheck \"Encrypt iPhone backup\" option to try again."
                                "<br/><br/><img src=\":res/close_itunesbkenc.jpg\"/>";

} // namespace

namespace {

class DeviceSink : public QObject
{
    Q_OBJECT
public:
    QList<void *> arrived;
public slots:
    void connected(void *device) { arrived.append(device); }
    void disconnected(void *) {}
};

} // namespace

// The subscription lasts for the whole process and outlives this test's
// objects: the target is never destroyed, and its receiver is cleared at
// the end.
static _DeviceNotifyTarget target{nullptr, "connected", "disconnected"};

class TestIOSDevice : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    DeviceSink sink;

    void *attach(const testsupport::VirtualIPhoneSetup &setup)
    {
        const int before = sink.arrived.size();
        testsupport::writeVirtualIPhone(phones.path(), setup);
        if (!QTest::qWaitFor([&] { return sink.arrived.size() > before; }, 20000))
            return nullptr;
        return sink.arrived.last();
    }

private slots:
    void cleanupTestCase() { mobiledevice_clear_receiver(&target); }
    void initTestCase()
    {
        target.receiver = &sink;
        setMakerServerUrl(server.url());
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
        qputenv("QP_VIRTUAL_IPHONES_POLL_MS", "20");
        mobiledevice_subscribe(&target);
    }

    void versionNumbers_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QList<int>>("numbers");
        QTest::newRow("7.1.2") << "7.1.2" << QList<int>{7, 1, 2};
        QTest::newRow("8.0") << "8.0" << QList<int>{8, 0};
        QTest::newRow("10.3") << "10.3" << QList<int>{10, 3};
        QTest::newRow("17.4.1") << "17.4.1" << QList<int>{17, 4, 1};
        QTest::newRow("empty") << "" << QList<int>{};
        QTest::newRow("other characters are skipped") << "iOS 9.3b2" << QList<int>{9, 3, 2};
    }
    void versionNumbers()
    {
        QFETCH(QString, version);
        QFETCH(QList<int>, numbers);
        IOSDevice device;
        device.productVersion = version;
        QCOMPARE(device.versionNumbers(), numbers);
    }

    void cacheDirStaysInsideTheCache_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("keptAsItIs");
        QTest::newRow("40 hex digits") << "3a6f1b0c9d2e4f5a6b7c8d9e0f1a2b3c4d5e6f70" << true;
        QTest::newRow("with a dash") << "00008030-001A35E22E38802E" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow(".") << "." << false;
        QTest::newRow("..") << ".." << false;
        QTest::newRow("climbing out") << "../../outside" << false;
        QTest::newRow("absolute") << "/tmp/elsewhere" << false;
        QTest::newRow("a virtual phone's folder path") << "/home/ann/virtual_ios/phone 1" << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("letters beyond ASCII") << QString::fromUtf8("\u00e4bc") << false;
    }
    void cacheDirStaysInsideTheCache()
    {
        QFETCH(QString, id);
        QFETCH(bool, keptAsItIs);
        const QString cache = appDataDir().absoluteFilePath("ios_cache");
        QDir(cache).removeRecursively();
        IOSDevice device;
        device.uniqueDeviceId = id;
        const QDir dir = device.cacheDir();
        // Made with its parent "ios_cache", directly inside it.
        QVERIFY(dir.exists());
        QCOMPARE(QFileInfo(dir.absolutePath()).absolutePath(), cache);
        QCOMPARE(dir.dirName(), keptAsItIs ? id : md5Hex(id));
        QCOMPARE(IOSDevice::cacheFolderName(id), dir.dirName());
        // Asking again gives the same folder.
        QCOMPARE(device.cacheDir().absolutePath(), dir.absolutePath());
    }

    void backupSettings_data()
    {
        QTest::addColumn<bool>("cloudOn");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<bool>("checkCloud");
        QTest::addColumn<bool>("checkEncrypt");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QString>("warning");
        QTest::newRow("both off, both checked") << false << false << true << true << true << QString();
        QTest::newRow("cloud on: only one warning") << true << true << true << true << false << kCloudWarning;
        QTest::newRow("cloud on but not checked") << true << false << false << false << true << QString();
        QTest::newRow("cloud on, only encryption checked") << true << false << false << true << true << QString();
        QTest::newRow("encrypted") << false << true << true << true << false << kEncryptWarning;
        QTest::newRow("encrypted, only the cloud checked") << false << true << true << false << true << QString();
    }
    void backupSettings()
    {
        QFETCH(bool, cloudOn);
        QFETCH(bool, encrypted);
        QFETCH(bool, checkCloud);
        QFETCH(bool, checkEncrypt);
        QFETCH(bool, result);
        QFETCH(QString, warning);
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone(QTest::currentDataTag());
        setup.domains["com.apple.mobile.backup"] = {{"CloudBackupEnabled", cloudOn}, {"WillEncrypt", encrypted}};
        IOSDevice device;
        device.amDevice = attach(setup);
        QVERIFY(device.amDevice);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(device.checkBackupSettings(checkCloud, checkEncrypt), result);
        QCOMPARE(driver.seen().size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty()) {
            QCOMPARE(driver.seen()[0].text, warning);
            QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Warning));
        }
    }

    void unreadableSettingsLetTheTransferGoOn_data()
    {
        QTest::addColumn<QString>("trouble");
        QTest::newRow("session fails") << "session";
        QTest::newRow("settings are no booleans") << "strings";
        QTest::newRow("no handle") << "null";
    }
    void unreadableSettingsLetTheTransferGoOn()
    {
        QFETCH(QString, trouble);
        IOSDevice device;
        if (trouble != "null") {
            testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("unreadable-" + trouble);
            if (trouble == "session")
                setup.failures.insert("AMDeviceStartSession", -402653153);
            else
                setup.domains["com.apple.mobile.backup"] = {{"CloudBackupEnabled", "true"}, {"WillEncrypt", 1}};
            device.amDevice = attach(setup);
            QVERIFY(device.amDevice);
        }
        DialogDriver driver;
        QVERIFY(device.checkBackupSettings(true, true));
        QCOMPARE(driver.seen().size(), 0);
    }

    void picturesAreCompiledInAsJpeg_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::newRow("iCloud") << ":res/close_icloudbk.jpg" << QSize(480, 367);
        QTest::newRow("iTunes") << ":res/close_itunesbkenc.jpg" << QSize(500, 339);
    }
    void picturesAreCompiledInAsJpeg()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        // The form the warning texts use resolves like the absolute one.
        QVERIFY(QFile::exists(path));
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), size);
    }
};

QP_TEST_MAIN(TestIOSDevice)

} // namespace tst_iosdevice

#include "tst_iosdevice.moc"
