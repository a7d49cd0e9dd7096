// The file-relay download end to end: the download thread under a real
// progress dialog against virtual iPhones whose file-relay service streams
// their file tree, or an archive the test prepared, or stalls.
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/applelibs.h"
#include "ios/cftype.h"
#include "ios/filerelay.h"
#include "ios/iosdevice.h"
#include "ios/iosloadfilerelaythread.h"
#include "ios/mobiledevice.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/cpioarchivefixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"
#include "ui_progressform.h"

#include <archive_entry.h>

namespace tst_filerelay {

using namespace testsupport;

namespace {

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// What the virtual phone wrote down of its last file-relay run.
struct RelayRecord
{
    QByteArray request;
    qint64 sent = -1;
    QString end;
};

RelayRecord relayRecord(const QString &phoneFolder)
{
    RelayRecord record;
    const CFType plist = CFType::fromPropertyListData(contentOf(phoneFolder + "/file-relay.plist"));
    record.request = plist.value("Request").toByteArray();
    record.sent = plist.value("Sent").toInt64(-1);
    record.end = plist.value("End").toQString();
    return record;
}

// The reply as the program quotes it: parsed, then written as XML again.
QString quotedReply(const QVariantMap &reply)
{
    return QString::fromUtf8(CFType::fromPropertyListData(xmlPlist(reply)).toPropertyListData(100));
}

} // namespace

// Keeps every progress message the worker posts, in order, as well as showing it.
class RecordingForm : public ProgressForm
{
    Q_OBJECT
public:
    RecordingForm() : ProgressForm(QString(), nullptr) {}
    QList<QPair<QString, QString>> posted; // status, text

    QStringList textsStartingWith(const QString &prefix) const
    {
        QStringList texts;
        for (const auto &p : posted) {
            if (p.second.startsWith(prefix))
                texts.append(p.second);
        }
        return texts;
    }
    // The texts posted after the status "Extracting <name>" up to the next entry.
    QStringList textsOfEntry(const QString &name) const
    {
        QStringList texts;
        bool inside = false;
        for (const auto &p : posted) {
            if (!p.first.isEmpty())
                inside = p.first == "Extracting " + name;
            else if (inside)
                texts.append(p.second);
        }
        return texts;
    }

public slots:
    // Found by name before the base class's slot of the same name.
    void updateProgress(QString status, int value, QString text)
    {
        posted.append({status, text});
        ProgressForm::updateProgress(status, value, text);
    }
};

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

static _DeviceNotifyTarget target{nullptr, "connected", "disconnected"};

class TestFileRelay : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    IdsTranslator translator;
    QTemporaryDir phones;
    DeviceSink sink;
    int phoneCount = 0;

    struct Phone
    {
        QString folder;
        IOSDevice device;
        QDir cacheDir() const { return device.cacheDir(); }
        QString cached(const QString &relative) const
        {
            return cacheDir().absoluteFilePath("file-relay/" + relative);
        }
        QString archive() const { return cacheDir().absoluteFilePath("file-relay.cpio"); }
        QString root() const { return virtualIPhoneRoot(folder); }
    };

    // An iOS 7 phone of its own (own folder, own id, so its own cache folder).
    VirtualIPhoneSetup newSetup()
    {
        ++phoneCount;
        VirtualIPhoneSetup setup = typicalIPhone(QString("phone%1").arg(phoneCount), "7.1.2");
        setup.values["UniqueDeviceID"] = QString("relay-%1-4f2a9c").arg(phoneCount);
        return setup;
    }

    bool attach(const VirtualIPhoneSetup &setup, Phone *phone)
    {
        const int before = sink.arrived.size();
        phone->folder = writeVirtualIPhone(phones.path(), setup);
        if (!QTest::qWaitFor([&] { return sink.arrived.size() > before; }, 20000))
            return false;
        phone->device.amDevice = sink.arrived.last();
        phone->device.uniqueDeviceId = setup.values["UniqueDeviceID"].toString();
        phone->device.productVersion = setup.values["ProductVersion"].toString();
        return true;
    }

