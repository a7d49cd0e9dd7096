// Reading a phone's SMS into its cache database and writing SMS to the phone,
// each under a real progress dialog, against the fake adb and the fake
// companion app.
#include "android/androiddevice.h"
#include "android/androidloadsmsthread.h"
#include "android/androidrestoresmsthread.h"
#include "android/simpleprotocol.h"
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/progressform.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "tests/support/countryfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/fakecompanionapp.h"
#include "tests/support/httprecorder.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "ui_progressform.h"

#include <QCryptographicHash>
#include <QSet>
#include <memory>
#include <sqlite3.h>

namespace tst_androidsmsthreads {

using namespace testsupport;
using Fault = FakeCompanionApp::Fault;

namespace {

QString b64(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

// A "$sms:" record as the companion app sends it.
QString sms(const QString &ms, const QString &fromMe, const QString &address, const QString &name,
            const QString &body, const QString &subject = QString())
{
    return QStringList{ms, fromMe, b64(address), b64(name), b64(body), b64(subject)}.join(',');
}

} // namespace

class TestAndroidSmsThreads : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<FakeAdb> adb;
    std::unique_ptr<FakeCompanionApp> app;
    AndroidDevice device;

    QString cachePath() { return ExportMessagesDb(device.cacheDir(), device.mmc).database().filePath(); }
    int cachedCount() { return queryValue(cachePath(), "select count(*) from message").toInt(); }
    QStringList cachedTexts()
    {
        QStringList texts;
        for (const QVariantList &row : queryRows(cachePath(), "select text from message order by rowid"))
            texts.append(row[0].toString());
        return texts;
    }

    // Runs the load under the form; answers the dialog's result.
    int load(ProgressForm &form)
    {
        AndroidLoadSMSThread thread(&device, &form, nullptr);
        return DialogDriver::runUnder(form, thread);
    }
    int load()
    {
        ProgressForm form(QString(), nullptr);
        return load(form);
    }

    // n messages with three people in chats of ten, every other one sent by
    // me (then the correspondent is its handle, as on a phone).
    static QList<_MsgMessage *> someMessages(MsgStoreBuilder &b, int n)
    {
        QList<_MsgHandle *> people = {b.handle("+491701234567"), b.handle("+4915112345678"),
                                      b.handle("anna@example.com", "iMessage")};
        _MsgChat *chat = nullptr;
        QList<_MsgMessage *> made;
        for (int i = 0; i < n; ++i) {
            _MsgHandle *person = people[(i / 10) % 3];
            if (i % 10 == 0)
                chat = b.chat({person}, person->service);
            _MsgMessage *m = b.message(chat, person, QString::fromUtf8("Nachricht %1 🙂").arg(i), 700000000 + i * 60);
            if (i % 2) {
                m->is_from_me = 1;
                m->is_sent = 1;
            }
            made.append(m);
        }
        return made;
    }

    int restore(const QList<_MsgMessage *> &messages, const QSharedPointer<_MsgStore> &store)
    {
        ProgressForm form(QString(), nullptr);
        AndroidRestoreSMSThread thread(&device, messages, store, &form, nullptr);
        return DialogDriver::runUnder(form, thread);
    }

    QStringList sentLines(int from = 0) const
    {
        QStringList lines = app->received("restore2").mid(from);
        lines.removeIf([](const QString &l) { return !l.startsWith("$sms:"); });
        return lines;
    }

    static QString bodyOf(const QString &smsLine)
    {
        return QString::fromUtf8(QByteArray::fromBase64(smsLine.section(',', 3, 3).toLatin1()));
    }

private slots:
    void initTestCase()
    {
        setMakerServerUrl(server.url());
        // Service ports come from the clock and a counter that starts at 1 in
        // every process; a start of its own keeps this process off the ports
        // another test process picks in the same second.
        for (qint64 i = QCoreApplication::applicationPid() % 97; i > 0; --i)
            nextServicePort();
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
    }

