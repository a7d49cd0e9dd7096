#include "app/idstranslator.h"
#include "app/stylesheet.h"
#include "store/localdbselform.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/testmain.h"
#include "ui_localdbselform.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace tst_localdbselform {

namespace {
const QString kBlankWarning = QStringLiteral("Select one Database or enter a new Database name");
const QString kInvalidWarning = QStringLiteral("Invalid Local Database name(can't contain \\ / : * ? \" < > |).");
} // namespace

class TestLocalDbSelForm : public QObject
{
    Q_OBJECT
    IdsTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
    }

    void layout()
    {
        LocalDbSelForm form({"Work", "Home"}, "iPhone_Backup", nullptr);
        QCOMPARE(form.objectName(), "LocalDbSelForm");
        QCOMPARE(form.minimumSize(), QSize(423, 156));
        QCOMPARE(form.maximumSize(), QSize(423, 156));
        QCOMPARE(form.windowTitle(), "Select one Database for backup");
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(!::styleSheet().isEmpty());
        QCOMPARE(form.styleSheet(), ::styleSheet());
        QCOMPARE(form.widgets()->btnOK->text(), "Confirm");
        QCOMPARE(form.widgets()->btnClose->text(), "Cancel");
        QCOMPARE(form.widgets()->label->text(), "Select current database to merge or enter a new database name:");
        QComboBox *list = form.widgets()->cbLocalDbNames;
        QVERIFY(list->isEditable());
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->itemText(0), "");
        QCOMPARE(list->itemText(1), "Work");
        QCOMPARE(list->itemText(2), "Home");
        // The proposal is typed in while no item is chosen.
        QCOMPARE(list->currentIndex(), -1);
        QCOMPARE(list->currentText(), "iPhone_Backup");
    }

    void noProposalLeavesTheFieldEmpty()
    {
        LocalDbSelForm form({"Work"}, QString(), nullptr);
        QCOMPARE(form.widgets()->cbLocalDbNames->currentIndex(), -1);
        QCOMPARE(form.widgets()->cbLocalDbNames->currentText(), "");
    }

    void confirm_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("warning"); // "" = accepted
        QTest::newRow("empty") << "" << kBlankWarning;
        QTest::newRow("blanks only") << "  \t " << kBlankWarning;
        const QString forbidden = QStringLiteral("\\/:*?\"<>|");
        for (const QChar c : forbidden)
            QTest::addRow("holds %c", c.toLatin1()) << QStringLiteral("my%1db").arg(c) << kInvalidWarning;
        // These would name the databases folder itself, the data folder, or a
        // hidden folder: deleting such a "database" deletes far too much.
        QTest::newRow("dot") << "." << kInvalidWarning;
        QTest::newRow("dot dot") << ".." << kInvalidWarning;
        QTest::newRow("hidden") << ".hidden" << kInvalidWarning;
        QTest::newRow("dot dot in blanks") << " .. " << kInvalidWarning;
        QTest::newRow("dots inside are fine") << "my.db.v2" << "";
        QTest::newRow("surrounding blanks kept") << "  Old Phone " << "";
        QTest::newRow("existing name") << "Work" << "";
        QTest::newRow("non-ASCII") << "Ärger 短信" << "";
    }
    void confirm()
    {
        QFETCH(QString, typed);
        QFETCH(QString, warning);
        LocalDbSelForm form({"Work", "Home"}, "proposal", nullptr);
        DialogDriver driver;
        bool stayedOpen = false;
        driver.then([&](QWidget *w) {
            auto *f = static_cast<LocalDbSelForm *>(w);
            f->widgets()->cbLocalDbNames->setEditText(typed);
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton);
            stayedOpen = f->isVisible();
            if (stayedOpen)
                QTest::mousePress(f->widgets()->btnClose, Qt::LeftButton);
        });
        if (!warning.isEmpty())
            driver.thenPress(QMessageBox::Ok);
        const QString chosen = form.selectedName();
        QCOMPARE(driver.pending(), 0);
        if (warning.isEmpty()) {
            QCOMPARE(chosen, typed);
            QVERIFY(!stayedOpen);
            QCOMPARE(driver.seen().size(), 1);
        } else {
            QVERIFY(stayedOpen);
            QCOMPARE(chosen, "");
            QCOMPARE(driver.seen().size(), 2);
            QCOMPARE(driver.seen()[1].className, "QMessageBox");
            QCOMPARE(driver.seen()[1].text, warning);
            QCOMPARE(driver.seen()[1].icon, int(QMessageBox::Warning));
        }
    }

    void choosingFromTheList_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("expected"); // "" = the blank warning
        QTest::newRow("an existing database") << 2 << "Home";
        QTest::newRow("the empty first item") << 0 << "";
    }
    void choosingFromTheList()
    {
        QFETCH(int, index);
        QFETCH(QString, expected);
        LocalDbSelForm form({"Work", "Home"}, "proposal", nullptr);
        DialogDriver driver;
        driver.then([index](QWidget *w) {
            auto *f = static_cast<LocalDbSelForm *>(w);
            f->widgets()->cbLocalDbNames->setCurrentIndex(index);
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton);
            if (f->isVisible())
                QTest::mousePress(f->widgets()->btnClose, Qt::LeftButton);
        });
        if (expected.isEmpty())
            driver.thenPress(QMessageBox::Ok);
        QCOMPARE(form.selectedName(), expected);
        if (expected.isEmpty())
            QCOMPARE(driver.seen().value(1).text, kBlankWarning);
    }

    void cancelAndEscapeAnswerNothing_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel") << false;
        QTest::newRow("Esc") << true;
    }
    void cancelAndEscapeAnswerNothing()
    {
        QFETCH(bool, escape);
        LocalDbSelForm form({"Work"}, "Work", nullptr);
        DialogDriver driver;
        driver.then([escape](QWidget *w) {
            auto *f = static_cast<LocalDbSelForm *>(w);
            if (escape)
                QTest::keyClick(f, Qt::Key_Escape);
            else
                QTest::mousePress(f->widgets()->btnClose, Qt::LeftButton);
        });
        QCOMPARE(form.selectedName(), "");
        QCOMPARE(driver.seen().size(), 1);
    }

    void aRefusedNameThenAGoodOne()
    {
        // The dialog stays usable after a warning and answers the name
        // confirmed last.
        LocalDbSelForm form({}, "", nullptr);
        DialogDriver driver;
        driver.then([](QWidget *w) {
            auto *f = static_cast<LocalDbSelForm *>(w);
            f->widgets()->cbLocalDbNames->setEditText("a:b");
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton);
            f->widgets()->cbLocalDbNames->setEditText("ab");
            QTest::mousePress(f->widgets()->btnOK, Qt::LeftButton);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(form.selectedName(), "ab");
    }
};

QP_TEST_MAIN(TestLocalDbSelForm)

} // namespace tst_localdbselform

#include "tst_localdbselform.moc"
