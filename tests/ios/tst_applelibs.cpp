#include "ios/applelibs.h"
#include "tests/support/testmain.h"

namespace tst_applelibs {

// Loaded libraries stay loaded for the life of the process, so the cases run
// in this order: nothing found, only MobileDevice found, both found.
class TestAppleLibs : public QObject
{
    Q_OBJECT

    const QString common = QStringLiteral(FAKE_APPLE_COMMON);

    static void setEnv(const char *name, const QString &value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value.toUtf8());
    }

private slots:
    void settingsAndDefaults_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("read");
        QTest::newRow("unset") << QString() << QString();
        QTest::newRow("set") << "/opt/md" << "/opt/md";
        QTest::newRow("127 units fit") << QString(127, 'a') << QString(127, 'a');
        QTest::newRow("128 units count as missing") << QString(128, 'a') << QString();
    }
    void settingsAndDefaults()
    {
        QFETCH(QString, value);
        QFETCH(QString, read);
        setEnv(kMobileDeviceDirVar, value);
        QCOMPARE(reg_read_hklm_string("SOFTWARE\\Apple Inc.\\Apple Mobile Device Support", "InstallDir"),
                 read);
        QCOMPARE(reg_read_hklm_string("SOFTWARE\\Other", "InstallDir"), QString());
        setEnv(kMobileDeviceDirVar, QString());
    }

    void theVirtualPhonesFolderChoosesTheStandIn_data()
    {
        QTest::addColumn<QString>("phones");
        QTest::addColumn<QString>("file");
        QTest::newRow("unset: real phones") << QString() << "/md/libMobileDeviceUsbmux.so";
        QTest::newRow("empty: real phones") << "" << "/md/libMobileDeviceUsbmux.so";
        QTest::newRow("set: virtual phones") << "/tmp/phones" << "/md/libiTunesMobileDevice.so";
    }
    void theVirtualPhonesFolderChoosesTheStandIn()
    {
        QFETCH(QString, phones);
        QFETCH(QString, file);
        setEnv(kVirtualIPhonesVar, phones);
        QCOMPARE(appleLibraryFile("/md", mobileDeviceLibraryName()), file);
        setEnv(kVirtualIPhonesVar, QString());
    }

    void nothingFound()
    {
        qputenv(kCommonFilesVar, "/nonexistent-common-files");
        QString error = "untouched";
        QVERIFY(!apple_libs_load(error));
        QCOMPARE(error, "Failed to load (Mobile Device) framework.");
        QVERIFY(!apple_libs_loaded());
    }

    void onlyMobileDeviceFound()
    {
        setEnv(kVirtualIPhonesVar, "/nonexistent-phones");
        // MobileDevice from its own setting; CoreFoundation falls back to the
        // common folder, which does not have it.
        setEnv(kMobileDeviceDirVar, common + "/Apple/Mobile Device Support");
        qputenv(kCommonFilesVar, "/nonexistent-common-files");
        QString error;
        QVERIFY(!apple_libs_load(error));
        QCOMPARE(error, "Failed to load (CoreFoundation) framework.");
        QVERIFY(!apple_libs_loaded());
        QVERIFY(apple_md_resolve("AMDeviceNotificationSubscribe"));
        setEnv(kMobileDeviceDirVar, QString());
    }

    void bothFoundBelowTheCommonFolder()
    {
        qputenv(kCommonFilesVar, common.toUtf8());
        QString error = "untouched";
        QVERIFY(apple_libs_load(error));
        QCOMPARE(error, "untouched");
        QVERIFY(apple_libs_loaded());
        QVERIFY(apple_md_resolve("AMDeviceNotificationSubscribe"));
        QVERIFY(apple_cf_resolve("CFGetTypeID"));
        QVERIFY(!apple_cf_resolve("NoSuchFunction"));
        // A second load succeeds again.
        QVERIFY(apple_libs_load(error));
    }
};

QP_TEST_MAIN(TestAppleLibs)

} // namespace tst_applelibs

#include "tst_applelibs.moc"
