#include "app/errorreport.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "app/winmovable.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"

#include <QAbstractButton>
#include <QMouseEvent>
#include <QUrlQuery>

namespace tst_messagebox {

namespace {
QString decodeField(const QByteArray &field)
{
    QByteArray b64 = field;
    b64.replace('!', '/').replace('-', '=');
    return QString::fromUtf8(QByteArray::fromBase64(b64));
}

void sendMouse(QWidget *w, QEvent::Type type, Qt::MouseButton button, QPoint pos)
{
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent event(type, QPointF(pos), w->mapToGlobal(QPointF(pos)),
                      type == QEvent::MouseMove ? Qt::NoButton : button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}
} // namespace

class TestMessageBox : public QObject
{
    Q_OBJECT
    HttpRecorder server;

private slots:
    void initTestCase() { setMakerServerUrl(server.url()); }

    void question_data()
    {
        QTest::addColumn<int>("key");    // 0: press the button below
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("answer");
        QTest::newRow("yes") << 0 << int(QMessageBox::Yes) << true;
        QTest::newRow("no") << 0 << int(QMessageBox::No) << false;
        QTest::newRow("esc") << int(Qt::Key_Escape) << 0 << false;
    }
    void question()
    {
        QFETCH(int, key);
        QFETCH(int, button);
        QFETCH(bool, answer);
        DialogDriver driver;
        if (key)
            driver.thenKey(key);
        else
            driver.thenPress(QMessageBox::StandardButton(button));
        QCOMPARE(showQuestion("Delete it?"), answer);
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Question));
    }

    void boxesShareOneLook()
    {
        DialogDriver driver;
        QString title, sheet;
        bool frameless = false;
        QList<QString> buttons;
        driver.then([&](QWidget *w) {
            auto *box = static_cast<QMessageBox *>(w);
            title = box->windowTitle();
            sheet = box->styleSheet();
            frameless = box->windowFlags() & Qt::FramelessWindowHint;
            for (QAbstractButton *b : box->buttons())
                buttons.append(b->text());
            DialogDriver::press(box, QMessageBox::Ok);
        });
        showWarning("careful");
        QCOMPARE(title, "Quillmarten Parlevane");
        QVERIFY(frameless);
        QVERIFY(!sheet.isEmpty());
        QCOMPARE(sheet, styleSheet());
        QVERIFY(sheet.contains("#ProgressForm"));
        QCOMPARE(buttons.size(), 1);
        QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Warning));
    }

    void errorBoxThenReport()
    {
        const int before = server.requests().size();
        DialogDriver driver;
        driver.then([this, before](QWidget *box) {
            // The report leaves only after the user closed the box.
            QTest::qWait(100);
            QCOMPARE(server.requests().size(), before);
            DialogDriver::press(box, QMessageBox::Ok);
        });
        showError("Disk full.<br/>Nothing was written.");
        QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Critical));
        QCOMPARE(driver.seen()[0].text,
                 "An Error Occurred. <br/><br/>Disk full.<br/>Nothing was written.<br/><br/> Or you "
                 "can contact support@quillmarten.invalid for help.");
        QVERIFY(server.waitForRequests(before + 1));
        const HttpRecorder::Request r = server.requests().at(before);
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.path, QByteArray("/err_report.php"));
        QCOMPARE(r.version, QByteArray("HTTP/1.1"));
        QCOMPARE(r.headers.value("host"), QByteArray("127.0.0.1"));
        QCOMPARE(r.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
        QVERIFY(r.body.startsWith("prod="));
        const QList<QByteArray> fields = r.body.split('&');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(decodeField(fields[0].mid(5)), "Quillmarten Parlevane");
        QVERIFY(fields[1].startsWith("ver="));
        QCOMPARE(decodeField(fields[1].mid(4)), "2.14.12(40)");
        QVERIFY(fields[2].startsWith("err="));
        QCOMPARE(decodeField(fields[2].mid(4)), "Disk full.\r\nNothing was written.");
    }

    void reportEncoding_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("encoded");
        QTest::newRow("empty") << "" << "";
        QTest::newRow("padding becomes -") << "a" << "YQ--";
        QTest::newRow("slash becomes !") << "?>?" << "Pz4!";
        QTest::newRow("plus stays") << ">>>" << "Pj4+";
        QTest::newRow("utf-8") << QString::fromUtf8("ü") << "w7w-";
    }
    void reportEncoding()
    {
        QFETCH(QString, text);
        QFETCH(QString, encoded);
        QCOMPARE(errorReportEncode(text), encoded);
    }

    void reportText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("text");
        QTest::newRow("br and brackets") << "a<br/>b<c>" << "a\r\nb&lt;c&gt;";
        QTest::newRow("br variants") << "1<BR>2< br />3<Br/>4" << "1\r\n2\r\n3\r\n4";
        QTest::newRow("not a br") << "<b>x</b>" << "&lt;b&gt;x&lt;/b&gt;";
        QTest::newRow("empty") << "" << "";
    }
    void reportText()
    {
        QFETCH(QString, message);
        QFETCH(QString, text);
        QCOMPARE(errorReportText(message), text);
        QVERIFY(errorReportBody(message).endsWith("&err=" + errorReportEncode(text).toUtf8()));
    }

    void dragging_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QPoint>("moveTo");
        QTest::addColumn<bool>("releaseFirst");
        QTest::addColumn<QPoint>("shift");
        QTest::newRow("left drag") << int(Qt::LeftButton) << QPoint(10, 10) << QPoint(30, 25) << false
                                   << QPoint(20, 15);
        QTest::newRow("press at the corner") << int(Qt::LeftButton) << QPoint(0, 0) << QPoint(30, 25)
                                             << false << QPoint(0, 0);
        QTest::newRow("right button") << int(Qt::RightButton) << QPoint(10, 10) << QPoint(30, 25)
                                      << false << QPoint(0, 0);
        QTest::newRow("after release") << int(Qt::LeftButton) << QPoint(10, 10) << QPoint(30, 25)
                                       << true << QPoint(0, 0);
    }
    void dragging()
    {
        QFETCH(int, button);
        QFETCH(QPoint, press);
        QFETCH(QPoint, moveTo);
        QFETCH(bool, releaseFirst);
        QFETCH(QPoint, shift);
        QWidget window(nullptr, Qt::FramelessWindowHint);
        window.setGeometry(100, 100, 200, 100);
        WinMovable movable(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QPoint start = window.geometry().topLeft();
        sendMouse(&window, QEvent::MouseButtonPress, Qt::MouseButton(button), press);
        if (releaseFirst)
            sendMouse(&window, QEvent::MouseButtonRelease, Qt::MouseButton(button), press);
        sendMouse(&window, QEvent::MouseMove, Qt::MouseButton(button), moveTo);
        QCOMPARE(window.geometry().topLeft() - start, shift);
    }
};

QP_TEST_MAIN(TestMessageBox)

} // namespace tst_messagebox

#include "tst_messagebox.moc"
