// Messages of a local database merged into an iTunes backup on the PC through
// the real window: the backup is picked in the chooser, which lists the
// backups of the default backup folder below the test's private data home.
// The backups are generated as a later phone leaves them (nanosecond dates,
// words only in attributedBody, a group chat, an e-mail handle, emoji).
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "ios/backupmanifest.h"
#include "ios/mbdb.h"
#include "tests/support/backupfixture.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "ui/itemmodelloadbk.h"
#include "ui/itemmodelmain.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/mainwindow.h"

#include "ui_loaditunesbackupdlg.h"
#include "ui_mainwindow.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QKeyEvent>
#include <QMenu>

namespace tst_exporttoitunes {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kSmsDb = QStringLiteral("Library/SMS/sms.db");
const char kSuccess[] = "Successfully recovered %1 SMS to iPhone.";

QString dataDir()
{
    return appDataDir().absolutePath();
}

QString backupRoot()
{
    return BackupManifest::defaultBackupRoot().absolutePath();
}

// What the phone held before: the typical conversations, ten days earlier and
// under guids of their own, so that the merged database must hold both sets.
MsgFixtureContent phoneContent()
{
    MsgFixtureContent content = typicalConversations();
    for (MsgFixtureMessage &m : content.messages) {
        m.guid.replace(0, 8, QStringLiteral("0B1DE5A7"));
        m.date -= 10 * 86400;
        m.dateRead = m.date + 30;
    }
    return content;
}

QStringList guidsOf(const MsgFixtureContent &content)
{
    QStringList guids;
    for (const MsgFixtureMessage &m : content.messages)
        guids << m.guid;
    return guids;
}

// Every file below folder with its bytes.
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(QDir(folder).relativeFilePath(path), file.readAll());
    }
    return files;
}

Node *localDb(MainWindow &window, const QString &name)
{
    for (Node *child : window.treeModel()->rootLocalDB->children) {
        if (child->text == name)
            return child;
    }
    return nullptr;
}

// Pops up the tree's context menu and picks the entry of that text, as a user
// does with the keyboard; false when the menu had no such enabled entry.
bool pickFromTreeMenu(MainWindow &window, const QString &text)
{
    bool picked = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        poll.stop();
        for (QAction *action : menu->actions()) {
            if (action->text() == text && action->isEnabled()) {
                menu->setActiveAction(action);
                picked = true;
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                QApplication::sendEvent(menu, &press);
                return;
            }
        }
        menu->close();
    });
    poll.start();
    window.onMainTreeContextMenu();
    return picked;
}

// Chooses the backup listed in folder in the next chooser.
DialogDriver::Action chooseBackup(const QString &folder)
{
    return [folder](QWidget *w) {
        auto *chooser = qobject_cast<LoadItunesBackupDlg *>(w);
        if (!chooser)
            return;
        ItemModelLoadBk *model = chooser->backups();
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row, 0);
            const auto *node = static_cast<ItemModelLoadBk::_BKItemNode *>(index.internalPointer());
            if (node->manifest->folder.absolutePath() == QDir(folder).absolutePath()) {
                chooser->widgets()->listBackups->setCurrentIndex(index);
                chooser->btnLoadClicked();
                return;
            }
        }
        chooser->reject();
    };
}

QStringList classNames(const DialogDriver &driver)
{
    QStringList names;
    for (const DialogDriver::Seen &s : driver.seen())
        names << s.className;
    return names;
}

} // namespace

