#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "ios/backupmanifest.h"
#include "tests/support/filefixture.h"
#include "tests/support/backupfixture.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/httprecorder.h"
#include "tests/support/logcapture.h"
#include "tests/support/testmain.h"
#include "ui/itemmodelloadbk.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui_loaditunesbackupdlg.h"

#include <QAbstractItemModelTester>
#include <QFileDialog>
#include <QHeaderView>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTimeZone>

#include <fcntl.h>
#include <sys/stat.h>

namespace tst_loaditunesbackupdlg {

using namespace testsupport;

namespace {

QDateTime day(int d) // 2014-06-30 is a Monday
{
    return QDateTime(QDate(2014, 6, 30).addDays(d), QTime(9, 41), QTimeZone::utc());
}
const QDateTime kMonday = day(0), kTuesday = day(1), kWednesday = day(2);

QString backupRoot()
{
    return BackupManifest::defaultBackupRoot().absolutePath();
}

// A backup of a phone named name, dated date, written to folder.
QString writeBackup(const QString &folder, const QString &name, const QDateTime &date)
{
    BackupFixture backup;
    backup.deviceName = name;
    backup.date = date;
    backup.addFile("HomeDomain", "Library/SMS/sms.db", "not read here");
    return backup.write(folder);
}

void setFolderTime(const QString &path, qint64 secs)
{
    const struct timespec times[2] = {{time_t(secs), 0}, {time_t(secs), 0}};
    QVERIFY(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
}

// What the manifest reader throws for folder.
QString readerError(const QString &folder)
{
    try {
        BackupManifest(folder).loadManifestPlist();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

QStringList column(const QAbstractItemModel *model, int c)
{
    QStringList out;
    for (int row = 0; row < model->rowCount(); ++row)
        out.append(model->index(row, c).data().toString());
    return out;
}

QString shortDate(const QDateTime &date)
{
    return QLocale::system().toString(date.toLocalTime(), QLocale::ShortFormat);
}

} // namespace

class TestLoadItunesBackupDlg : public QObject
{
    Q_OBJECT
    IdsTranslator translator;
    HttpRecorder server;
    std::unique_ptr<QTemporaryDir> elsewhere;

    // The default folder: Monday's, Wednesday's and Tuesday's backups, listed
    // by the folder in that order (oldest modification first).
    void threeBackups()
    {
        const QString root = backupRoot();
        writeBackup(root + "/aaaa-monday", "Monday’s iPhone", kMonday);
        writeBackup(root + "/bbbb-wednesday", "Wednesday’s iPhone", kWednesday);
        writeBackup(root + "/cccc-tuesday", "Tuesday’s iPhone", kTuesday);
        setFolderTime(root + "/aaaa-monday", 1500000000);
        setFolderTime(root + "/bbbb-wednesday", 1500000100);
        setFolderTime(root + "/cccc-tuesday", 1500000200);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
        setMakerServerUrl(server.url());
    }
    void init()
    {
        QVERIFY(QDir(backupRoot()).removeRecursively());
        QVERIFY(QDir().mkpath(backupRoot()));
        elsewhere.reset(new QTemporaryDir);
    }

    void texts()
    {
        LoadItunesBackupDlg dlg(nullptr);
        QCOMPARE(dlg.widgets()->lbTitle->text(), "Please select an iTunes Backup to load.");
        QCOMPARE(dlg.widgets()->lbAddOther->text(),
                 "Can't find your iTunes Backup on the list? Please manually import it by clicking "
                 "<a href=\"#\">HERE</a>.");
        QCOMPARE(dlg.widgets()->btnLoad->text(), "Load");
        QCOMPARE(dlg.widgets()->btnCancel->text(), "Cancel");
        QCOMPARE(dlg.widgets()->listBackups->indentation(), 0);
        const QAbstractItemModel *model = dlg.widgets()->listBackups->model();
        QCOMPARE(model, dlg.backups());
        QCOMPARE(model->columnCount(), 3);
        QStringList headers;
        for (int c = 0; c < 3; ++c)
            headers.append(model->headerData(c, Qt::Horizontal).toString());
        QCOMPARE(headers, (QStringList{"Name", "Backup Date", "Path"}));
        QVERIFY(!model->headerData(3, Qt::Horizontal).isValid());
        QVERIFY(!model->headerData(0, Qt::Vertical).isValid());
        QVERIFY(!model->headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
    }

    void listsTheDefaultFolderNewestFirst()
    {
        threeBackups();
        const QString root = backupRoot();
        // Manifest.plist without Manifest.mbdb: not a backup of this layout.
        writeBackup(root + "/dddd-plist-only", "Nobody", kWednesday);
        QVERIFY(QFile::remove(root + "/dddd-plist-only/Manifest.mbdb"));
        // A Manifest.plist that cannot be opened (a folder; file modes do not
        // stop root).
        // Its folder name holds markup: the error box shows it, never reads it.
        const QString unopenable = writeBackup(root + "/eeee-<i>&unopenable", "Broken", kWednesday);
        QVERIFY(QFile::remove(unopenable + "/Manifest.plist"));
        QVERIFY(QDir().mkpath(unopenable + "/Manifest.plist"));
        // One that does not parse: read without values.
        const QString garbled = writeBackup(root + "/ffff-garbled", "Garbled", kWednesday);
        writeFile(garbled + "/Manifest.plist", "bplist00 \xff\xfe not really");
        // Empty folders and files lie about as well.
        QVERIFY(QDir().mkpath(root + "/gggg-empty"));
        writeFile(root + "/stray-file", "x");

        const QString error = readerError(unopenable);
        QVERIFY(!error.isEmpty());
        LogCapture log;
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        LoadItunesBackupDlg dlg(nullptr);
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].icon, int(QMessageBox::Critical));
        const QString message = QString("load %1 error. %2").arg(unopenable, error);
        QCOMPARE(driver.seen()[0].text, errorBoxText(message.toHtmlEscaped()));
        QVERIFY(driver.seen()[0].text.contains("/eeee-&lt;i&gt;&amp;unopenable error."));
        QVERIFY(!log.lines().filter(message).isEmpty());

        const QAbstractItemModel *model = dlg.backups();
        const QString garbledName = "-ffff-garbled";
        QCOMPARE(column(model, 0), (QStringList{"Wednesday’s iPhone-bbbb-wednesday", "Tuesday’s iPhone-cccc-tuesday",
                                                "Monday’s iPhone-aaaa-monday", garbledName}));
        QCOMPARE(column(model, 1),
                 (QStringList{shortDate(kWednesday), shortDate(kTuesday), shortDate(kMonday), ""}));
        QCOMPARE(column(model, 2), (QStringList{root + "/bbbb-wednesday", root + "/cccc-tuesday",
                                                root + "/aaaa-monday", garbled}));
        QVERIFY(!dlg.widgets()->listBackups->currentIndex().isValid());
    }

    // Backups of iOS 10 and later (Manifest.db) are listed beside the old
    // ones with their name and date; one trimmed of its Status.plist is named
    // in the error box.
    void listsNewerBackups()
    {
        const QString root = backupRoot();
        writeBackup(root + "/aaaa-monday", "Monday’s iPhone", kMonday);
        BackupFixture newer;
        newer.deviceName = QString::fromUtf8("Tuesday’s iPhone \xF0\x9F\x98\x80");
        newer.date = kTuesday;
        newer.productVersion = "16.5";
        newer.udid = "00008110-001C195A3C38801E";
        newer.addFile("HomeDomain", "Library/SMS/sms.db", "not read here");
        writeModernBackup(newer, root + "/" + newer.udid);
        ModernBackupOptions trimmed;
        trimmed.statusPlist = false;
        newer.deviceName = "Trimmed";
        const QString trimmedFolder = writeModernBackup(newer, root + "/cccc-trimmed", trimmed);

        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        LoadItunesBackupDlg dlg(nullptr);
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].text,
                 errorBoxText(QString("load %1 error. Cannot find %1/Status.plist").arg(trimmedFolder)));
        const QAbstractItemModel *model = dlg.backups();
        QCOMPARE(column(model, 0),
                 (QStringList{QString::fromUtf8("Tuesday’s iPhone \xF0\x9F\x98\x80"), "Monday’s iPhone-aaaa-monday"}));
        QCOMPARE(column(model, 1), (QStringList{shortDate(kTuesday), shortDate(kMonday)}));
        QCOMPARE(column(model, 2), (QStringList{root + "/" + newer.udid, root + "/aaaa-monday"}));
    }

