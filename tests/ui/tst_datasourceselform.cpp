#include "app/idstranslator.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "ui/datasourceselform.h"
#include "ui_datasourceselform.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace tst_datasourceselform {

namespace {
const QString kWarning = QStringLiteral("Need to select a Device to continue.");

// Pointers the chooser never follows; the first two have their high bits set,
// which a trip through a signed 64-bit integer must not disturb.
void *fakePointer(int i)
{
    static const quint64 bits[] = {0xFFFF800012345678ULL, 0x8000000000000001ULL, 0x00007F00DEADBEE8ULL};
    return reinterpret_cast<void *>(quintptr(bits[i]));
}
} // namespace

class TestDataSourceSelForm : public QObject
{
    Q_OBJECT
    IdsTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
    }

    void texts()
    {
        DataSourceSelForm form(nullptr);
        QCOMPARE(form.widgets()->lbSelDevice->text(), "Please select a Device.");
        QCOMPARE(form.widgets()->btnOK->text(), "Confirm");
        QCOMPARE(form.widgets()->btnClose->text(), "Cancel");
        QVERIFY(!form.widgets()->cbDevice->isEditable());
    }

    void choose_data()
    {
        QTest::addColumn<int>("candidates");
        QTest::addColumn<QString>("action"); // ok, second, cancel, esc, close
        QTest::addColumn<int>("chosen");     // index of the answered item, -1 for none
        QTest::addColumn<bool>("warned");
        for (int n : {0, 1, 3}) {
            // OK before any choice: only the single candidate is preselected.
            QTest::addRow("%d, OK at once", n) << n << "ok" << (n == 1 ? 0 : -1) << (n != 1);
            QTest::addRow("%d, Cancel", n) << n << "cancel" << -1 << false;
            QTest::addRow("%d, Esc", n) << n << "esc" << -1 << false;
            QTest::addRow("%d, closed", n) << n << "close" << -1 << false;
        }
        QTest::newRow("3, the second chosen") << 3 << "second" << 1 << false;
        QTest::newRow("1, the only one chosen again") << 1 << "first" << 0 << false;
    }
    void choose()
    {
        QFETCH(int, candidates);
        QFETCH(QString, action);
        QFETCH(int, chosen);
        QFETCH(bool, warned);

        QList<_DataSourceItem *> items;
        for (int i = 0; i < candidates; ++i)
            items.append(new _DataSourceItem(":res/iphone.png", QStringLiteral("Anna’s iPhone %1 📱").arg(i),
                                             fakePointer(i)));
        DataSourceSelForm form(nullptr);
        DialogDriver driver;
        int currentAtStart = -2;
        QStringList listed;
        bool stayedOpen = false;
        bool iconsShown = true;
        QString shownClosed;
        QImage closedShot;
        driver.then([&](QWidget *w) {
            auto *f = static_cast<DataSourceSelForm *>(w);
            QComboBox *box = f->widgets()->cbDevice;
            currentAtStart = box->currentIndex();
            shownClosed = box->currentIndex() >= 0 ? box->currentText() : box->placeholderText();
            if (candidates == 3 && action == "ok")
                closedShot = box->grab().toImage();
            for (int i = 0; i < box->count(); ++i) {
                listed.append(box->itemText(i));
                iconsShown = iconsShown && !box->itemIcon(i).pixmap(16).isNull();
            }
            if (action == "second")
                box->setCurrentIndex(1);
            if (action == "first")
                box->setCurrentIndex(0);
            if (action == "cancel")
                QTest::mousePress(f->widgets()->btnClose, Qt::LeftButton);
            else if (action == "esc")
                QTest::keyClick(f, Qt::Key_Escape);
            else if (action == "close")
                f->close();
            else
                QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton);
            stayedOpen = f->isVisible();
            if (stayedOpen)
                QTest::mousePress(f->widgets()->btnClose, Qt::LeftButton);
        });
        if (warned)
            driver.thenPress(QMessageBox::Ok);

        void *answer = form.select("Choose the target iPhone:", items);
        QCOMPARE(driver.pending(), 0);
        QCOMPARE(form.widgets()->lbSelDevice->text(), "Choose the target iPhone:");
        QCOMPARE(currentAtStart, candidates == 1 ? 0 : -1);
        QCOMPARE(listed.size(), candidates);
        QVERIFY(iconsShown); // each phone's picture
        // The closed box is never blank while it holds a phone.
        const QString expectClosed = candidates == 0 ? QString()
                                     : candidates == 1
                                         ? QStringLiteral("Anna’s iPhone 0 📱")
                                         : QStringLiteral("%1 found: click here to choose one").arg(candidates);
        QCOMPARE(shownClosed, expectClosed);
        if (!closedShot.isNull()) {
            QVERIFY(!testsupport::saveShot(closedShot, "chooser-nothing-chosen").isEmpty());
            // The words are drawn left of the arrow.
            QVERIFY(testsupport::notBlank(closedShot, QRect(4, 2, closedShot.width() / 2, closedShot.height() - 4)));
        }
        for (int i = 0; i < candidates; ++i)
            QCOMPARE(listed[i], items[i]->text);
        QCOMPARE(answer, chosen < 0 ? nullptr : fakePointer(chosen));
        QCOMPARE(stayedOpen, warned);
        QCOMPARE(driver.seen().size(), warned ? 2 : 1);
        if (warned) {
            QCOMPARE(driver.seen()[1].text, kWarning);
            QCOMPARE(driver.seen()[1].icon, int(QMessageBox::Warning));
        }
        qDeleteAll(items);
    }

    void everyPointerComesBackWhole()
    {
        // Each candidate in turn, so that every bit pattern makes the trip.
        for (int pick = 0; pick < 3; ++pick) {
            QList<_DataSourceItem *> items;
            for (int i = 0; i < 3; ++i)
                items.append(new _DataSourceItem(":res/android.png", QString::number(i), fakePointer(i)));
            DataSourceSelForm form(nullptr);
            DialogDriver driver;
            driver.then([pick](QWidget *w) {
                auto *f = static_cast<DataSourceSelForm *>(w);
                f->widgets()->cbDevice->setCurrentIndex(pick);
                QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton);
            });
            QCOMPARE(form.select("?", items), fakePointer(pick));
            qDeleteAll(items);
        }
    }
};

QP_TEST_MAIN(TestDataSourceSelForm)

} // namespace tst_datasourceselform

#include "tst_datasourceselform.moc"