    void init()
    {
        adb.reset(new FakeAdb);
        app.reset(new FakeCompanionApp);
        adb->handUrlsTo(app->controlPort());
        AndroidDevice::waits.usbConnect = 1000;
        AndroidDevice::waits.usbReady = 1000;
        AndroidDevice::waits.usbPause = 50;
        device = AndroidDevice();
        device.serial = "R58N91XKZ2A";
        device.imei = "356938035643809";
        device.mmc = "262";
        device.version = 31;
        removeDirRecursively(device.cacheDir().absolutePath());
    }
    void cleanup()
    {
        app.reset();
        adb.reset();
        AndroidDevice::waits = AndroidDevice::Waits();
        Sqlite3DB::setBusyTimeout(Sqlite3DB::kDefaultBusyTimeoutMs);
    }

    // ---- reading ---------------------------------------------------------------

    void loadStoresWhatThePhoneSends()
    {
        const QString first = sms("1700000000123", "1", "0170 1234567", "Anna", QString::fromUtf8("Bis gleich 👋"));
        app->setBackup({{first, first, sms("1700000100000", "0", "+49 170 1234567", "Anna", "Ok")},
                        {sms("1700000200999", "", "Bob@Example.COM", "Bob", QString::fromUtf8("Antwort 😀")),
                         sms("0", "2", "+4915112345678", "", "Am Anfang", "Betreff"),
                         sms("kein Datum", "1", "+4915112345678", "", "Ohne Datum"),
                         "1700000300000,1,YQ=="}},
                       5);
        DialogDriver driver;
        QCOMPARE(load(), 1);
        QCOMPARE(driver.seenBoxes().size(), 0);
        // The two identical lines give one message; the short record none.
        const QList<QVariantList> rows = queryRows(
            cachePath(), "select m.text, m.date, m.is_from_me, h.id, m.subject, m.service from message m "
                         "join handle h on h.rowid = m.handle_id order by m.rowid");
        QCOMPARE(rows.size(), 5);
        auto row = [&rows](int i) {
            QStringList cells;
            for (const QVariant &v : rows[i])
                cells.append(v.toString());
            return cells.join('|');
        };
        QCOMPARE(row(0), QString::fromUtf8("Bis gleich 👋|721692800|1|+491701234567||SMS"));
        QCOMPARE(row(1), "Ok|721692900|0|+491701234567||SMS");
        QCOMPARE(row(2), QString::fromUtf8("Antwort 😀|721693000|0|bob@example.com||SMS"));
        QCOMPARE(row(3), "Am Anfang|-978307200|0|+4915112345678|Betreff|SMS");
        QCOMPARE(row(4), "Ohne Datum|-978307200|1|+4915112345678||SMS");
        QCOMPARE(queryValue(cachePath(), "select count(*) from chat").toInt(), 3);
        QCOMPARE(queryValue(cachePath(), "select count(*) from chat where guid = 'SMS;-;+491701234567' "
                                         "and chat_identifier = '+491701234567'")
                     .toInt(),
                 1);
        QVERIFY(app->waitForReceived("backup2", 3));
        QCOMPARE(app->received("backup2"), (QStringList{"$batch:", "$batch:", "$bye:"}));
    }

    void loadOfAPhoneWithoutSms()
    {
        app->setBackup({{}}, 0);
        DialogDriver driver;
        ProgressForm form(QString(), nullptr);
        QCOMPARE(load(form), 1);
        QCOMPARE(driver.seenBoxes().size(), 0);
        QVERIFY(QFileInfo::exists(cachePath()));
        QCOMPARE(cachedCount(), 0);
        QVERIFY(!form.widgets()->lbProgress->text().startsWith("sms:"));
        QVERIFY(!QFileInfo::exists(cachePath() + ".loading"));
    }

