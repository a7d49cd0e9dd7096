// What every frameless dialog of the program shares: its name (the style
// sheet's ID selectors need it), its size, the application style sheet, a
// body that drags the window, and what OK, Cancel, Esc and closing do.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/stylesheet.h"
#include "ios/backupmanifest.h"
#include "tests/support/backupfixture.h"
#include "tests/support/countryfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "ui/aboutusform.h"
#include "ui/countryselform.h"
#include "ui/datasourceselform.h"
#include "ui/itemmodelloadbk.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/passcodedlg.h"

#include <QLineEdit>
#include <QListWidget>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeView>

#include <functional>
#include <memory>

namespace tst_dialogforms {

using namespace testsupport;

namespace {

const int kStayedOpen = 42; // the result a test gives a dialog that refused to end
const int kNoButton = -1;   // the dialog has no such button

// One dialog, built so that OK succeeds: a single device, a country chosen,
// a backup listed and chosen, the right password typed.
struct Subject
{
    QSize size;
    std::function<QDialog *()> make;
    std::function<void(QDialog *)> prepare; // run inside the dialog's loop
    std::function<int(QDialog *)> run;      // runs the dialog, answers its result
    std::function<void(DialogDriver &)> afterOk;
    QString okButton;
    QString cancelButton; // empty: none
};

void sendMouse(QWidget *w, QEvent::Type type, QPoint pos)
{
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(pos), w->mapToGlobal(QPointF(pos)),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

} // namespace

class TestDialogForms : public QObject
{
    Q_OBJECT
    IdsTranslator translator;
    HttpRecorder server;
    QTemporaryDir dir;
    std::unique_ptr<BackupManifest> locked;
    _DataSourceItem device{":res/iphone.png", "Ann’s iPhone", reinterpret_cast<void *>(quintptr(0x1234))};
    const QString password = QStringLiteral("Pässwort");

    Subject subject(const QString &name)
    {
        Subject s;
        s.run = [](QDialog *d) { return d->exec(); };
        s.prepare = [](QDialog *) {};
        s.afterOk = [](DialogDriver &) {};
        s.okButton = "btnOK";
        if (name == "AboutUsForm") {
            s.size = QSize(400, 194);
            s.make = [] { return new AboutUsForm(nullptr); };
        } else if (name == "CountrySelForm") {
            s.size = QSize(326, 398);
            s.make = [] { return new CountrySelForm(nullptr); };
            s.prepare = [](QDialog *d) {
                QListWidget *list = d->findChild<QListWidget *>("ltCountries");
                list->setCurrentRow(1);
            };
            s.afterOk = [](DialogDriver &driver) { driver.thenPress(QMessageBox::Yes); };
        } else if (name == "DataSourceSelForm") {
            s.size = QSize(421, 152);
            s.make = [] { return new DataSourceSelForm(nullptr); };
            s.run = [this](QDialog *d) {
                static_cast<DataSourceSelForm *>(d)->select("To which phone?", {&device});
                return d->result();
            };
            s.cancelButton = "btnClose";
        } else if (name == "LoadItunesBackupDlg") {
            s.size = QSize(600, 400);
            s.make = [] { return new LoadItunesBackupDlg(nullptr); };
            s.prepare = [](QDialog *d) {
                QTreeView *list = d->findChild<QTreeView *>("listBackups");
                list->setCurrentIndex(list->model()->index(0, 0));
            };
            s.okButton = "btnLoad";
            s.cancelButton = "btnCancel";
        } else if (name == "PasscodeDlg") {
            s.size = QSize(338, 147);
            s.make = [this] { return new PasscodeDlg(locked.get(), nullptr); };
            s.prepare = [this](QDialog *d) { d->findChild<QLineEdit *>("txtPasscode")->setText(password); };
            s.cancelButton = "btnCancel";
        }
        return s;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
        setMakerServerUrl(server.url());
        writeCountryDb(appDataDir().absoluteFilePath("countries.db"));
        // One backup in the default folder for the chooser, one encrypted
        // elsewhere for the password dialog.
        BackupFixture listed;
        listed.write(BackupManifest::defaultBackupRoot().absoluteFilePath(listed.udid));
        BackupFixture older;
        older.udid = "0000000000000000000000000000000000000001";
        older.deviceName = "Work phone";
        older.date = listed.date.addDays(-30);
        older.write(BackupManifest::defaultBackupRoot().absoluteFilePath(older.udid));
        BackupFixture encrypted;
        encrypted.keys.emplace(password.toUtf8());
        locked.reset(new BackupManifest(encrypted.write(dir.filePath("encrypted"))));
        locked->loadManifestPlist();
    }