class TestExportToITunes : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    FakeAdb adb;
    IdsTranslator translator;

    // The phone's backup in the default folder: its message database under
    // its file id, an address book and a photo sent in the group.
    QString writePhoneBackup(const QString &name, bool encrypted = false)
    {
        BackupFixture backup;
        if (encrypted)
            backup.keys.emplace(QByteArray("s3cr\xc3\xa9t"));
        backup.addMessageDb(phoneContent(), MsgDbLayout::LaterPhone);
        backup.addAddressBook({{1, "Anna", "", "Schmidt", {"+49 151 12345678"}, {}}});
        backup.addAttachment("e4/04/IMG_0042.JPG", QByteArray(2048, '\xd8'));
        return backup.write(backupRoot() + "/" + name);
    }

    // The window with the local database "Familie" (the typical conversations)
    // selected, as after a click on it.
    void selectDatabase(MainWindow &window)
    {
        Node *db = localDb(window, "Familie");
        QVERIFY(db);
        window.selectTreeNode(db);
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // Today's update check is done: no request disturbs the cases.
        QVERIFY(markUpdateCheckDone(dataDir()));
    }

    void init()
    {
        QDir(dataDir() + "/local_databases").removeRecursively();
        QDir(dataDir() + "/itunes_cache").removeRecursively();
        QVERIFY(QDir(backupRoot()).removeRecursively());
        QVERIFY(QDir().mkpath(backupRoot()));
        writeWindowDb(dataDir(), "local_databases", "Familie", typicalConversations());
    }

    void aDatabaseMergesIntoTheBackupOnceFromItsContextMenu()
    {
        const QString folder = writePhoneBackup("3d0d7e5f8d9a4b1c2e3f4a5b6c7d8e9f00112233");
        const QString smsFile = folder + "/" + backupFileId(kHome, kSmsDb);
        const QByteArray oldSms = snapshot(folder).value(backupFileId(kHome, kSmsDb));
        const QStringList oldGuids = guidsOf(phoneContent());
        const QStringList newGuids = guidsOf(typicalConversations());
        const int sent = int(newGuids.size());

        MainWindow window;
        selectDatabase(window);
        for (int run = 1; run <= 2; ++run) {
            DialogDriver driver;
            driver.then(chooseBackup(folder));
            driver.thenPress(QMessageBox::Ok);
            QVERIFY(pickFromTreeMenu(window, "Export SMS to iTunes Backup"));
            QTRY_COMPARE(driver.pending(), 0);
            const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
            QCOMPARE(boxes.size(), 1);
            // What the backup took: the second export finds every message there.
            QCOMPARE(boxes[0].text, QString::fromLatin1(kSuccess).arg(run == 1 ? sent : 0));
            QCOMPARE(boxes[0].icon, int(QMessageBox::Information));

            // Every message once, the phone's (nanosecond dates) before the
            // ten-days-newer ones of the database.
            QStringList merged;
            for (const QVariantList &row : queryRows(smsFile, "select guid from message order by rowid"))
                merged << row.value(0).toString();
            QCOMPARE(merged, oldGuids + newGuids);
            // Words kept only in attributedBody stay there.
            QVERIFY(!queryValue(smsFile, QString("select attributedBody from message where guid='%1'")
                                             .arg(oldGuids[1]))
                         .toByteArray()
                         .isEmpty());
            QCOMPARE(queryValue(smsFile, QString("select text from message where guid='%1'").arg(newGuids[6])),
                     QVariant(typicalConversations().messages[6].text));
            // The group's new message joins the phone's group chat, no new chat.
            QCOMPARE(queryValue(smsFile, "select count(*) from chat").toLongLong(), 3);
            QCOMPARE(queryValue(smsFile, QString("select c.guid from chat c join chat_message_join j on "
                                                 "j.chat_id=c.rowid join message m on m.rowid=j.message_id "
                                                 "where m.guid='%1'")
                                             .arg(newGuids[4]))
                         .toString(),
                     "SMS;+;chat493827164503921876");
            QCOMPARE(queryValue(smsFile, "select count(*) from handle where id='bernd.mueller@example.org'")
                         .toLongLong(),
                     1);

            // The manifest lists the new database by its hash and length.
            QFile written(smsFile);
            QVERIFY(written.open(QIODevice::ReadOnly));
            const QByteArray bytes = written.readAll();
            QVERIFY(bytes != oldSms);
            const _MbdbRecord record = mbdb_read(folder + "/Manifest.mbdb").value(backupFileId(kHome, kSmsDb));
            QCOMPARE(record.dataHash.bytes, QCryptographicHash::hash(bytes, QCryptographicHash::Sha1));
            QCOMPARE(record.fileLength, qint64(bytes.size()));
        }
        // The tree is left as it was.
        QCOMPARE(window.treeModel()->rootLocalDB->children.size(), 1);
        QVERIFY(window.treeModel()->rootDevice->children.isEmpty());
    }

    // A backup of iOS 10 and later: the database at its hashed path and its
    // Manifest.db row agree on the size after each export; every message once.
    void intoANewerBackupOnce()
    {
        BackupFixture backup;
        backup.productVersion = "16.5";
        backup.addMessageDb(phoneContent(), MsgDbLayout::LaterPhone);
        backup.addAttachment("e4/04/IMG_0042.JPG", QByteArray(2048, '\xd8'));
        const QString folder = writeModernBackup(backup, backupRoot() + "/00008110-001C195A3C38801E");
        const QString smsFile = modernDataPath(folder, kHome, kSmsDb);
        const QStringList expected = guidsOf(phoneContent()) + guidsOf(typicalConversations());

        MainWindow window;
        selectDatabase(window);
        for (int run = 1; run <= 2; ++run) {
            DialogDriver driver;
            driver.then(chooseBackup(folder));
            driver.thenPress(QMessageBox::Ok);
            QVERIFY(pickFromTreeMenu(window, "Export SMS to iTunes Backup"));
            QTRY_COMPARE(driver.pending(), 0);
            const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
            QCOMPARE(boxes.size(), 1);
            // The second run finds every message there already.
            QCOMPARE(boxes[0].text, QString::fromLatin1(kSuccess)
                                        .arg(run == 1 ? expected.size() - guidsOf(phoneContent()).size() : 0));
            QStringList merged;
            for (const QVariantList &row : queryRows(smsFile, "select guid from message order by rowid"))
                merged << row.value(0).toString();
            QCOMPARE(merged, expected);
            BackupManifest manifest(folder);
            manifest.loadManifestPlist();
            manifest.loadMbdb();
            const _BackupFileNode *node = &manifest.root;
            for (const QString &name : kSmsDb.split('/')) {
                const _BackupFileNode *next = nullptr;
                for (const _BackupFileNode *child : node->children)
                    if (child->name == name)
                        next = child;
                QVERIFY(next);
                node = next;
            }
            QCOMPARE(node->record.fileLength, QFileInfo(smsFile).size());
        }
    }

    // Refusals and failures leave the user's backup exactly as it was.
    void aBackupThatCannotTakeTheMessagesStaysAsItWas_data()
    {
        QTest::addColumn<QString>("trouble");
        QTest::newRow("encrypted") << "encrypted";
        QTest::newRow("unreadable Manifest.mbdb") << "mbdb";
        QTest::newRow("nothing to merge") << "empty set";
    }
    void aBackupThatCannotTakeTheMessagesStaysAsItWas()
    {
        QFETCH(QString, trouble);
        const QString folder = writePhoneBackup("00008030-001A35E22E388002", trouble == "encrypted");
        if (trouble == "mbdb") {
            QFile mbdb(folder + "/Manifest.mbdb");
            QVERIFY(mbdb.open(QIODevice::WriteOnly | QIODevice::Truncate));
            mbdb.write("mbdb\x05\x00\x00\x0aHomeDo", 14); // cut inside the first record
        }
        const QMap<QString, QByteArray> before = snapshot(folder);
        const QString cache = dataDir() + "/itunes_cache/" + BackupManifest(folder).cacheId();

        MainWindow window;
        selectDatabase(window);
        DialogDriver driver;
        driver.then(chooseBackup(folder));
        driver.thenPress(QMessageBox::Ok);
        if (trouble == "empty set")
            window.miExport2iTunesSel(); // no row of the list is selected
        else
            QVERIFY(pickFromTreeMenu(window, "Export SMS to iTunes Backup"));
        QTRY_COMPARE(driver.pending(), 0);
        QCoreApplication::processEvents();

        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 1);
        const QStringList windows = classNames(driver);
        if (trouble == "encrypted") {
            QCOMPARE(boxes[0].text, "Failed to export SMS to iTunes backup because your current iTunes backup "
                                    "is encrypted.");
            QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
            QVERIFY2(!windows.contains("ProgressForm"), qPrintable(windows.join(",")));
            QVERIFY(!QFileInfo::exists(cache));
        } else if (trouble == "mbdb") {
            QCOMPARE(boxes[0].icon, int(QMessageBox::Critical));
            QString readerError;
            try {
                BackupManifest manifest(folder);
                manifest.loadManifestPlist();
                manifest.loadMbdb();
            } catch (const std::exception &e) {
                readerError = QString::fromUtf8(e.what());
            }
            QVERIFY(!readerError.isEmpty());
            // The error box frames the reader's words.
            QVERIFY2(boxes[0].text.contains(readerError), qPrintable(boxes[0].text));
            QVERIFY2(!windows.contains("ProgressForm"), qPrintable(windows.join(",")));
            QVERIFY(!QFileInfo::exists(cache));
        } else {
            // The merge's own words; no success box follows them.
            QVERIFY2(boxes[0].text.contains("No message for recovering. Only found 0 messages with unknown contact "
                                            "info. Please right click the messages to set contact info first and "
                                            "try again."),
                     qPrintable(boxes[0].text));
            QCOMPARE(boxes[0].icon, int(QMessageBox::Critical));
        }
        QCOMPARE(snapshot(folder), before);
    }

    void aCancelledChooserChangesNothing()
    {
        const QString folder = writePhoneBackup("5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a");
        const QMap<QString, QByteArray> before = snapshot(folder);
        MainWindow window;
        selectDatabase(window);
        DialogDriver driver;
        driver.then([](QWidget *w) {
            if (auto *d = qobject_cast<QDialog *>(w))
                d->reject();
        });
        QVERIFY(pickFromTreeMenu(window, "Export SMS to iTunes Backup"));
        QTRY_COMPARE(driver.pending(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(classNames(driver), QStringList{"LoadItunesBackupDlg"});
        QCOMPARE(snapshot(folder), before);
        QVERIFY(!QFileInfo::exists(dataDir() + "/itunes_cache"));
    }
};

QP_TEST_MAIN(TestExportToITunes)

} // namespace tst_exporttoitunes

#include "tst_exporttoitunes.moc"