    void aFailedLoadLeavesThePreviousCache_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("cancel");
        // The app's lines: 0 "$ready:", 1 "$count:", 2-5 the first batch,
        // 6 "$batch:" of the second, 7 its first "$sms:".
        QTest::newRow("phone gone mid-line") << int(Fault::CloseMidLine) << false;
        QTest::newRow("phone reports an error") << int(Fault::Error) << false;
        QTest::newRow("cancelled") << int(Fault::Silence) << true;
    }
    void aFailedLoadLeavesThePreviousCache()
    {
        QFETCH(int, fault);
        QFETCH(bool, cancel);
        app->setBackup({{sms("1700000000000", "0", "+491701234567", "", "alt 1"),
                         sms("1700000060000", "1", "+491701234567", "", "alt 2")}},
                       2);
        DialogDriver first;
        QCOMPARE(load(), 1);
        QCOMPARE(cachedTexts(), (QStringList{"alt 1", "alt 2"}));

        app->setBackup({{sms("1700000100000", "0", "+491701234567", "", "neu 1"),
                         sms("1700000160000", "0", "+491701234567", "", "neu 2")},
                        {sms("1700000200000", "0", "+491701234567", "", "neu 3")}},
                       3);
        // Markup in the phone's text is shown as it stands, never interpreted.
        app->setFault("backup2", Fault(fault), 7, QString::fromUtf8("Speicher <b>voll</b> & <a href=\"x\">☹</a>"));
        DialogDriver driver;
        const int heard = int(app->received("backup2").size());
        if (cancel) {
            driver.then([this, heard](QWidget *w) {
                // The first batch is in and acknowledged; the phone stalls.
                QTRY_COMPARE_WITH_TIMEOUT(int(app->received("backup2").size()), heard + 1, 20000);
                QTest::mousePress(static_cast<ProgressForm *>(w)->widgets()->btnCancel, Qt::LeftButton);
            });
        } else {
            driver.thenPress(QMessageBox::Ok);
        }
        QCOMPARE(load(), 0);
        const QList<DialogDriver::Seen> shown = driver.seenBoxes();
        QCOMPARE(shown.size(), cancel ? 0 : 1);
        if (Fault(fault) == Fault::Error)
            QVERIFY2(shown[0].text.contains(
                         QString::fromUtf8("Speicher &lt;b&gt;voll&lt;/b&gt; &amp; &lt;a href=&quot;x&quot;&gt;☹&lt;/a&gt;")),
                     qPrintable(shown[0].text));
        QCOMPARE(cachedTexts(), (QStringList{"alt 1", "alt 2"}));
        QVERIFY(!QFileInfo::exists(cachePath() + ".loading"));
    }

