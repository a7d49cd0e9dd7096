// The whole road of a later iPhone in the real window, as a real one takes
// it: the phone arrives through the MobileDevice library for real iPhones,
// libimobiledevice and libusbmuxd, from the virtual usbmuxd and lockdownd,
// and Debian's own idevicebackup2 backs it up and restores onto it (its
// backup service is a whole peer of the program's, backup2peer.h). Windows
// are answered by their class.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "ios/applelibs.h"
#include "ios/iosmobilebackupthread.h"
#include "store/localdbselform.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/iphonetransfer.h"
#include "tests/support/modalresponder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/usbmuxdfixture.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/passcodedlg.h"

#include "ui_localdbselform.h"
#include "ui_mainwindow.h"
#include "ui_passcodedlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>
#include <QElapsedTimer>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <memory>

#include <plist/plist.h>

namespace tst_mainwindowusbmuxbackup {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

const char kNote[] = "<p><b>Notes:</b> If your iPhone is protected with a passcode, please enter your passcode on "
                     "iPhone first.</p>";
const char kService[] = "com.apple.mobilebackup2";
const QByteArray kPassword = "Gl\xc3\xbc" "ckskeks \xf0\x9f\x8d\xaa";

// Two messages, as a local database holds them.
MsgFixtureContent twoMessages()
{
    return conversationsWithTexts({QString::fromUtf8("Clara Weiß")},
                                  {QString::fromUtf8("Bring bitte Brot mit \U0001F956"),
                                   QString::fromUtf8("Zug f\u00e4hrt um 7:12")});
}

QDir deviceBackup(const QString &udid)
{
    return QDir(IOSMobileBackupThread::tempBackupRoot().absoluteFilePath(udid));
}

// A property list's top, read by libplist; nullptr when it is none.
struct PlistFile
{
    explicit PlistFile(const QByteArray &bytes)
    {
        plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &root);
    }
    static PlistFile at(const QString &path)
    {
        QFile file(path);
        return PlistFile(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    ~PlistFile()
    {
        if (root)
            plist_free(root);
    }
    PlistFile(const PlistFile &) = delete;
    PlistFile(PlistFile &&other) noexcept : root(other.root) { other.root = nullptr; }

    static QString text(plist_t node)
    {
        if (!node || plist_get_node_type(node) != PLIST_STRING)
            return QString();
        char *value = nullptr;
        plist_get_string_val(node, &value);
        const QString out = QString::fromUtf8(value);
        free(value);
        return out;
    }
    QString text(const char *key) const
    {
        return text(root && plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, key) : nullptr);
    }
    bool flag(const char *key) const
    {
        plist_t node = root && plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, key) : nullptr;
        uint8_t on = 0;
        if (node && plist_get_node_type(node) == PLIST_BOOLEAN)
            plist_get_bool_val(node, &on);
        return on != 0;
    }

    plist_t root = nullptr;
};

// What the phone's backup service was asked, by request name, in order.
QStringList backupRequests(const QString &phoneFolder)
{
    QStringList names;
    const PlistFile log(recordedServiceRequests(phoneFolder, kService));
    if (!log.root || plist_get_node_type(log.root) != PLIST_ARRAY)
        return names;
    for (uint32_t i = 0; i < plist_array_get_size(log.root); ++i) {
        plist_t message = plist_array_get_item(log.root, i);
        if (plist_get_node_type(message) != PLIST_ARRAY || plist_array_get_size(message) < 2
            || PlistFile::text(plist_array_get_item(message, 0)) != QLatin1String("DLMessageProcessMessage"))
            continue;
        plist_t request = plist_array_get_item(message, 1);
        if (plist_get_node_type(request) == PLIST_DICT)
            names << PlistFile::text(plist_dict_get_item(request, "MessageName"));
    }
    return names;
}

// Closes every modal window still open after a while: a window no handler
// answered fails its case at once instead of holding the test until its
// time-out (a wait inside the case cannot end while the window's own loop
// runs).
class ModalWatchdog : public QObject
{
public:
    explicit ModalWatchdog(int ms = 120000)
    {
        timer.setInterval(200);
        connect(&timer, &QTimer::timeout, this, [this]() {
            if (!clock.hasExpired(limit))
                return;
            if (QWidget *modal = QApplication::activeModalWidget()) {
                fired = true;
                qWarning("closing the modal %s nobody answered", modal->metaObject()->className());
                modal->close();
            }
        });
        limit = ms;
        clock.start();
        timer.start();
    }
    bool fired = false;

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 limit = 0;
};