    void roles()
    {
        threeBackups();
        LoadItunesBackupDlg dlg(nullptr);
        const QAbstractItemModel *model = dlg.backups();
        for (int row = 0; row < 3; ++row) {
            for (int c = 0; c < 3; ++c) {
                const QModelIndex index = model->index(row, c);
                QCOMPARE(index.data(Qt::ToolTipRole), index.data(Qt::DisplayRole));
                QCOMPARE(index.data(Qt::BackgroundRole).value<QBrush>().color(),
                         row % 2 ? QColor(255, 255, 255) : QColor(250, 250, 250));
                QCOMPARE(index.data(Qt::BackgroundRole).value<QBrush>().style(), Qt::SolidPattern);
                QCOMPARE(index.data(Qt::SizeHintRole).toSize(), QSize(0, 25));
                QCOMPARE(index.data(Qt::DecorationRole).isValid(), c == 0);
                QVERIFY(!index.data(Qt::EditRole).isValid());
                QVERIFY(!index.data(Qt::FontRole).isValid());
            }
            QCOMPARE(model->index(row, 0).data(Qt::DecorationRole).value<QPixmap>().width(), 18);
        }
        QVERIFY(!model->data(QModelIndex(), Qt::DisplayRole).isValid());
    }

    void columnWidthsFollowTheDialog_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<QList<int>>("sections");
        QTest::newRow("601") << 601 << QList<int>{208, 130, 182};
        QTest::newRow("600") << 600 << QList<int>{208, 130, 182};
        QTest::newRow("900") << 900 << QList<int>{328, 205, 287};
    }
    void columnWidthsFollowTheDialog()
    {
        QFETCH(int, width);
        QFETCH(QList<int>, sections);
        threeBackups();
        LoadItunesBackupDlg dlg(nullptr);
        dlg.resize(width, 400);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QHeaderView *header = dlg.widgets()->listBackups->header();
        QCOMPARE((QList<int>{header->sectionSize(0), header->sectionSize(1), header->sectionSize(2)}), sections);
    }

