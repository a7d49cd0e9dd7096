#include "app/makerserver.h"
#include "app/progressform.h"
#include "app/stylesheet.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "ui_progressform.h"

#include <QSignalSpy>
#include <QThread>
#include <atomic>
#include <memory>

namespace tst_progressform {

namespace {
// Runs body on a worker thread while the dialog runs modally, then waits for
// the worker as every starter does. Answers exec()'s result.
int runWithWorker(ProgressForm &form, std::function<void()> body)
{
    std::unique_ptr<QThread> worker(QThread::create(std::move(body)));
    worker->start();
    const int result = form.exec();
    if (!worker->wait(10000))
        qFatal("worker still running after the dialog ended");
    return result;
}
} // namespace

class TestProgressForm : public QObject
{
    Q_OBJECT
    HttpRecorder server;

private slots:
    void initTestCase() { setMakerServerUrl(server.url()); }

    void layout()
    {
        ProgressForm form("Loading...", nullptr);
        QCOMPARE(form.objectName(), "ProgressForm");
        QCOMPARE(form.size(), QSize(350, 122));
        QCOMPARE(form.windowTitle(), "Loading...");
        QCOMPARE(form.widgets()->lbStatus->text(), "Loading...");
        QCOMPARE(form.widgets()->btnCancel->text(), "Cancel");
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(!form.failed);
        QVERIFY(form.styleSheet().contains("#ProgressForm"));
    }

    void updateProgress_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shownStatus");
        QTest::addColumn<int>("bar");
        QTest::addColumn<QString>("shownText");
        // The dialog starts from status "before" and bar 40 in every row.
        QTest::newRow("all given") << "now" << 70 << "SMS: 7/10" << "now" << 70 << "SMS: 7/10";
        QTest::newRow("empty status keeps it") << "" << 55 << "x" << "before" << 55 << "x";
        QTest::newRow("empty text shows percent") << "" << 12 << "" << "before" << 12 << "Progress:12%";
        QTest::newRow("-1 keeps the bar") << "" << -1 << "" << "before" << 40 << "Progress:40%";
        QTest::newRow("above 100 leaves the bar") << "" << 150 << "" << "before" << 40 << "Progress:150%";
        QTest::newRow("bounds") << "" << 100 << "" << "before" << 100 << "Progress:100%";
        QTest::newRow("zero") << "" << 0 << "" << "before" << 0 << "Progress:0%";
    }
    void updateProgress()
    {
        QFETCH(QString, status);
        QFETCH(int, value);
        QFETCH(QString, text);
        QFETCH(QString, shownStatus);
        QFETCH(int, bar);
        QFETCH(QString, shownText);
        ProgressForm form("before", nullptr);
        form.updateProgress("", 40, "start");
        form.postUpdateProgress(status, value, text); // from the GUI thread: runs at once
        QCOMPARE(form.widgets()->lbStatus->text(), shownStatus);
        QCOMPARE(form.widgets()->progressBar->value(), bar);
        QCOMPARE(form.widgets()->lbProgress->text(), shownText);
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("boxText"); // "" = no box
        QTest::addColumn<bool>("report");
        QTest::newRow("succeed silently") << "succeed" << 1 << "" << false;
        QTest::newRow("succeed with text") << "succeed:All done" << 1 << "All done" << false;
        QTest::newRow("error") << "error:disk full" << 0 << "disk full" << true;
    }
    void outcomes()
    {
        QFETCH(QString, outcome);
        QFETCH(int, result);
        QFETCH(QString, boxText);
        QFETCH(bool, report);
        const int reportsBefore = server.requests().size();
        ProgressForm form("", nullptr);
        DialogDriver driver;
        bool formShownUnderBox = false;
        driver.thenBox([&](QWidget *box) {
            formShownUnderBox = form.isVisible();
            DialogDriver::press(box, QMessageBox::Ok);
        });
        const int got = runWithWorker(form, [&form, outcome]() {
            form.postUpdateProgress("working", 50, "");
            QThread::msleep(50);
            if (outcome.startsWith("succeed"))
                form.postSucceed(outcome.section(':', 1));
            else
                form.postErrorOccurred(outcome.section(':', 1));
        });
        QCOMPARE(got, result);
        QCOMPARE(bool(form.failed), result == 0);
        QList<DialogDriver::Seen> boxes = driver.seen();
        boxes.removeIf([](const DialogDriver::Seen &s) { return s.className != "QMessageBox"; });
        QCOMPARE(boxes.size(), boxText.isEmpty() ? 0 : 1);
        if (!boxText.isEmpty())
            QVERIFY2(boxes[0].text.contains(boxText), qPrintable(boxes[0].text));
        // A success box stands alone: no Cancel behind it for work that ended.
        if (result == 1 && !boxText.isEmpty())
            QVERIFY(!formShownUnderBox);
        if (report)
            QVERIFY(server.waitForRequests(reportsBefore + 1));
        else
            QCOMPARE(server.requests().size(), reportsBefore);
    }

