// The daily update check and the advert link of the main window, against the
// loopback recorder in place of the maker's server: when the two requests go
// out, what each reply does to the time file, the label and the advert file,
// and which advert links may be opened.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "platform/desktop/desktopopener.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/windowfixture.h"
#include "ui/mainwindow.h"

#include <QLabel>
#include <QTcpServer>

namespace tst_mainwindowchecks {

namespace {

const qint64 kNow = 1765400000;
const QByteArray kUpdatePath = "/sms_check_update.php?pid=6B2E8D41A7C9430F9E15D2B8C4F70A93&ver=40&q=1";
const QByteArray kAdvertPath = "/adv.php?pid=6B2E8D41A7C9430F9E15D2B8C4F70A93";

QString dataFile(const char *name)
{
    return appDataDir().absoluteFilePath(QLatin1String(name));
}

void writeFile(const char *name, const QByteArray &bytes)
{
    QFile file(dataFile(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readFile(const char *name)
{
    QFile file(dataFile(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The two requests travel in parallel: sorted, the advert's comes first.
QStringList paths(const HttpRecorder &server)
{
    QStringList list;
    for (const HttpRecorder::Request &request : server.requests())
        list << QString::fromLatin1(request.path);
    list.sort();
    return list;
}

const QStringList kBothPaths = {QString::fromLatin1(kAdvertPath), QString::fromLatin1(kUpdatePath)};

HttpRecorder::Reply reply(const QByteArray &body, int status = 200, bool inTwoPieces = false)
{
    HttpRecorder::Reply r;
    r.status = status;
    r.reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Moved Permanently";
    r.body = body;
    r.inTwoPieces = inTwoPieces;
    return r;
}

} // namespace

class TestMainWindowChecks : public QObject
{
    Q_OBJECT

    FakeAdb adb;
    IdsTranslator translator;
    QList<QUrl> opened;
    std::unique_ptr<HttpRecorder> server;

    // Waits until both replies were handled (the recorder answered, and the
    // window's slots had their turn).
    void settle(int requests)
    {
        QVERIFY(server->waitForRequests(requests));
        QTest::qWait(300);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QApplication::installTranslator(&translator);
        adb.answer("start-server", "", "* daemon started successfully\n");
        adb.answer("devices", "List of devices attached\n\n");
        MainWindow::setUsbTipsDelay(-1);
        MainWindow::setClock([]() { return kNow; });
        desktop::setOpener([this](const QUrl &url) {
            opened.append(url);
            return true;
        });
    }

    void init()
    {
        server = std::make_unique<HttpRecorder>();
        setMakerServerUrl(server->url());
        testsupport::clearWindowData(appDataDir().absolutePath());
        opened.clear();
    }

    void cleanupTestCase()
    {
        desktop::setOpener({});
        MainWindow::setClock({});
    }

    void theDailyRule_data()
    {
        QTest::addColumn<QByteArray>("stored"); // "<missing>": no file
        QTest::addColumn<bool>("due");
        QTest::newRow("23 hours ago") << QByteArray::number(kNow - 23 * 3600) << false;
        QTest::newRow("exactly a day ago") << QByteArray::number(kNow - 86400) << false;
        QTest::newRow("a day and a second ago") << QByteArray::number(kNow - 86401) << true;
        QTest::newRow("zero") << QByteArray("0") << true;
        QTest::newRow("letters") << QByteArray("abc") << true;
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("missing") << QByteArray("<missing>") << true;
        QTest::newRow("in the future") << QByteArray::number(kNow + 60) << true;
    }

    void theDailyRule()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, due);
        if (stored != "<missing>")
            writeFile("last-check-version-time", stored);
        writeFile("last-adv", "<a style=\"color:#0000FF;text-decoration:none;\" href=\"https://example.org/\">Stored</a>");
        MainWindow window;
        QVERIFY(window.advertLink()->text().contains("Stored"));
        if (!due) {
            QTest::qWait(300);
            QCOMPARE(server->requests().size(), 0);
            QCOMPARE(readFile("last-check-version-time"), stored);
            return;
        }
        settle(2);
        QCOMPARE(paths(*server), kBothPaths);
        for (const HttpRecorder::Request &request : server->requests())
            QCOMPARE(request.method, QByteArray("GET"));
        // The empty update reply still counts as a check.
        QCOMPARE(readFile("last-check-version-time"), QByteArray::number(kNow));
    }

    void anUpdateOffer_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("inTwoPieces");
        QTest::addColumn<bool>("asks");
        QTest::newRow("http") << QByteArray("http://download.example.org/parlevane-41.run") << false << true;
        QTest::newRow("capitals") << QByteArray("HTTP://download.example.org/parlevane-41.run") << false << true;
        QTest::newRow("https is no offer") << QByteArray("https://download.example.org/parlevane-41.run") << false
                                           << false;
        QTest::newRow("anything else") << QByteArray("no update") << false << false;
        QTest::newRow("oversized") << "http://download.example.org/" + QByteArray(70 * 1024, 'x') << true << false;
        QTest::newRow("in two pieces, asked once") << QByteArray("http://download.example.org/in-two-pieces.run")
                                                   << true << true;
    }

    void anUpdateOffer()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, inTwoPieces);
        QFETCH(bool, asks);
        server->setReply("/sms_check_update.php", reply(body, 200, inTwoPieces));
        DialogDriver driver;
        driver.thenPress(QMessageBox::No);
        {
            MainWindow window;
            window.show();
            settle(2);
            QCOMPARE(driver.seen().size(), asks ? 1 : 0);
            QVERIFY(window.isVisible());
        }
        if (asks) {
            QCOMPARE(driver.seen()[0].text,
                     QString("A new version of Quillmarten Parlevane is available. Would you like to download it now?"));
            QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Question));
        }
        QVERIFY(opened.isEmpty());
    }

