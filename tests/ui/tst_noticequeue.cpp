// Boxes nobody asked for, alone: a second notice that comes while one is open
// waits until that one is closed, also when it comes from inside the first
// one's event loop (where the first box's call cannot return before it).
#include "tests/support/dialogdriver.h"
#include "tests/support/testmain.h"
#include "ui/noticequeue.h"

#include <QMessageBox>

namespace tst_noticequeue {

namespace {

int visibleBoxes()
{
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        n += qobject_cast<QMessageBox *>(w) && w->isVisible() ? 1 : 0;
    return n;
}

} // namespace

class TestNoticeQueue : public QObject
{
    Q_OBJECT

private slots:
    void aSecondNoticeWaitsForTheFirstToClose_data()
    {
        QTest::addColumn<int>("later"); // notices that come while the first is open
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
    }
    void aSecondNoticeWaitsForTheFirstToClose()
    {
        QFETCH(int, later);
        DialogDriver driver;
        QList<int> openAtShow;
        bool laterReturned = false;
        driver.thenBox([&](QWidget *box) {
            openAtShow << visibleBoxes();
            for (int i = 0; i < later; ++i) {
                QTimer::singleShot(0, [i, &laterReturned]() {
                    NoticeQueue::show(QMessageBox::Warning, QString("later %1").arg(i));
                    laterReturned = true;
                });
            }
            // Later, as the user would, from whatever loop then runs (the
            // waiting notices' own): long enough for a box that does not wait
            // to show.
            QPointer<QWidget> first(box);
            QTimer::singleShot(100, [first, &openAtShow]() {
                openAtShow << visibleBoxes();
                if (first)
                    DialogDriver::press(first, QMessageBox::Ok);
            });
        });
        for (int i = 0; i < later; ++i) {
            driver.thenBox([&](QWidget *box) {
                openAtShow << visibleBoxes();
                DialogDriver::press(box, QMessageBox::Ok);
            });
        }
        NoticeQueue::show(QMessageBox::Information, "first");
        QTRY_COMPARE(driver.pending(), 0);
        QTRY_VERIFY(laterReturned);
        QTRY_VERIFY(!NoticeQueue::isShowing());

        QList<int> one;
        for (int i = 0; i < later + 2; ++i)
            one << 1;
        QCOMPARE(openAtShow, one);
        QStringList texts;
        for (const DialogDriver::Seen &seen : driver.seenBoxes())
            texts << seen.text;
        QCOMPARE(texts.size(), later + 1);
        QCOMPARE(texts.first(), QString("first"));
    }

    // With none open, a notice shows at once.
    void aLoneNoticeShowsAtOnce()
    {
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        NoticeQueue::show(QMessageBox::Information, "<b>alone</b>");
        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seenBoxes()[0].icon, int(QMessageBox::Information));
        QVERIFY(!NoticeQueue::isShowing());
    }
};

QP_TEST_MAIN(TestNoticeQueue)

} // namespace tst_noticequeue

#include "tst_noticequeue.moc"
