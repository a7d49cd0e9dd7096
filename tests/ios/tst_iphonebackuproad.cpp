// The whole road that puts messages onto a later iPhone, against a virtual
// phone and the fake backup program: back the phone up into the temporary
// root, open and cache the backup's message files, merge new messages into
// the backup, restore it, and find them in the phone's own database.
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "ios/applelibs.h"
#include "ios/backupmanifest.h"
#include "ios/ios6restoremessagesthread.h"
#include "ios/iosdevice.h"
#include "ios/iosmobilebackupthread.h"
#include "ios/iosmobilerestorethread.h"
#include "ios/itunescachesmsthread.h"
#include "ios/mobiledevice.h"
#include "store/ios6messagedb.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"

#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace tst_iphonebackuproad {

using namespace testsupport;

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

static _DeviceNotifyTarget target{nullptr, "connected", "disconnected"};

// One worker under its dialog, as the main window runs each step; answers
// whether it succeeded, and the error box's text otherwise.
bool runStep(const std::function<QThread *(ProgressForm *)> &make, QString *box)
{
    ProgressForm form("", nullptr);
    std::unique_ptr<QThread> thread(make(&form));
    DialogDriver driver;
    driver.thenPress(QMessageBox::Ok);
    thread->start();
    const int result = form.exec();
    thread->wait();
    for (const DialogDriver::Seen &seen : driver.seen())
        if (seen.className == "QMessageBox")
            *box = seen.text;
    return result == 1 && !form.failed;
}

} // namespace

class TestIPhoneBackupRoad : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    QTemporaryDir phones;
    DeviceSink sink;

private slots:
    void initTestCase()
    {
        setMakerServerUrl(server.url());
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
        target.receiver = &sink;
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
        qputenv("QP_VIRTUAL_IPHONES_POLL_MS", "20");
        mobiledevice_subscribe(&target);
    }
    void cleanupTestCase() { mobiledevice_clear_receiver(&target); }

    void messagesReachThePhoneThroughABackup()
    {
        VirtualIPhoneSetup setup = typicalIPhone("phone", "12.4");
        MsgFixtureContent content = generateMsgContent(5, 60, 6, 9);
        content.messages[1].text = QString::fromUtf8("Bis morgen \xF0\x9F\x98\x80");
        setup.messages = content;
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        QVERIFY(QTest::qWaitFor([&] { return !sink.arrived.isEmpty(); }, 20000));
        IOSDevice device;
        device.amDevice = sink.arrived.last();
        device.uniqueDeviceId = setup.values["UniqueDeviceID"].toString();
        device.productVersion = "12.4";
        device.mobileSubscriberCountryCode = "262";

        // Back up.
        QString box;
        QDir root;
        QVERIFY2(runStep(
                     [&](ProgressForm *form) {
                         auto *thread = new IOSMobileBackupThread(&device, form);
                         root = thread->backupDir();
                         return thread;
                     },
                     &box),
                 qPrintable(box));
        // Open and cache.
        BackupManifest manifest(root.absoluteFilePath(device.uniqueDeviceId));
        manifest.loadManifestPlist();
        QCOMPARE(manifest.info.productVersion, QString("12.4"));
        manifest.loadMbdb();
        QVERIFY2(runStep([&](ProgressForm *form) { return new ITunesCacheSMSThread(&manifest, device.cacheDir(), form); },
                         &box),
                 qPrintable(box));
        // Merge.
        MsgStoreBuilder builder;
        _MsgHandle *anna = builder.handle("+4915112345678");
        _MsgChat *chat = builder.chat({anna});
        builder.message(chat, anna, QString::fromUtf8("Hallo vom PC \xF0\x9F\x93\xB1"), 600000000 + 10 * 37 + 5);
        builder.message(chat, nullptr, "Antwort", 600000000 + 70 * 37);
        QList<_MsgMessage *> messages = builder.messages();
        for (_MsgMessage *m : messages)
            m->srcRowid += 5000;
        {
            IOS6MessageDb cached(device.cacheDir(), device.mobileSubscriberCountryCode, false);
            int restored = -1;
            QVERIFY2(runStep(
                         [&](ProgressForm *form) {
                             auto *thread = new IOS6RestoreMessagesThread(device.mobileSubscriberCountryCode,
                                                                          &messages, &cached,
                                                                          manifest.folder, form);
                             // Direct: a queued call could still wait when the
                             // thread object goes right after its wait.
                             connect(
                                 thread, &QThread::finished, thread,
                                 [thread, &restored] { restored = thread->restoredCount(); }, Qt::DirectConnection);
                             return thread;
                         },
                         &box),
                     qPrintable(box));
            QCOMPARE(restored, 2);
        }
        // Restore.
        QVERIFY2(runStep([&](ProgressForm *form) { return new IOSMobileRestoreThread(&device, root, form); }, &box),
                 qPrintable(box));

        const QString phoneDb = virtualIPhoneRoot(folder) + "/var/mobile/Library/SMS/sms.db";
        QCOMPARE(queryValue(phoneDb, "select count(*) from message").toInt(), 62);
        for (_MsgMessage *m : messages)
            QCOMPARE(queryValue(phoneDb, "select text from message where guid='" + m->guid + "'").toString(),
                     m->text);
        QCOMPARE(queryValue(phoneDb, "select count(*) from message where guid='" + content.messages[1].guid + "'")
                     .toInt(),
                 1);
        QCOMPARE(queryValue(phoneDb, "select count(*) from chat where guid='SMS;-;+4915112345678'").toInt(), 1);
    }
};

QP_TEST_MAIN(TestIPhoneBackupRoad)

} // namespace tst_iphonebackuproad

#include "tst_iphonebackuproad.moc"