// Presses Yes on a question, Ok on any other box.
void yesOrOk(QWidget *w)
{
    auto *box = static_cast<QMessageBox *>(w);
    if (QAbstractButton *yes = box->button(QMessageBox::Yes))
        yes->click();
    else if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
}

} // namespace

class TestMainWindowUsbmuxBackup : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    QTemporaryDir phones;
    UsbmuxdFixture muxer{phones.path()};
    FakeAdb adb;
    IdsTranslator translator;
    int serial = 0;
    std::unique_ptr<MainWindow> shared;
    std::unique_ptr<ModalWatchdog> watchdog;

    // An iOS 16 phone of the typical conversations (nanosecond dates, every
    // other text only in attributedBody, a group, an e-mail handle, emoji)
    // with a fresh id, name and folder each time.
    VirtualIPhoneSetup phone(const QString &version = QStringLiteral("16.5"))
    {
        ++serial;
        VirtualIPhoneSetup setup = transferPhone(QStringLiteral("mux%1").arg(serial),
                                                 QStringLiteral("00008110-001C195A3C38%1").arg(serial, 4, 10, QChar('0')),
                                                 QString::fromUtf8("Lena\u2019s iPhone %1").arg(serial));
        setup.values["ProductVersion"] = version;
        return setup;
    }
    static QString idOf(const VirtualIPhoneSetup &setup) { return setup.values["UniqueDeviceID"].toString(); }
    static QString nameOf(const VirtualIPhoneSetup &setup) { return setup.values["DeviceName"].toString(); }

    // Plugs the phone in and waits until its arrival ended (node or not).
    bool arrive(const VirtualIPhoneSetup &setup, QString *folder)
    {
        *folder = writeVirtualIPhone(phones.path(), setup);
        const QString udid = idOf(setup);
        // The arrival selects the phone's node from a queued call: a case
        // selects its own source only after that.
        return QTest::qWaitFor(
            [&]() {
                const QList<Node *> nodes = iphoneNodes(*shared, udid);
                return !nodes.isEmpty() && !shared->isDeviceBusy(udid)
                    && shared->widgets()->treeViewDS->currentIndex() == shared->treeModel()->indexOf(nodes.first());
            },
            60000);
    }

    void selectNode(Node *node)
    {
        shared->widgets()->treeViewDS->setCurrentIndex(shared->treeModel()->indexOf(node));
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase()
    {
        // Debian's program, not a stand-in: the program finds it on PATH.
        QVERIFY2(!QStandardPaths::findExecutable("idevicebackup2").isEmpty(),
                 "idevicebackup2 (libimobiledevice-utils) is not installed");
        const QString error = prepareWindowTests(server.url(), adb, translator);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        qputenv(kCommonFilesVar, QP_COMMON_FILES);
        const QString started = muxer.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
        QString loadError;
        QVERIFY2(apple_libs_load(loadError), qPrintable(loadError));
        const QString data = appDataDir().absolutePath();
        writeWindowDb(data, "local_databases", "home", twoMessages());
        shared = std::make_unique<MainWindow>();
        // The library for real iPhones answers, not the stand-in.
        QVERIFY(apple_md_resolve("qp_imd_code_for_lockdown_error"));
    }
    void cleanupTestCase() { shared.reset(); }
    void init() { watchdog = std::make_unique<ModalWatchdog>(); }
    void cleanup()
    {
        const bool stuck = watchdog->fired;
        watchdog.reset();
        QVERIFY2(!stuck, "a window stayed open unanswered");
        for (const QString &name : QDir(phones.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeVirtualIPhone(phones.filePath(name));
        QTRY_VERIFY_WITH_TIMEOUT(shared->iosDevices().isEmpty(), 20000);
    }

    // The phone arrives through a backup the real program made: its
    // conversations show with their dates and texts, in the layout of its
    // version, and the program asked the phone's services what a real one
    // is asked (its notifications, the sync lock, installed apps, which this
    // phone refuses as a phone may).
    void aPhoneArrivesThroughTheRealBackupProgram_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("iOS 16: Manifest.db") << "16.5";
        QTest::newRow("iOS 9: Manifest.mbdb") << "9.3.5";
    }
    void aPhoneArrivesThroughTheRealBackupProgram()
    {
        QFETCH(QString, version);
        const VirtualIPhoneSetup setup = phone(version);
        const QString udid = idOf(setup);
        ModalResponder responder;
        QString folder;
        QVERIFY(arrive(setup, &folder));
        QCOMPARE(responder.boxTexts(), QStringList{kNote});

        Node *node = iphoneNodes(*shared, udid).first();
        QCOMPARE(node->text, nameOf(setup));
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
        QTRY_COMPARE(shared->widgets()->treeViewDS->currentIndex(), shared->treeModel()->indexOf(node));
        QTRY_COMPARE(shared->messageModel()->rowCount(), int(typicalConversations().messages.size()));
        QStringList shown, expected;
        for (const _MsgMessage *m : shared->messageModel()->messages)
            shown << QStringLiteral("%1 %2").arg(m->date).arg(m->text);
        for (const MsgFixtureMessage &m : typicalConversations().messages)
            expected << QStringLiteral("%1 %2").arg(m.date).arg(m.text);
        shown.sort();
        expected.sort();
        QCOMPARE(shown, expected);

        const QDir backup = deviceBackup(udid);
        const bool newer = version.startsWith("16");
        QCOMPARE(backup.exists("Manifest.db"), newer);
        QCOMPARE(backup.exists("Manifest.mbdb"), !newer);
        // The program wrote Info.plist itself; the phone's staging folder
        // went once the manifests were in place.
        QCOMPARE(PlistFile::at(backup.absoluteFilePath("Info.plist")).text("Target Identifier"), udid);
        QVERIFY(!backup.exists("Snapshot"));
        QCOMPARE(backupRequests(folder), (QStringList{"Hello", "Backup"}));
        const QByteArray notifications = recordedServiceRequests(folder, "com.apple.mobile.notification_proxy");
        QVERIFY2(notifications.contains("com.apple.itunes-mobdev.syncWillStart")
                     && notifications.contains("com.apple.itunes-mobdev.syncDidStart"),
                 notifications.constData());
    }

    // Backed up into a local database, the phone's messages are there once
    // each, also after a second backup into the same database.
    void theBackupGoesIntoALocalDatabaseOnce()
    {
        const VirtualIPhoneSetup setup = phone();
        const QString name = QStringLiteral("Lena Backup");
        ModalResponder responder;
        responder.on("LocalDbSelForm", [name](QWidget *w) {
            auto *form = static_cast<LocalDbSelForm *>(w);
            form->widgets()->cbLocalDbNames->setEditText(name);
            QTest::mousePress(form->widgets()->btnOK, Qt::LeftButton);
        });
        QString folder;
        QVERIFY(arrive(setup, &folder));
        const QString db = messageDbPath(localDatabasesDir().absoluteFilePath(name));
        for (int run = 0; run < 2; ++run) {
            selectNode(iphoneNodes(*shared, idOf(setup)).first());
            shared->operationActions().first()->trigger();
            QTRY_VERIFY(!shared->isDeviceBusy(idOf(setup)));
            QCOMPARE(queryValue(db, "select count(*) from message").toInt(), int(typicalConversations().messages.size()));
            QCOMPARE(queryValue(db, "select count(distinct guid) from message").toInt(),
                     int(typicalConversations().messages.size()));
        }
        QCOMPARE(queryValue(db, "select count(*) from message where text is null or text = ''").toInt(), 0);
        QCOMPARE(responder.boxTexts().mid(1, 1), QStringList{"Successfully Backup 8 SMS to local Database."});
    }

    // Two messages of a local database go onto the phone: backed up by the
    // real program, merged into its Manifest.db, restored by the real
    // program. The phone's database then holds each once, dated in
    // nanoseconds, also after the same two went a second time.
    void twoMessagesReachThePhoneOnceThroughARealRestore()
    {
        const VirtualIPhoneSetup target = phone();
        ModalResponder responder;
        responder.on("QMessageBox", yesOrOk);
        QStringList offered;
        responder.on("DataSourceSelForm", chooseTarget(&offered, nameOf(target)));
        QString folder;
        QVERIFY(arrive(target, &folder));
        QStringList expected = fixtureGuids(typicalConversations()) + fixtureGuids(twoMessages());
        expected.sort();
        for (int run = 0; run < 2; ++run) {
            selectNode(localDbNode(*shared, "home"));
            QTRY_COMPARE(shared->messageModel()->rowCount(), 2);
            shared->miDb2IAll();
            QVERIFY2(responder.boxTexts().last()
                         == QString("Successfully recovered %1 SMS to iPhone.").arg(run == 0 ? 2 : 0),
                     qPrintable(responder.boxTexts().join(" | ")));
            QCOMPARE(phoneMessageGuids(folder), expected);
        }
        QCOMPARE(offered.count(nameOf(target)), 2);
        for (const MsgFixtureMessage &m : twoMessages().messages)
            QCOMPARE(queryValue(phoneMessageDb(folder), "select date from message where guid='" + m.guid + "'")
                         .toLongLong(),
                     qint64(m.date) * 1000000000LL);
        QCOMPARE(backupRequests(folder).count("Restore"), 2);
        // What the phone took back is what the program merged: its own
        // messages and the two, nothing doubled.
        QCOMPARE(queryValue(phoneMessageDb(folder), "select count(*) from message").toInt(), expected.size());
    }

    // A phone that encrypts its backups: the real program's backup comes out
    // encrypted, the password is asked, a wrong one is refused and the right
    // one loads the phone.
    void anEncryptedBackupAsksForThePassword()
    {
        VirtualIPhoneSetup setup = phone();
        setup.domains["com.apple.mobile.backup"]["WillEncrypt"] = true;
        setup.services.insert(kService, {{"Password", QString::fromUtf8(kPassword)}});
        ModalResponder responder;
        int asked = 0;
        // A wrong password keeps the dialog open behind its warning; the
        // right one then closes it.
        responder.on("PasscodeDlg", [&asked](QWidget *w) {
            auto *dlg = static_cast<PasscodeDlg *>(w);
            ++asked;
            dlg->widgets()->txtPasscode->setText(QStringLiteral("Glueckskeks"));
            QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
            dlg->widgets()->txtPasscode->setText(QString::fromUtf8(kPassword));
            QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
        });
        QString folder;
        QVERIFY(arrive(setup, &folder));
        QCOMPARE(asked, 1);
        QCOMPARE(responder.boxTexts(), (QStringList{kNote, "Invalid password."}));
        QVERIFY(PlistFile::at(deviceBackup(idOf(setup)).absoluteFilePath("Manifest.plist")).flag("IsEncrypted"));
        Node *node = iphoneNodes(*shared, idOf(setup)).first();
        QCOMPARE(node->children.size(), typicalConversations().chats.size());
    }

    // The phone is pulled out in the middle of the backup: the program
    // (which would wait for it for ever) is stopped, the user reads why, no
    // half backup stays to be brought up to date next time, and no node
    // comes.
    void anUnpluggedBackupEndsWithItsTextAndLeavesNothing()
    {
        VirtualIPhoneSetup setup = phone();
        setup.services.insert(kService, {{"UnplugAfterFiles", 2}});
        const QString udid = idOf(setup);
        ModalResponder responder;
        QElapsedTimer clock;
        clock.start();
        writeVirtualIPhone(phones.path(), setup);
        QTRY_VERIFY_WITH_TIMEOUT(responder.boxTexts().size() == 2, 60000);
        QVERIFY2(clock.elapsed() < 40000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(responder.boxTexts()[1].contains("<br/><br/>The iPhone was disconnected before the backup was done. "
                                                  "Plug it in again and keep it connected until the backup is done."),
                 qPrintable(responder.boxTexts()[1]));
        QCOMPARE(responder.boxIcons()[1], int(QMessageBox::Critical));
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isDeviceBusy(udid), 20000);
        QVERIFY(iphoneNodes(*shared, udid).isEmpty());
        QVERIFY(!deviceBackup(udid).exists());
    }

    // The phone refuses the restore for want of space: the user reads the
    // program's text for it, and the phone keeps its database.
    void aPhoneWithoutSpaceRefusesTheRestore()
    {
        VirtualIPhoneSetup target = phone();
        target.domains["com.apple.disk_usage"]["AmountDataAvailable"] = qint64(300) * 1024 * 1024;
        ModalResponder responder;
        responder.on("QMessageBox", yesOrOk);
        QStringList offered;
        responder.on("DataSourceSelForm", chooseTarget(&offered, nameOf(target)));
        QString folder;
        QVERIFY(arrive(target, &folder));
        const QByteArray before = fileDigest(phoneMessageDb(folder));
        selectNode(localDbNode(*shared, "home"));
        QTRY_COMPARE(shared->messageModel()->rowCount(), 2);
        shared->miDb2IAll();
        const QString last = responder.boxTexts().last();
        QVERIFY2(last.contains("<br/><br/>1 GB free disk space on your device is required restore data."),
                 qPrintable(last));
        QCOMPARE(responder.boxIcons().last(), int(QMessageBox::Critical));
        QCOMPARE(fileDigest(phoneMessageDb(folder)), before);
    }
};

QP_TEST_MAIN(TestMainWindowUsbmuxBackup)

} // namespace tst_mainwindowusbmuxbackup

#include "tst_mainwindowusbmuxbackup.moc"