    void shape_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"AboutUsForm", "CountrySelForm", "DataSourceSelForm", "LoadItunesBackupDlg",
                                 "PasscodeDlg"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void shape()
    {
        QFETCH(QString, name);
        const Subject s = subject(name);
        std::unique_ptr<QDialog> d(s.make());
        QCOMPARE(d->objectName(), name);
        QCOMPARE(QString::fromLatin1(d->metaObject()->className()), name);
        QVERIFY(d->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(d->windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
        QVERIFY(!::styleSheet().isEmpty());
        QCOMPARE(d->styleSheet(), ::styleSheet());
        QCOMPARE(d->windowTitle(), "Dialog");

        d->move(100, 100);
        d->show();
        QVERIFY(QTest::qWaitForWindowExposed(d.get()));
        QCOMPARE(d->size(), s.size);

        // The body drags the window.
        const QPoint body(3, 3);
        QCOMPARE(d->childAt(body), nullptr);
        const QPoint start = d->pos();
        sendMouse(d.get(), QEvent::MouseButtonPress, body);
        sendMouse(d.get(), QEvent::MouseMove, body + QPoint(25, 12));
        sendMouse(d.get(), QEvent::MouseButtonRelease, body + QPoint(25, 12));
        QCOMPARE(d->pos() - start, QPoint(25, 12));
    }

    void ending_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("result");
        const int A = QDialog::Accepted, R = QDialog::Rejected;
        const struct
        {
            const char *name;
            int ok, cancel, esc, close;
        } rows[] = {
            {"AboutUsForm", A, kNoButton, R, R},
            // A country must be chosen while countries are listed.
            {"CountrySelForm", A, kNoButton, kStayedOpen, kStayedOpen},
            {"DataSourceSelForm", A, R, R, R},
            {"LoadItunesBackupDlg", A, R, R, R},
            {"PasscodeDlg", A, R, R, R},
        };
        for (const auto &row : rows) {
            const QString name = QString::fromLatin1(row.name);
            QTest::addRow("%s OK", row.name) << name << "ok" << row.ok;
            if (row.cancel != kNoButton)
                QTest::addRow("%s Cancel", row.name) << name << "cancel" << row.cancel;
            QTest::addRow("%s Esc", row.name) << name << "esc" << row.esc;
            QTest::addRow("%s closed", row.name) << name << "close" << row.close;
        }
    }
    void ending()
    {
        QFETCH(QString, name);
        QFETCH(QString, action);
        QFETCH(int, result);
        const Subject s = subject(name);
        std::unique_ptr<QDialog> d(s.make());
        if (s.cancelButton.isEmpty())
            QCOMPARE(d->findChildren<QPushButton *>().size(), 1);
        DialogDriver driver;
        driver.then([&](QWidget *w) {
            auto *dialog = static_cast<QDialog *>(w);
            s.prepare(dialog);
            if (action == "ok")
                QTest::mousePress(dialog->findChild<QPushButton *>(s.okButton), Qt::LeftButton);
            else if (action == "cancel")
                QTest::mousePress(dialog->findChild<QPushButton *>(s.cancelButton), Qt::LeftButton);
            else if (action == "esc")
                QTest::keyClick(dialog, Qt::Key_Escape);
            else
                dialog->close();
            if (dialog->isVisible())
                dialog->done(kStayedOpen);
        });
        if (action == "ok")
            s.afterOk(driver);
        QCOMPARE(s.run(d.get()), result);
        QCOMPARE(driver.pending(), 0);
    }

    // Each dialog as it opens, at its form's size, saved to shots/ for a look.
    void screenshots_data() { shape_data(); }
    void screenshots()
    {
        QFETCH(QString, name);
        const Subject s = subject(name);
        std::unique_ptr<QDialog> d(s.make());
        DialogDriver driver;
        QImage shot;
        driver.then([&](QWidget *w) {
            auto *dialog = static_cast<QDialog *>(w);
            if (name != "LoadItunesBackupDlg") // its rows are shown unselected
                s.prepare(dialog);
            shot = renderWidget(dialog, s.size);
            dialog->done(kStayedOpen);
        });
        s.run(d.get());
        QCOMPARE(shot.size(), s.size);
        saveShot(shot, QStringLiteral("dialog-") + name);
        QVERIFY(notBlank(shot, shot.rect()));

        // The style sheet's frame: a black line of one pixel all round.
        const auto black = [](QColor c) { return near(c, Qt::black, 30); };
        const int w = shot.width(), h = shot.height();
        QCOMPARE(countPixels(shot, QRect(0, 0, w, 1), black), w);
        QCOMPARE(countPixels(shot, QRect(0, h - 1, w, 1), black), w);
        QCOMPARE(countPixels(shot, QRect(0, 0, 1, h), black), h);
        QCOMPARE(countPixels(shot, QRect(w - 1, 0, 1, h), black), h);
        QVERIFY(!black(shot.pixelColor(1, 1 + 1)));
        // Its background picture: a dark line at the top, then a light blue
        // band fading into white further down.
        QVERIFY2(near(shot.pixelColor(3, 1), QColor(96, 128, 160)), qPrintable(shot.pixelColor(3, 1).name()));
        const QColor band = shot.pixelColor(3, 4);
        QVERIFY2(band.blue() > band.red() + 10 && band.blue() < 250, qPrintable(band.name()));

        if (name == "AboutUsForm") {
            // The logo fills its square of 64: no frame, no scroll bar, no gap.
            const QImage logo = QPixmap(":main").scaledToHeight(64, Qt::FastTransformation).toImage();
            QCOMPARE(logo.size(), QSize(64, 64));
            int same = 0;
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x)
                    same += near(shot.pixelColor(20 + x, 40 + y), logo.pixelColor(x, y), 4) ? 1 : 0;
            QCOMPARE(same, 64 * 64);
        }
        if (name == "LoadItunesBackupDlg") {
            // Rows alternate from grey, seen past the end of the short date.
            auto *dlg = static_cast<LoadItunesBackupDlg *>(d.get());
            QTreeView *view = dlg->findChild<QTreeView *>("listBackups");
            QCOMPARE(view->model()->rowCount(), 2);
            const int x = view->header()->sectionViewportPosition(1) + view->header()->sectionSize(1) - 4;
            for (int row = 0; row < 2; ++row) {
                const QRect cell = view->visualRect(view->model()->index(row, 1));
                const QPoint at = view->viewport()->mapTo(dlg, QPoint(x, cell.center().y()));
                const QColor expected = row == 0 ? QColor(250, 250, 250) : QColor(255, 255, 255);
                QVERIFY2(shot.pixelColor(at) == expected, qPrintable(shot.pixelColor(at).name()));
            }
        }
    }
};

QP_TEST_MAIN(TestDialogForms)

} // namespace tst_dialogforms

#include "tst_dialogforms.moc"