    void aCacheThatCannotBeReplacedIsReported()
    {
        app->setBackup({{sms("1700000000000", "0", "+491701234567", "", "neu")}}, 1);
        // A folder with a file in it where the cache database should lie.
        QVERIFY(QDir().mkpath(cachePath()));
        QFile blocker(cachePath() + "/keep");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(load(), 0);
        const QList<DialogDriver::Seen> shown = driver.seenBoxes();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].text.contains("can not overwrite " + cachePath() + "."), qPrintable(shown[0].text));
        QVERIFY(QFileInfo::exists(cachePath() + "/keep"));
        QVERIFY(!QFileInfo::exists(cachePath() + ".loading"));
    }

    // ---- writing ---------------------------------------------------------------

    void writeSendsAcknowledgedBatchesOfAHundred()
    {
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, 250);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(restore(messages, b.store), 1);
        const QList<DialogDriver::Seen> shown = driver.seenBoxes();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].icon, int(QMessageBox::Information));
        QCOMPARE(shown[0].text, "Successfully Transferred 250 SMS");
        QVERIFY(app->waitForReceived("restore2", 250 + 3 * 2 + 1));
        QStringList shape;
        for (const QString &line : app->received("restore2")) {
            const QString token = line.section(':', 0, 0) + ':';
            if (token == "$sms:" && shape.last().startsWith("$sms:"))
                shape.last() = QString("$sms: x%1").arg(shape.last().section('x', 1).toInt() + 1);
            else
                shape.append(token == "$sms:" ? "$sms: x1" : line);
        }
        QCOMPARE(shape, (QStringList{"$batch:", "$sms: x100", "$end:", "$batch:", "$sms: x100", "$end:", "$batch:",
                                     "$sms: x50", "$end:", "$bye:"}));
        QCOMPARE(cachedCount(), 250);
        // In message order.
        const QStringList sent = sentLines();
        for (int i = 0; i < 250; ++i)
            QCOMPARE(bodyOf(sent[i]), messages[i]->text);
    }

    void writeRecordsAndLeftOutMessages()
    {
        MsgStoreBuilder b;
        QList<_MsgMessage *> messages = someMessages(b, 30);
        // Already on the phone: loaded earlier, so in its cache.
        {
            ExportMessagesDb earlier(device.cacheDir(), device.mmc);
            earlier.begin();
            for (int i = 0; i < 10; ++i)
                earlier.write(*messages[i]);
            earlier.end();
        }
        _MsgMessage *epoch = b.message(messages[0]->chat, messages[0]->handle,
                                       QString::fromUtf8("Foto:\xEF\xBF\xBC ansehen"), 0);
        epoch->is_from_me = 1;
        _MsgMessage *event = b.message(messages[0]->chat, messages[0]->handle, QString(), 700100000);
        event->item_type = 1;
        // Sent by the user and stored without a handle, as phones often do: a
        // one-to-one conversation's person is its address.
        _MsgMessage *noSender = b.message(messages[0]->chat, nullptr, "ohne Absender", 700100060);
        messages << epoch << event << noSender;

        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(restore(messages, b.store), 1);
        // The ten the phone had are not counted; the event is left out.
        QCOMPARE(driver.seenBoxes().value(0).text,
                 "Successfully Transferred 22 SMS<br/>1 group messages or system messages can't be transferred.");
        const QStringList sent = sentLines();
        QCOMPARE(sent.size(), 22);
        QCOMPARE(sent.last(), "$sms:" + QString::number((qint64(700100060) + 978307200) * 1000) + ",1,"
                                  + b64("+491701234567") + "," + b64("ohne Absender"));
        // The oldest goes first: dated 2001-01-01, its placeholder gone.
        QCOMPARE(sent[0], "$sms:978307200000,1," + b64("+491701234567") + "," + b64("Foto: ansehen"));
        for (int i = 0; i < 10; ++i)
            QVERIFY(!sent.contains("$sms:" + AndroidRestoreSMSThread::record(*messages[i])));
        QCOMPARE(cachedCount(), 32);
    }

    // Every kind of message a phone holds, read from a phone database of
    // either layout by the program's own reader: what goes to the Android
    // phone, under which address, and what the box says. Left out are only
    // what one SMS cannot carry (a group event, what the user sent to a
    // group), and the box says exactly that.
    void eachKindOfMessageGoesOrIsCountedAsLeftOut_data()
    {
        QTest::addColumn<int>("layout");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("address"); // "" = left out
        QTest::addColumn<QString>("fromMe");
        QTest::addColumn<QString>("box");
        const QString one = "Successfully Transferred 1 SMS";
        const QString none =
            "Successfully Transferred 0 SMS<br/>1 group messages or system messages can't be transferred.";
        const QList<QPair<const char *, MsgDbLayout>> layouts = {{"iOS 6", MsgDbLayout::Ios6Phone},
                                                                {"later", MsgDbLayout::LaterPhone}};
        for (const auto &[name, layout] : layouts) {
            const auto row = [&](const char *kind) -> QTestData & {
                return QTest::addRow("%s, %s", name, kind) << int(layout) << QString(kind);
            };
            row("1:1 sent, no handle") << QString("+491701234567") << QString("1") << one;
            row("1:1 sent, the recipient's handle") << QString("+491701234567") << QString("1") << one;
            row("1:1 received") << QString("+491701234567") << QString("0") << one;
            row("group sent") << QString() << QString() << none;
            row("group received") << QString("anna@example.com") << QString("0") << one;
            // An iOS 6 phone stores group events once its table has the
            // later columns.
            QTest::addRow("%s, group event", name)
                << int(layout == MsgDbLayout::Ios6Phone ? MsgDbLayout::Ios6Phone51 : layout) << QString("group event")
                << QString() << QString() << none;
        }
    }
    void eachKindOfMessageGoesOrIsCountedAsLeftOut()
    {
        QFETCH(int, layout);
        QFETCH(QString, kind);
        QFETCH(QString, address);
        QFETCH(QString, fromMe);
        QFETCH(QString, box);

        MsgFixtureContent content;
        for (const auto &[rowid, id, country, service] :
             QList<std::tuple<qint64, QString, QString, QString>>{{1, "+491701234567", "de", "SMS"},
                                                                  {2, "+4915112345678", "de", "SMS"},
                                                                  {3, "anna@example.com", "", "iMessage"}}) {
            MsgFixtureHandle h;
            h.rowid = rowid;
            h.id = id;
            h.country = country;
            h.service = service;
            content.handles << h;
        }
        MsgFixtureChat single;
        single.rowid = 1;
        single.guid = "SMS;-;+491701234567";
        single.identifier = "+491701234567";
        single.handles = {1};
        MsgFixtureChat group;
        group.rowid = 2;
        group.guid = "iMessage;+;chat884512337";
        group.style = 43;
        group.identifier = "chat884512337";
        group.service = "iMessage";
        group.handles = {2, 3};
        content.chats = {single, group};
        MsgFixtureMessage m;
        m.rowid = 1;
        m.guid = "6F1C2A9E-0B7D-4E55-9A3C-1D2E3F405161";
        m.text = QString::fromUtf8("Grüße 🙂");
        m.date = 700000000;
        const bool toGroup = kind.startsWith("group");
        m.chats = {toGroup ? 2 : 1};
        if (kind.contains("sent")) {
            m.isFromMe = 1;
            m.isSent = 1;
            m.handleId = kind.contains("recipient") ? 1 : 0;
        } else {
            m.handleId = toGroup ? 3 : 1;
        }
        if (kind == "group event") {
            m.text.clear();
            m.itemType = 1;
            m.groupActionType = 1;
        }
        content.messages = {m};
        QTemporaryDir phone;
        writeMsgDb(phone.path(), MsgDbLayout(layout), content);
        IOS6MessageDb reader(QDir(phone.path()), "262", false);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        reader.chats(store);
        reader.messages(store, 0);
        const QList<_MsgMessage *> read = allMessages(store);
        QCOMPARE(read.size(), 1);

        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(restore(read, store), 1);
        QCOMPARE(driver.seenBoxes().value(0).text, box);
        QVERIFY(app->waitForReceived("restore2", 1));
        const QStringList sent = sentLines();
        if (address.isEmpty()) {
            QVERIFY(sent.isEmpty());
            return;
        }
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].section(',', 1, 1), fromMe);
        QCOMPARE(QString::fromUtf8(QByteArray::fromBase64(sent[0].section(',', 2, 2).toLatin1())), address);
        QCOMPARE(bodyOf(sent[0]), m.text);
        QCOMPARE(sent[0].section(',', 0, 0).mid(5), QString::number((qint64(700000000) + 978307200) * 1000));
    }

    void writeOfNothingButEventsSaysGoodbyeAtOnce()
    {
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+491701234567");
        _MsgChat *chat = b.chat({anna, b.handle("+4915112345678")});
        _MsgMessage *joined = b.message(chat, anna, QString(), 700000000);
        joined->item_type = 1;
        _MsgMessage *renamed = b.message(chat, anna, QString(), 700000060);
        renamed->item_type = 2;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(restore({joined, renamed}, b.store), 1);
        QCOMPARE(driver.seenBoxes().value(0).text,
                 "Successfully Transferred 0 SMS<br/>2 group messages or system messages can't be transferred.");
        QVERIFY(app->waitForReceived("restore2", 1));
        QCOMPARE(app->received("restore2"), QStringList{"$bye:"});
    }

    void theDefaultSmsAppTipBlocksUntilClosed()
    {
        app->setDefSmsApp(1);
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, 3);
        DialogDriver driver;
        QStringList heardWhileOpen;
        QString tip;
        driver.thenBox([&](QWidget *box) {
            tip = static_cast<QMessageBox *>(box)->text();
            QTest::qWait(400);
            heardWhileOpen = app->received("restore2");
            DialogDriver::press(box, QMessageBox::Ok);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(restore(messages, b.store), 1);
        QVERIFY2(tip.startsWith("Please click \"YES\" to temporarily set our Quillmarten app as your default SMS app"),
                 qPrintable(tip));
        QCOMPARE(heardWhileOpen, QStringList());
        QVERIFY(app->waitForReceived("restore2", 7));
        QCOMPARE(app->received("restore2").mid(0, 2), (QStringList{"$defsmsapp:", "$batch:"}));
        QCOMPARE(driver.seenBoxes().value(1).text, "Successfully Transferred 3 SMS");
    }

    void aDroppedConnectionKeepsOnlyAcknowledgedBatches()
    {
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, 250);
        app->setRestoreDrop(150);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(restore(messages, b.store), 0);
        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seenBoxes()[0].icon, int(QMessageBox::Critical));
        // Exactly the first batch, which the phone acknowledged.
        QCOMPARE(cachedCount(), 100);
        QStringList firstBatch;
        for (int i = 0; i < 100; ++i)
            firstBatch.append(messages[i]->text);
        QCOMPARE(cachedTexts(), firstBatch);

        // The retry sends exactly the rest, nothing twice.
        const int before = int(app->received("restore2").size());
        DialogDriver again;
        again.thenPress(QMessageBox::Ok);
        QCOMPARE(restore(messages, b.store), 1);
        // Counted are the messages the phone was given this time.
        QCOMPARE(again.seenBoxes().value(0).text, "Successfully Transferred 150 SMS");
        QVERIFY(app->waitForClosed("restore2", 2));
        const QStringList retry = sentLines(before);
        QCOMPARE(retry.size(), 150);
        for (int i = 0; i < 150; ++i)
            QCOMPARE(bodyOf(retry[i]), messages[100 + i]->text);
        QCOMPARE(cachedCount(), 250);
    }

    void aCancelBeforeTheAcknowledgementKeepsNothing()
    {
        app->setFault("restore2", Fault::Silence, 2); // never acknowledges the first batch
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, 30);
        DialogDriver driver;
        driver.then([this](QWidget *w) {
            QTRY_VERIFY_WITH_TIMEOUT(app->received("restore2").contains("$end:"), 20000);
            QTest::mousePress(static_cast<ProgressForm *>(w)->widgets()->btnCancel, Qt::LeftButton);
        });
        QCOMPARE(restore(messages, b.store), 0);
        QCOMPARE(driver.seenBoxes().size(), 0);
        QCOMPARE(cachedCount(), 0);
    }

    void aCacheThatCannotBeUpdatedStillReportsTheTransfer()
    {
        MsgStoreBuilder b;
        const QList<_MsgMessage *> messages = someMessages(b, 5);
        {
            ExportMessagesDb earlier(device.cacheDir(), device.mmc);
            earlier.begin();
            earlier.end();
        }
        Sqlite3DB::setBusyTimeout(100);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        {
            ReadLock lock(cachePath());
            QCOMPARE(restore(messages, b.store), 1);
        }
        const QList<DialogDriver::Seen> shown = driver.seenBoxes();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].icon, int(QMessageBox::Information));
        QVERIFY2(shown[0].text.startsWith("Successfully Transferred 5 SMS<br/><br/>Note: the copy of the phone's "
                                          "messages on this computer could not be updated."),
                 qPrintable(shown[0].text));
        QCOMPARE(sentLines().size(), 5);
        QCOMPARE(cachedCount(), 0);
    }
};

QP_TEST_MAIN(TestAndroidSmsThreads)

} // namespace tst_androidsmsthreads

#include "tst_androidsmsthreads.moc"