    void addingAnotherFolder_data()
    {
        QTest::addColumn<QString>("folder"); // "listed", "no manifest", "new", "cancelled"
        QTest::addColumn<int>("insertedAt");  // -1: nothing added
        QTest::newRow("a backup already listed") << "listed" << -1;
        QTest::newRow("a folder without Manifest.plist") << "no manifest" << -1;
        QTest::newRow("a new backup") << "new" << 1;
        QTest::newRow("the folder dialog cancelled") << "cancelled" << -1;
    }
    void addingAnotherFolder()
    {
        QFETCH(QString, folder);
        QFETCH(int, insertedAt);
        const QString root = backupRoot();
        writeBackup(root + "/aaaa-monday", "Monday’s iPhone", kMonday);
        writeBackup(root + "/bbbb-wednesday", "Wednesday’s iPhone", kWednesday);
        QString chosen;
        if (folder == "listed")
            chosen = root + "/aaaa-monday";
        else if (folder == "no manifest")
            QVERIFY(QDir().mkpath(chosen = elsewhere->filePath("just-photos")));
        else if (folder == "new")
            chosen = writeBackup(elsewhere->filePath("Tuesday backup"), "Tuesday’s iPhone", kTuesday);

        LoadItunesBackupDlg dlg(nullptr);
        QSignalSpy inserted(dlg.backups(), &QAbstractItemModel::rowsInserted);
        const QStringList before = column(dlg.backups(), 2);
        DialogDriver driver;
        QString startFolder;
        driver.then([&](QWidget *w) {
            auto *d = static_cast<LoadItunesBackupDlg *>(w);
            emit d->widgets()->lbAddOther->linkActivated("#");
            d->done(42);
        });
        driver.then([&](QWidget *w) {
            auto *files = qobject_cast<QFileDialog *>(w);
            if (!files) { // fails below instead of waiting for ever
                static_cast<QDialog *>(w)->reject();
                return;
            }
            startFolder = files->directory().absolutePath();
            QCOMPARE(files->fileMode(), QFileDialog::Directory);
            if (chosen.isEmpty()) {
                files->reject();
                return;
            }
            files->setDirectory(chosen);
            static_cast<QDialog *>(files)->accept(); // QFileDialog hides it
        });
        if (folder == "listed" || folder == "no manifest")
            driver.thenPress(QMessageBox::Ok);
        QCOMPARE(dlg.exec(), 42);
        QCOMPARE(driver.pending(), 0);
        QCOMPARE(startFolder, QDir::homePath());

        QStringList after = before;
        if (insertedAt >= 0)
            after.insert(insertedAt, chosen);
        QCOMPARE(column(dlg.backups(), 2), after);
        if (folder == "listed") {
            QCOMPARE(driver.seen().value(2).text, "This iTunes Backup has been listed on the left.");
            QCOMPARE(driver.seen().value(2).icon, int(QMessageBox::Warning));
        } else if (folder == "no manifest") {
            QCOMPARE(driver.seen().value(2).text,
                     errorBoxText(QString("load %1 error. %2").arg(chosen, readerError(chosen))));
            QVERIFY(readerError(chosen).startsWith("Cannot find "));
        } else {
            QCOMPARE(driver.seen().size(), 2);
        }
        if (insertedAt < 0) {
            QCOMPARE(inserted.size(), 0);
            QVERIFY(!dlg.widgets()->listBackups->currentIndex().isValid());
        } else {
            QCOMPARE(inserted.size(), 1);
            QCOMPARE(inserted[0][1].toInt(), insertedAt);
            QCOMPARE(inserted[0][2].toInt(), insertedAt);
            QCOMPARE(dlg.widgets()->listBackups->currentIndex().row(), insertedAt);
        }
    }