    void yesOpensTheOfferAndCloses()
    {
        const QByteArray body = "http://download.example.org/parlevane-41.run?from=40";
        server->setReply("/sms_check_update.php", reply(body));
        DialogDriver driver;
        driver.thenPress(QMessageBox::Yes);
        MainWindow window;
        window.show();
        QVERIFY(driver.waitForSeen(1));
        QTRY_VERIFY(!window.isVisible());
        QCOMPARE(opened, QList<QUrl>({QUrl(QString::fromLatin1(body))}));
    }

    void statusesOfTheUpdateReply_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("location");
        QTest::newRow("404") << 404 << QByteArray();
        QTest::newRow("301 is not followed") << 301 << QByteArray("/elsewhere");
    }

    void statusesOfTheUpdateReply()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, location);
        HttpRecorder::Reply r = reply("http://download.example.org/parlevane-41.run", status);
        r.location = location;
        server->setReply("/sms_check_update.php", r);
        server->setReply("/elsewhere", reply("http://download.example.org/redirected.run"));
        writeFile("last-check-version-time", "12345");
        DialogDriver driver;
        MainWindow window;
        settle(2);
        QCOMPARE(driver.seen().size(), 0);
        QCOMPARE(paths(*server), kBothPaths);
        // An answer other than 200 is still a check: the file is renewed.
        QCOMPARE(readFile("last-check-version-time"), QByteArray::number(kNow));
    }

    void aRefusedConnectionIsNoCheck()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        setMakerServerUrl(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)));
        writeFile("last-check-version-time", "12345");
        writeFile("last-adv", "<a href=\"https://example.org/\">Stored</a>");
        DialogDriver driver;
        MainWindow window;
        QTest::qWait(500);
        QCOMPARE(readFile("last-check-version-time"), QByteArray("12345"));
        QCOMPARE(readFile("last-adv"), QByteArray("<a href=\"https://example.org/\">Stored</a>"));
        QCOMPARE(driver.seen().size(), 0);
    }

    void theAdvert_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("inTwoPieces");
        QTest::addColumn<QString>("shown"); // also what the file holds
        const QString stored = "<a href=\"https://example.org/old\">Old offer</a>";
        QTest::newRow("a link in capitals")
            << QByteArray("<A HREF=\"https://example.org/deal\">Spring deal \xE2\x80\x93 30%</A>") << 200 << false
            << QString::fromUtf8("<a style=\"color:#0000FF;text-decoration:none;\" HREF=\"https://example.org/deal\">"
                                 "Spring deal \u2013 30%</A>");
        QTest::newRow("a blank first is ignored") << QByteArray(" <a href=\"https://example.org/x\">x</a>") << 200
                                                  << false << stored;
        QTest::newRow("not 200") << QByteArray("<a href=\"https://example.org/x\">x</a>") << 404 << false << stored;
        QTest::newRow("oversized") << "<a href=\"https://example.org/x\">" + QByteArray(70 * 1024, 'x') + "</a>"
                                   << 200 << false << stored;
        QTest::newRow("in two pieces")
            << QByteArray("<a href=\"https://example.org/long\">") + QByteArray("A long offer ").repeated(20)
                   + "</a>"
            << 200 << true
            << "<a style=\"color:#0000FF;text-decoration:none;\" href=\"https://example.org/long\">"
                   + QString("A long offer ").repeated(20) + "</a>";
    }

    void theAdvert()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(bool, inTwoPieces);
        QFETCH(QString, shown);
        writeFile("last-adv", "<a href=\"https://example.org/old\">Old offer</a>");
        server->setReply("/adv.php", reply(body, status, inTwoPieces));
        MainWindow window;
        settle(2);
        QCOMPARE(window.advertLink()->text(), shown);
        QCOMPARE(QString::fromUtf8(readFile("last-adv")), shown);
    }

    void advertLinksOpenOnlyOnTheWeb_data()
    {
        QTest::addColumn<bool>("fresh");
        QTest::addColumn<QString>("href");
        QTest::addColumn<bool>("opens");
        QTest::newRow("fresh https") << true << "https://example.org/deal" << true;
        QTest::newRow("fresh http") << true << "http://example.org/deal" << true;
        QTest::newRow("fresh file") << true << "file:///etc/passwd" << false;
        QTest::newRow("stored file") << false << "file:///home/user/.bashrc" << false;
        QTest::newRow("stored program") << false << "/usr/bin/xterm" << false;
        QTest::newRow("stored https") << false << "https://example.org/stored" << true;
    }

    void advertLinksOpenOnlyOnTheWeb()
    {
        QFETCH(bool, fresh);
        QFETCH(QString, href);
        QFETCH(bool, opens);
        const QByteArray link = "<a href=\"" + href.toUtf8() + "\">Offer</a>";
        if (fresh) {
            server->setReply("/adv.php", reply(link));
        } else {
            writeFile("last-check-version-time", QByteArray::number(kNow - 60));
            writeFile("last-adv", link);
        }
        MainWindow window;
        if (fresh)
            settle(2);
        QVERIFY(window.advertLink()->text().contains(href));
        emit window.advertLink()->linkActivated(href);
        QCOMPARE(opened, opens ? QList<QUrl>({QUrl(href)}) : QList<QUrl>());
    }
};

QP_TEST_MAIN(TestMainWindowChecks)

} // namespace tst_mainwindowchecks

#include "tst_mainwindowchecks.moc"