    void cancelEndsAtOnceAndTheWorkerStopsSilently()
    {
        ProgressForm form("", nullptr);
        QSignalSpy cancelled(&form, &ProgressForm::userCacel);
        DialogDriver driver;
        driver.then([](QWidget *w) {
            QTest::mousePress(static_cast<ProgressForm *>(w)->widgets()->btnCancel, Qt::LeftButton);
        });
        std::atomic<bool> sawCancel(false);
        const int got = runWithWorker(form, [&form, &sawCancel]() {
            try {
                for (int i = 0; i < 3000; ++i) {
                    if (form.failed)
                        throw -1;
                    form.postUpdateProgress("", i / 30, "");
                    QThread::msleep(10);
                }
                form.postSucceed("");
            } catch (int) {
                sawCancel = true;
            }
        });
        QCOMPARE(got, 0);
        QVERIFY(form.failed);
        QCOMPARE(cancelled.size(), 1);
        QVERIFY(sawCancel);
        QCOMPARE(driver.seen().size(), 1); // no box after a cancel
    }

    void keysPressTheEnabledCancel_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("return") << int(Qt::Key_Return);
        QTest::newRow("enter") << int(Qt::Key_Enter);
        QTest::newRow("space") << int(Qt::Key_Space);
    }
    void keysPressTheEnabledCancel()
    {
        QFETCH(int, key);
        ProgressForm form("", nullptr);
        QSignalSpy cancelled(&form, &ProgressForm::userCacel);
        DialogDriver driver;
        driver.then([key](QWidget *w) {
            // The button is the one control that takes the focus.
            QWidget *focus = w->focusWidget();
            QCOMPARE(focus, static_cast<QWidget *>(static_cast<ProgressForm *>(w)->widgets()->btnCancel));
            QTest::keyClick(focus, Qt::Key(key));
        });
        const int got = runWithWorker(form, [&form]() {
            for (int i = 0; i < 3000 && !form.failed; ++i)
                QThread::msleep(10);
            if (!form.failed)
                form.postSucceed(""); // the key did nothing
        });
        QCOMPARE(got, 0);
        QCOMPARE(cancelled.size(), 1);
    }

    void escCloseAndDisabledCancelDoNotEndIt()
    {
        ProgressForm form("", nullptr);
        form.setCancelEnabled(false);
        std::atomic<bool> tried(false);
        DialogDriver driver;
        driver.then([&tried](QWidget *w) {
            auto *f = static_cast<ProgressForm *>(w);
            QTest::keyClick(f, Qt::Key_Escape);
            QTest::keyClick(f, Qt::Key_Return);
            QTest::mousePress(f->widgets()->btnCancel, Qt::LeftButton);
            f->close();
            QVERIFY(f->isVisible());
            tried = true;
        });
        const int got = runWithWorker(form, [&form, &tried]() {
            while (!tried)
                QThread::msleep(10);
            form.postSucceed("");
        });
        QCOMPARE(got, 1);
        QVERIFY(!form.failed);
    }

    void tipBlocksTheWorkerUntilClosed()
    {
        ProgressForm form("", nullptr);
        DialogDriver driver;
        std::atomic<bool> passedTip(false);
        std::atomic<bool> passedTooEarly(false);
        std::atomic<bool> waitingWhileShown(false);
        QVERIFY(!form.isTipsWaiting());
        driver.thenBox([&form, &passedTip, &passedTooEarly, &waitingWhileShown](QWidget *box) {
            // Give the worker time to run past the tip if it does not wait.
            QTest::qWait(400);
            passedTooEarly = bool(passedTip);
            waitingWhileShown = form.isTipsWaiting();
            DialogDriver::press(box, QMessageBox::Ok);
        });
        const int got = runWithWorker(form, [&form, &passedTip]() {
            try {
                form.postTipsWait("Confirm on the phone");
                form.waitForTips();
                passedTip = true;
                form.postSucceed("");
            } catch (int) {
            }
        });
        QCOMPARE(got, 1);
        QVERIFY(passedTip);
        QVERIFY(!passedTooEarly);
        QVERIFY(waitingWhileShown);
        QVERIFY(!form.isTipsWaiting());
        QCOMPARE(driver.seen().size(), 2);
        QVERIFY(driver.seen()[0].text == "Confirm on the phone" || driver.seen()[1].text == "Confirm on the phone");
    }

    void tipAfterTheDialogEndedDoesNotHang()
    {
        ProgressForm form("", nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok); // the error box
        std::atomic<bool> cancelledAtTip(false);
        const int got = runWithWorker(form, [&form, &cancelledAtTip]() {
            form.postErrorOccurred("lost the phone");
            while (!form.failed)
                QThread::msleep(10);
            try {
                // The GUI thread now waits for us: this box can never show.
                form.postTipsWait("never shown");
                form.waitForTips();
            } catch (int code) {
                cancelledAtTip = (code == -1);
            }
        });
        QCOMPARE(got, 0);
        QVERIFY(cancelledAtTip);
    }
};

QP_TEST_MAIN(TestProgressForm)

} // namespace tst_progressform

#include "tst_progressform.moc"