    void loadWithoutAChoiceWarns()
    {
        threeBackups();
        LoadItunesBackupDlg dlg(nullptr);
        DialogDriver driver;
        bool stayedOpen = false;
        driver.then([&](QWidget *w) {
            auto *d = static_cast<LoadItunesBackupDlg *>(w);
            QTest::mousePress(d->widgets()->btnLoad, Qt::LeftButton);
            stayedOpen = d->isVisible();
            QTest::mousePress(d->widgets()->btnCancel, Qt::LeftButton);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(stayedOpen);
        QCOMPARE(driver.seen().value(1).text, "Need to select an iTunes Backup to continue.");
        QVERIFY(dlg.selected.isNull());
    }

    void aDoubleClickLoadsTheRowAndTheChoiceOutlivesTheDialog()
    {
        threeBackups();
        auto *dlg = new LoadItunesBackupDlg(nullptr);
        DialogDriver driver;
        driver.then([](QWidget *w) {
            auto *d = static_cast<LoadItunesBackupDlg *>(w);
            QTreeView *view = d->widgets()->listBackups;
            view->doItemsLayout(); // rows are laid out lazily
            const QRect row = view->visualRect(view->model()->index(1, 1));
            if (row.isEmpty()) {
                d->done(43); // fails below instead of waiting for ever
                return;
            }
            // What a mouse sends: press, release, double click, release.
            const QPointF at = row.center();
            const QPointF global = view->viewport()->mapToGlobal(at);
            for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                            QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
                const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
                QMouseEvent event(type, at, global, Qt::LeftButton, held, Qt::NoModifier);
                QApplication::sendEvent(view->viewport(), &event);
            }
            if (d->isVisible())
                d->done(42);
        });
        QCOMPARE(dlg->exec(), int(QDialog::Accepted));
        QSharedPointer<BackupManifest> chosen = dlg->selected;
        delete dlg;
        QVERIFY(chosen);
        QCOMPARE(chosen->displayName, "Tuesday’s iPhone-cccc-tuesday");
        QCOMPARE(chosen->info.date, kTuesday);
        QCOMPARE(chosen->folder.absolutePath(), backupRoot() + "/cccc-tuesday");
        chosen->loadMbdb(); // the manifest is whole and usable
        QVERIFY(!chosen->root.children.isEmpty());
    }

    void theModelKeepsNewestFirstWhateverTheOrder()
    {
        ItemModelLoadBk model(nullptr);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        const QList<QPair<QString, QDateTime>> added = {
            {"tue", kTuesday}, {"undated", QDateTime()}, {"mon", kMonday}, {"wed", kWednesday},
            {"tue again", kTuesday}, {"undated again", QDateTime()}};
        for (const auto &[name, date] : added) {
            QSharedPointer<BackupManifest> manifest(new BackupManifest(elsewhere->filePath(name)));
            manifest->displayName = name;
            manifest->info.date = date;
            ItemModelLoadBk::_BKItemNode *node = model.addBackup(manifest);
            QCOMPARE(node->type, 0);
            QCOMPARE(node->text, name);
            QVERIFY(!node->parent);
            const QModelIndex index = model.indexOf(node);
            QCOMPARE(index.internalPointer(), node);
            QCOMPARE(model.index(index.row(), 0).data().toString(), name);
        }
        QCOMPARE(inserted.size(), added.size());
        // Equal dates keep the order they came in.
        QCOMPARE(column(&model, 0), (QStringList{"wed", "tue", "tue again", "mon", "undated", "undated again"}));
    }
};

QP_TEST_MAIN(TestLoadItunesBackupDlg)

} // namespace tst_loaditunesbackupdlg

#include "tst_loaditunesbackupdlg.moc"