    // Rewrites what the phone's relay does next; the service reads it at each start.
    static void steer(const Phone &phone, VirtualIPhoneSetup setup, const QVariantMap &fileRelay)
    {
        setup.fileRelay = fileRelay;
        setup.messages.reset();
        setup.contacts.clear();
        writeVirtualIPhone(QFileInfo(phone.folder).absolutePath(), setup);
    }

    // The main window's pattern: start, run the dialog, wait.
    static int download(Phone &phone, RecordingForm &form)
    {
        IOSLoadFileRelayThread thread(&phone.device, &form, nullptr);
        thread.start();
        const int result = form.exec();
        thread.wait();
        return result;
    }

    static QList<DialogDriver::Seen> boxes(const DialogDriver &driver)
    {
        QList<DialogDriver::Seen> seen = driver.seen();
        seen.removeIf([](const DialogDriver::Seen &s) { return s.className != "QMessageBox"; });
        return seen;
    }

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
    void init() { IOSLoadFileRelayThread::setReceiveWaitMs(60000); }

    // ---- the virtual phone's stream -------------------------------------------------

    void theVirtualRelayStreamsFoldersFirst_data()
    {
        QTest::addColumn<bool>("gzip");
        QTest::newRow("plain") << false;
        QTest::newRow("gzip") << true;
    }
    void theVirtualRelayStreamsFoldersFirst()
    {
        QFETCH(bool, gzip);
        VirtualIPhoneSetup setup = newSetup();
        setup.messages = generateMsgContent(3, 20, 4);
        setup.contacts = {{1, "Anna", "", "M\u00fcller", {"+49 151 2345678"}, {"anna@example.de"}}};
        if (gzip)
            setup.fileRelay = {{"Compression", "gzip"}};
        Phone phone;
        QVERIFY(attach(setup, &phone));
        writeFile(phone.root() + "/var/mobile/Library/Notes/notes.sqlite", "notes");

        int socket = -1;
        mobiledevice_file_relay_start(phone.device.amDevice, &socket);
        mobiledevice_file_relay_request(socket, {"UserDatabases"});
        QByteArray stream;
        QByteArray chunk(65536, '\0');
        int got = 0;
        while ((got = mobiledevice_recv(socket, chunk.data(), int(chunk.size()), 20000)) > 0)
            stream.append(chunk.constData(), got);
        mobiledevice_closesocket(socket);

        bool complete = false, gzipped = false;
        const QList<ListedEntry> entries = listArchive(stream, &complete, &gzipped);
        QVERIFY(complete);
        QCOMPARE(gzipped, gzip);
        QStringList folders, files;
        bool fileSeen = false;
        for (const ListedEntry &e : entries) {
            QVERIFY2(e.name.startsWith("./"), e.name.constData());
            const QString relative = QString::fromUtf8(e.name.mid(2));
            if (e.type == AE_IFDIR) {
                QVERIFY2(!fileSeen, e.name.constData());
                const QString parent = QFileInfo(relative).path();
                QVERIFY(parent == "." || folders.contains(parent));
                folders.append(relative);
            } else {
                QCOMPARE(e.type, unsigned(AE_IFREG));
                fileSeen = true;
                files.append(relative);
                QCOMPARE(e.data, contentOf(phone.root() + "/" + relative));
                QCOMPARE(e.mtime, QFileInfo(phone.root() + "/" + relative).lastModified().toSecsSinceEpoch());
            }
        }
        QCOMPARE(files, QStringList({"var/mobile/Library/AddressBook/AddressBook.sqlitedb",
                                     "var/mobile/Library/Notes/notes.sqlite", "var/mobile/Library/SMS/sms.db"}));
        QTRY_COMPARE(relayRecord(phone.folder).end, QString("complete"));
        QCOMPARE(relayRecord(phone.folder).sent, qint64(stream.size()));
    }

    // ---- the reply ------------------------------------------------------------------

    void replies_data()
    {
        QTest::addColumn<QVariantMap>("reply");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("Acknowledged") << QVariantMap{{"Status", "Acknowledged"}} << true;
        QTest::newRow("upper case") << QVariantMap{{"Status", "ACKNOWLEDGED"}} << true;
        QTest::newRow("lower case") << QVariantMap{{"Status", "acknowledged"}} << true;
        QTest::newRow("no status") << QVariantMap{{"Error", "InvalidSource"}} << false;
        QTest::newRow("refused") << QVariantMap{{"Status", "Denied"}} << false;
        QTest::newRow("status not a string") << QVariantMap{{"Status", 1}} << false;
        QTest::newRow("acknowledged with more") << QVariantMap{{"Status", "Acknowledged."}} << false;
    }
    void replies()
    {
        QFETCH(QVariantMap, reply);
        QFETCH(bool, accepted);
        VirtualIPhoneSetup setup = newSetup();
        setup.messages = generateMsgContent(2, 10, 3);
        setup.fileRelay = {{"Reply", reply}};
        Phone phone;
        QVERIFY(attach(setup, &phone));

        RecordingForm form;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(download(phone, form), accepted ? 1 : 0);
        if (accepted) {
            QCOMPARE(boxes(driver).size(), 0);
            QCOMPARE(contentOf(phone.cached("var/mobile/Library/SMS/sms.db")),
                     contentOf(phone.root() + "/var/mobile/Library/SMS/sms.db"));
        } else {
            QCOMPARE(boxes(driver).size(), 1);
            QCOMPARE(boxes(driver)[0].text, errorBoxText("invalid feedback.\n" + quotedReply(reply).toHtmlEscaped()));
            // Nothing was stored for a refused request.
            QVERIFY(!QFile::exists(phone.archive()));
        }
        // The request: {"Sources": ["UserDatabases"]}, as XML.
        const RelayRecord record = relayRecord(phone.folder);
        QVERIFY(record.request.startsWith("<?xml"));
        const CFType request = CFType::fromPropertyListData(record.request);
        QCOMPARE(request.value("Sources").at(0).toQString(), QString("UserDatabases"));
        QVERIFY(request.value("Sources").at(1).isEmpty());
    }

    // ---- downloads ------------------------------------------------------------------

    void downloads_data()
    {
        QTest::addColumn<bool>("gzip");
        QTest::newRow("plain") << false;
        QTest::newRow("gzip") << true;
    }
    void downloads()
    {
        QFETCH(bool, gzip);
        VirtualIPhoneSetup setup = newSetup();
        setup.messages = generateMsgContent(6, 120, 8, 10);
        setup.contacts = {{1, "Anna", "", "M\u00fcller", {"+49 151 2345678"}, {}},
                          {2, "\u00c9lodie", "", "Durand", {"+33 6 12 34 56 78"}, {"elodie@example.fr"}}};
        if (gzip)
            setup.fileRelay = {{"Compression", "gzip"}};
        Phone phone;
        QVERIFY(attach(setup, &phone));
        const QString smsDb = "var/mobile/Library/SMS/sms.db";
        const QString addressBook = "var/mobile/Library/AddressBook/AddressBook.sqlitedb";
        setFileMTime(phone.root() + "/" + smsDb, 1404172800);

        RecordingForm form;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(download(phone, form), 1);
        QCOMPARE(boxes(driver).size(), 0);
        QVERIFY(!form.failed);

        // Times first: reading the file would move its access time.
        const QFileInfo cached(phone.cached(smsDb));
        QCOMPARE(cached.fileTime(QFileDevice::FileModificationTime).toSecsSinceEpoch(), 1404172800);
        QCOMPARE(cached.fileTime(QFileDevice::FileAccessTime).toSecsSinceEpoch(), 1404172800);
        QCOMPARE(contentOf(phone.cached(smsDb)), contentOf(phone.root() + "/" + smsDb));
        QCOMPARE(contentOf(phone.cached(addressBook)), contentOf(phone.root() + "/" + addressBook));
        // The stored stream is gone once unpacked.
        QVERIFY(!QFile::exists(phone.archive()));
        QCOMPARE(relayRecord(phone.folder).end, QString("complete"));

        QCOMPARE(form.posted.first(), qMakePair(QString("Loading SMS from iPhone..."), QString()));
        QVERIFY(form.posted.contains(qMakePair(QString("Extracting sms.db"), QString())));
    }

    void progressTexts()
    {
        // 1536000 bytes are 1500 KB; the folders, headers and trailer add
        // less than a kilobyte to the stream. The figures follow the
        // locale's digit grouping.
        VirtualIPhoneSetup setup = newSetup();
        Phone phone;
        QVERIFY(attach(setup, &phone));
        writeFile(phone.root() + "/var/mobile/Media/big.bin", incompressibleBytes(1536000));
        writeFile(phone.root() + "/var/mobile/Media/empty.bin", QByteArray());

        RecordingForm form;
        DialogDriver driver;
        QCOMPARE(download(phone, form), 1);
        const QString k1024 = QLocale().toString(1024), k1500 = QLocale().toString(1500);
        QCOMPARE(form.textsStartingWith("Received:"),
                 QStringList({"Received:512KB", "Received:" + k1024 + "KB", "Received:" + k1500 + "KB"}));
        QCOMPARE(form.textsOfEntry("big.bin"),
                 QStringList({"Extracted: 0KB / " + k1500 + "KB", "Extracted: 512KB / " + k1500 + "KB",
                              "Extracted: " + k1024 + "KB / " + k1500 + "KB",
                              "Extracted: " + k1500 + "KB / " + k1500 + "KB"}));
        QCOMPARE(form.textsOfEntry("empty.bin"), QStringList({"Extracted: 0KB / 0KB"}));
        QCOMPARE(QFileInfo(phone.cached("var/mobile/Media/big.bin")).size(), 1536000);
        QCOMPARE(QFileInfo(phone.cached("var/mobile/Media/empty.bin")).size(), 0);
    }

    void aSecondDownloadOverwritesAndKeepsTheRest()
    {
        VirtualIPhoneSetup setup = newSetup();
        Phone phone;
        QVERIFY(attach(setup, &phone));
        writeFile(phone.root() + "/var/mobile/Library/SMS/sms.db", "first");
        writeFile(phone.root() + "/var/mobile/Library/Notes/notes.sqlite", "notes");
        RecordingForm first;
        QCOMPARE(download(phone, first), 1);

        writeFile(phone.root() + "/var/mobile/Library/SMS/sms.db", "second, longer than the first");
        QVERIFY(QDir(phone.root() + "/var/mobile/Library/Notes").removeRecursively());
        RecordingForm second;
        QCOMPARE(download(phone, second), 1);
        QCOMPARE(contentOf(phone.cached("var/mobile/Library/SMS/sms.db")),
                 QByteArray("second, longer than the first"));
        QCOMPARE(contentOf(phone.cached("var/mobile/Library/Notes/notes.sqlite")), QByteArray("notes"));
    }

    void cancelDuringTheDownload()
    {
        // The phone sends a little more than one chunk and then nothing: the
        // cancel is seen when the wait for more ends. The stored stream stays,
        // nothing is unpacked or shown, and the phone sees the socket closed.
        VirtualIPhoneSetup setup = newSetup();
        setup.fileRelay = {{"HoldAfter", 600000}};
        Phone phone;
        QVERIFY(attach(setup, &phone));
        writeFile(phone.root() + "/var/mobile/Media/big.bin", incompressibleBytes(1536000));
        IOSLoadFileRelayThread::setReceiveWaitMs(3000);

        RecordingForm form;
        DialogDriver driver;
        driver.then([](QWidget *w) {
            auto *form = static_cast<ProgressForm *>(w);
            QTRY_COMPARE_WITH_TIMEOUT(form->widgets()->lbProgress->text(), QString("Received:512KB"), 20000);
            QTest::mousePress(form->widgets()->btnCancel, Qt::LeftButton);
        });
        QCOMPARE(download(phone, form), 0);
        QCOMPARE(boxes(driver).size(), 0);
        QCOMPARE(QFileInfo(phone.archive()).size(), 524288);
        QCOMPARE(form.textsStartingWith("Received:"), QStringList({"Received:512KB"}));
        QVERIFY(form.textsStartingWith("Extracted").isEmpty());
        QVERIFY(!QFile::exists(phone.cached("var/mobile/Media/big.bin")));
        QTRY_COMPARE(relayRecord(phone.folder).end, QString("closed by caller"));
        QCOMPARE(relayRecord(phone.folder).sent, qint64(600000));

        // The next download starts the stored stream over.
        steer(phone, setup, {});
        RecordingForm again;
        QCOMPARE(download(phone, again), 1);
        QCOMPARE(contentOf(phone.cached("var/mobile/Media/big.bin")), incompressibleBytes(1536000));
        QVERIFY(!QFile::exists(phone.archive()));
    }

    // ---- failures -------------------------------------------------------------------

    void failures_data()
    {
        QTest::addColumn<QByteArray>("archive");    // streamed instead of the tree
        QTest::addColumn<int>("holdAfter");         // -1: the whole stream, then the phone closes
        QTest::addColumn<QString>("error");         // the start of the error; %1: the cache folder

        QList<CpioEntry> entries = cpioFolders("var/mobile/Library/SMS/sms.db");
        entries.append(CpioEntry::file("var/mobile/Library/SMS/sms.db", incompressibleBytes(40000)));
        entries.append(CpioEntry::file("var/mobile/Library/SMS/sms.db-wal", incompressibleBytes(9000, 3)));
        const QByteArray whole = cpioArchive(entries);

        QTest::newRow("truncated archive") << whole.left(whole.size() * 2 / 3) << -1
                                           << "read %1/file-relay.cpio error. ";
        QTest::newRow("stream stalls") << whole << 30000 << "read %1/file-relay.cpio error. ";
        QTest::newRow("not an archive") << QByteArray("Status: busy\n") << -1
                                        << "open %1/file-relay.cpio(-30) error.";
    }
    void failures()
    {
        // A failure is shown with its text and keeps the stored stream; the
        // databases of an earlier download stay as they were.
        QFETCH(QByteArray, archive);
        QFETCH(int, holdAfter);
        QFETCH(QString, error);
        VirtualIPhoneSetup setup = newSetup();
        setup.fileRelay = {{"Archive", "prepared.cpio"}};
        if (holdAfter >= 0)
            setup.fileRelay.insert("HoldAfter", holdAfter);
        Phone phone;
        QVERIFY(attach(setup, &phone));
        writeFile(phone.folder + "/prepared.cpio", archive);
        writeFile(phone.cached("var/mobile/Library/SMS/sms.db"), "earlier download");
        IOSLoadFileRelayThread::setReceiveWaitMs(300);

        RecordingForm form;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(download(phone, form), 0);
        const QList<DialogDriver::Seen> seen = boxes(driver);
        QCOMPARE(seen.size(), 1);
        const QString expected = error.arg(phone.cacheDir().absolutePath());
        QVERIFY2(seen[0].text.startsWith(errorBoxText(QString()).section("<br/><br/>", 0, 0) + "<br/><br/>" + expected),
                 qPrintable(seen[0].text));
        QCOMPARE(contentOf(phone.archive()), holdAfter >= 0 ? archive.left(holdAfter) : archive);
        QCOMPARE(contentOf(phone.cached("var/mobile/Library/SMS/sms.db")), QByteArray("earlier download"));
        QVERIFY(!QFile::exists(phone.cached("var/mobile/Library/SMS/sms.db-wal")));
    }

    void theServiceDoesNotStart()
    {
        VirtualIPhoneSetup setup = newSetup();
        setup.serviceFailures = {{"com.apple.mobile.file_relay", int(kAMDInvalidServiceError)}};
        Phone phone;
        QVERIFY(attach(setup, &phone));
        RecordingForm form;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(download(phone, form), 0);
        const QList<DialogDriver::Seen> seen = boxes(driver);
        QCOMPARE(seen.size(), 1);
        QVERIFY2(seen[0].text.contains(QString("Error code: AMDeviceStartService(com.apple.mobile.file_relay)=%1")
                                           .arg(int(kAMDInvalidServiceError))),
                 qPrintable(seen[0].text));
        QVERIFY(!QFile::exists(phone.archive()));
    }
};

QP_TEST_MAIN(TestFileRelay)

} // namespace tst_filerelay

#include "tst_filerelay.moc"
