// Importing an iTunes backup of this computer into a local database through
// the real window: the chooser lists the generated backups of the private
// data home, the password dialog unlocks an encrypted one, the cache worker
// copies its message files, and the backup into a local database writes them.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "ios/backupmanifest.h"
#include "store/localdbselform.h"
#include "tests/support/backupfixture.h"
#include "tests/support/modernbackupfixture.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/modalresponder.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/testmain.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "tests/support/windownodes.h"
#include "ui/itemmodelloadbk.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/mainwindow.h"
#include "ui/passcodedlg.h"

#include "ui_loaditunesbackupdlg.h"
#include "ui_localdbselform.h"
#include "ui_mainwindow.h"
#include "ui_passcodedlg.h"

#include <QAction>
#include <QComboBox>
#include <QDirIterator>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <memory>

namespace tst_importitunes {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

const char kPassword[] = "Pässwort 🔑";

QString dataDir()
{
    return appDataDir().absolutePath();
}

QString dbFile(const QString &name)
{
    return messageDbPath(localDatabasesDir().absoluteFilePath(name));
}

int messageCount(const QString &name)
{
    if (!QFile::exists(dbFile(name)))
        return 0;
    return queryValue(dbFile(name), "select count(*) from message").toInt();
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
            files.insert(path, file.readAll());
    }
    return files;
}

// The backup's cache folder in the data folder.
QString cacheOf(const QString &backup)
{
    return QDir(dataDir()).absoluteFilePath("itunes_cache/" + BackupManifest(backup).cacheId());
}

QString backupFolder(const QString &name)
{
    return BackupManifest::defaultBackupRoot().absoluteFilePath(name);
}

// A later phone's backup: nanosecond dates, texts only in attributedBody,
// a named group with emoji, an e-mail handle.
BackupFixture laterPhoneBackup()
{
    BackupFixture backup;
    backup.addMessageDb(typicalConversations(), MsgDbLayout::LaterPhone);
    return backup;
}

// An iOS 5 phone: two SMS groups (one with emoji) and an iMessage chat of an
// e-mail address.
QByteArray ios5Database(const QString &scratch)
{
    Ios5Content c;
    Ios5Group anna;
    anna.rowid = 1;
    anna.hash = 101;
    anna.newestMessage = 2;
    anna.members = {{1, "+49 151 12345678", "de"}};
    Ios5Group chloe;
    chloe.rowid = 2;
    chloe.hash = 202;
    chloe.newestMessage = 3;
    chloe.members = {{2, "+33 6 12 34 56 78", "fr"}};
    c.groups = {anna, chloe};
    auto sms = [](qint64 rowid, qint64 group, const QString &address, int flags, const QString &text) {
        Ios5Message m;
        m.rowid = rowid;
        m.groupId = group;
        m.address = address;
        m.country = "de";
        m.flags = flags;
        m.date = 1300000000 + rowid * 60;
        m.text = text;
        return m;
    };
    c.messages = {sms(1, 1, "+49 151 12345678", 2, QString::fromUtf8("Kommst du? \U0001F600")),
                  sms(2, 1, "+49 151 12345678", 3, "Ja, um acht."),
                  sms(3, 2, "+33 6 12 34 56 78", 2, QString::fromUtf8("\u00c0 demain \U0001F44B"))};
    Ios5MadridChat friendChat;
    friendChat.rowid = 1;
    friendChat.identifier = "friend@example.com";
    friendChat.participants = plistStringArray({"friend@example.com"}, true);
    friendChat.accountId = "ACC";
    friendChat.accountLogin = "E:me@example.com";
    c.madridChats = {friendChat};
    Ios5Message im;
    im.rowid = 4;
    im.isMadrid = true;
    im.madridHandle = "friend@example.com";
    im.date = 322000000;
    im.madridDateRead = im.date + 1;
    im.madridGuid = "IM-4";
    im.madridAccount = "e:me@example.com";
    im.madridAccountGuid = "ACCOUNT-1";
    im.text = "iMessage from a friend";
    c.messages << im;
    QFile file(writeIos5MessageDb(scratch, c));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Picks the first backup of the chooser.
void pickFirstBackup(QWidget *w)
{
    auto *chooser = qobject_cast<LoadItunesBackupDlg *>(w);
    QVERIFY(chooser);
    QVERIFY(chooser->backups()->rowCount() > 0);
    chooser->widgets()->listBackups->setCurrentIndex(chooser->backups()->index(0, 0));
    QTest::mousePress(chooser->widgets()->btnLoad, Qt::LeftButton);
}

// Confirms the proposed name unchanged, noting it.
ModalResponder::Handler keepProposal(QString *proposed)
{
    return [proposed](QWidget *w) {
        auto *form = qobject_cast<LocalDbSelForm *>(w);
        QVERIFY(form);
        *proposed = form->widgets()->cbLocalDbNames->currentText();
        QTest::mousePress(form->widgets()->btnOK, Qt::LeftButton);
    };
}

QAction *fileMenuImport(MainWindow &window)
{
    for (QAction *menu : window.widgets()->menuBar->actions()) {
        if (!menu->menu())
            continue;
        for (QAction *action : menu->menu()->actions()) {
            if (action->text() == "Import SMS from iTunes Backup to Local Database")
                return action;
        }
    }
    return nullptr;
}

} // namespace

class TestImportItunes : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    FakeAdb adb;
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> scratch;

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void init()
    {
        clearWindowData(dataDir());
        QVERIFY(BackupManifest::defaultBackupRoot().removeRecursively());
        QVERIFY(QDir().mkpath(BackupManifest::defaultBackupRoot().absolutePath()));
        // No update check: nothing but the operation opens a box.
        QVERIFY(markUpdateCheckDone(dataDir()));
        scratch.reset(new QTemporaryDir);
    }

    // From the File menu the phone's name is proposed and a new database
    // made; from a database's menu its own name, so the messages merge in.
    void theProposedDatabase_data()
    {
        QTest::addColumn<bool>("fromDatabase");
        QTest::newRow("File menu") << false;
        QTest::newRow("database menu") << true;
    }
    void theProposedDatabase()
    {
        QFETCH(bool, fromDatabase);
        const BackupFixture backup = laterPhoneBackup();
        const QString folder = backup.write(backupFolder(backup.udid));
        const QMap<QString, QByteArray> before = snapshot(folder);
        if (fromDatabase)
            writeWindowDb(dataDir(), "local_databases", "Family", conversationsWithTexts({"Oma"}, {"Alles gut?"}));
        MainWindow window;
        const int earlier = fromDatabase ? 1 : 0;
        if (fromDatabase) {
            Node *family = childNamed(window.treeModel()->rootLocalDB, "Family");
            window.widgets()->treeViewDS->setCurrentIndex(window.treeModel()->indexOf(family));
            QCOMPARE(window.messageModel()->rowCount(), earlier);
        }

        QString proposed;
        ModalResponder responder;
        responder.on("LoadItunesBackupDlg", pickFirstBackup);
        responder.on("LocalDbSelForm", keepProposal(&proposed));
        if (fromDatabase)
            window.miImportToLocalDb();
        else
            fileMenuImport(window)->trigger();

        const QString name = fromDatabase ? QString("Family") : backup.deviceName + "_Backup";
        QCOMPARE(proposed, name);
        QCOMPARE(responder.seen(), (QStringList{"LoadItunesBackupDlg", "ProgressForm", "LocalDbSelForm",
                                                "ProgressForm", "QMessageBox"}));
        QCOMPARE(responder.boxTexts(), QStringList{"Successfully Backup 8 SMS to local Database."});
        QCOMPARE(localDbNames(window), QStringList{name});
        QCOMPARE(messageCount(name), earlier + 8);
        QCOMPARE(queryValue(dbFile(name), "select count(*) from message where text is null or text = ''").toInt(), 0);
        QCOMPARE(queryValue(dbFile(name), "select max(date) from message").toLongLong(), 600000000LL + 7 * 3600);
        QCOMPARE(queryValue(dbFile(name), "select count(*) from handle where id = 'bernd.mueller@example.org'").toInt(),
                 1);

        Node *node = childNamed(window.treeModel()->rootLocalDB, name);
        QCOMPARE(node->children.size(), typicalConversations().chats.size() + earlier);
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(node));
        QTRY_COMPARE(window.messageModel()->rowCount(), earlier + 8);
        (void)window.grab();

        // Read, never written: the backup is as it was, and its copy lies in
        // the cache.
        QCOMPARE(snapshot(folder), before);
        QVERIFY(QFileInfo::exists(cacheOf(folder)));
    }

    // The database's conversation rows are rebuilt while one of them is the
    // current row: the selection moves to the database, whose list then
    // shows the merged messages.
    void intoTheDatabaseOfTheShownConversation()
    {
        const BackupFixture backup = laterPhoneBackup();
        backup.write(backupFolder(backup.udid));
        writeWindowDb(dataDir(), "local_databases", "Family", conversationsWithTexts({"Oma"}, {"Alles gut?"}));
        MainWindow window;
        Node *family = childNamed(window.treeModel()->rootLocalDB, "Family");
        window.widgets()->treeViewDS->setCurrentIndex(window.treeModel()->indexOf(family));
        QCOMPARE(family->children.size(), 1);
        window.widgets()->treeViewDS->setCurrentIndex(window.treeModel()->indexOf(family->children.first()));
        QCOMPARE(window.messageModel()->rowCount(), 1);

        ModalResponder responder;
        responder.on("LoadItunesBackupDlg", pickFirstBackup);
        responder.on("LocalDbSelForm", [](QWidget *w) {
            auto *form = static_cast<LocalDbSelForm *>(w);
            form->widgets()->cbLocalDbNames->setEditText("fAMILY");
            QTest::mousePress(form->widgets()->btnOK, Qt::LeftButton);
        });
        fileMenuImport(window)->trigger();
        QCOMPARE(responder.boxTexts(), QStringList{"Successfully Backup 8 SMS to local Database."});
        QCOMPARE(localDbNames(window), QStringList{"Family"});
        QCOMPARE(messageCount("Family"), 9);
        QCOMPARE(family->children.size(), typicalConversations().chats.size() + 1);
        QTRY_COMPARE(window.widgets()->treeViewDS->currentIndex(), window.treeModel()->indexOf(family));
        QCOMPARE(window.messageModel()->rowCount(), 9);
        (void)window.grab();
    }

    void anEncryptedBackupOpensWithItsPassword()
    {
        BackupFixture backup = laterPhoneBackup();
        backup.keys = EncryptedBackupKeys(QByteArray(kPassword));
        const QString folder = backup.write(backupFolder(backup.udid));
        MainWindow window;
        bool refusedFirst = false;
        QString proposed;
        ModalResponder responder;
        responder.on("LoadItunesBackupDlg", pickFirstBackup);
        responder.on("PasscodeDlg", [&refusedFirst](QWidget *w) {
            auto *dlg = static_cast<PasscodeDlg *>(w);
            dlg->widgets()->txtPasscode->setText(QString::fromUtf8(kPassword) + "x");
            QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
            refusedFirst = dlg->isVisible();
            dlg->widgets()->txtPasscode->setText(QString::fromUtf8(kPassword));
            QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
        });
        responder.on("LocalDbSelForm", keepProposal(&proposed));
        fileMenuImport(window)->trigger();
        QVERIFY(refusedFirst);
        QCOMPARE(responder.boxTexts(),
                 (QStringList{"Invalid password.", "Successfully Backup 8 SMS to local Database."}));
        QCOMPARE(messageCount(proposed), 8);
        QCOMPARE(queryValue(dbFile(proposed), "select count(*) from message where text like '%\U0001F370%'").toInt(),
                 1);
    }

    // Backups of iOS 10 and later (Manifest.db): plain, encrypted with
    // ManifestKey (a wrong password first), and 10.0's plain list beside
    // encrypted files. Every message arrives once; a second import of the
    // same backup adds nothing.
    void newerBackupsImportOnce_data()
    {
        QTest::addColumn<int>("encryption");
        QTest::newRow("plain") << int(ModernEncryption::Plain);
        QTest::newRow("encrypted, iOS 10.2 and later") << int(ModernEncryption::WithManifestKey);
        QTest::newRow("encrypted files, iOS 10.0") << int(ModernEncryption::WithoutManifestKey);
    }
    void newerBackupsImportOnce()
    {
        QFETCH(int, encryption);
        const auto how = ModernEncryption(encryption);
        BackupFixture backup = laterPhoneBackup();
        backup.productVersion = how == ModernEncryption::WithoutManifestKey ? "10.0.2" : "16.5";
        if (how != ModernEncryption::Plain) {
            backup.keys = EncryptedBackupKeys(QByteArray(kPassword));
            if (how == ModernEncryption::WithManifestKey)
                backup.keys->useTwoStageKey();
        }
        ModernBackupOptions options;
        options.encryption = how;
        const QString folder = writeModernBackup(backup, backupFolder(backup.udid), options);
        const QMap<QString, QByteArray> before = snapshot(folder);
        MainWindow window;
        for (int round = 0; round < 2; ++round) {
            bool refusedFirst = false;
            ModalResponder responder;
            responder.on("LoadItunesBackupDlg", pickFirstBackup);
            responder.on("PasscodeDlg", [&refusedFirst](QWidget *w) {
                auto *dlg = static_cast<PasscodeDlg *>(w);
                dlg->widgets()->txtPasscode->setText("not the password");
                QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
                refusedFirst = dlg->isVisible();
                dlg->widgets()->txtPasscode->setText(QString::fromUtf8(kPassword));
                QTest::mousePress(dlg->widgets()->btnOK, Qt::LeftButton);
            });
            QString proposed;
            responder.on("LocalDbSelForm", keepProposal(&proposed));
            fileMenuImport(window)->trigger();
            // The text counts what the database took: the second import adds nothing.
            QStringList expected{round == 0 ? "Successfully Backup 8 SMS to local Database."
                                            : "Successfully Backup 0 SMS to local Database."};
            if (how != ModernEncryption::Plain) {
                QVERIFY(refusedFirst);
                expected.prepend("Invalid password.");
            }
            QCOMPARE(responder.boxTexts(), expected);
            QCOMPARE(proposed, backup.deviceName + "_Backup");
            QCOMPARE(messageCount(proposed), 8);
            QCOMPARE(queryValue(dbFile(proposed), "select count(distinct guid) from message").toInt(), 8);
            QCOMPARE(queryValue(dbFile(proposed), "select count(*) from message where text is null or text = ''").toInt(), 0);
            QCOMPARE(queryValue(dbFile(proposed), "select max(date) from message").toLongLong(), 600000000LL + 7 * 3600);
            QCOMPARE(queryValue(dbFile(proposed), "select count(*) from message where text like '%\U0001F370%'").toInt(), 1);
        }
        QCOMPARE(snapshot(folder), before);
        // The decrypted list lived only while it was read.
        QVERIFY(!QFileInfo::exists(cacheOf(folder) + "/Manifest.db.plain"));
    }

    void aCancelledPasswordEndsQuietly()
    {
        BackupFixture backup = laterPhoneBackup();
        backup.keys = EncryptedBackupKeys(QByteArray(kPassword));
        const QString folder = backup.write(backupFolder(backup.udid));
        MainWindow window;
        ModalResponder responder;
        responder.on("LoadItunesBackupDlg", pickFirstBackup);
        responder.on("PasscodeDlg", [](QWidget *w) {
            QTest::mousePress(static_cast<PasscodeDlg *>(w)->widgets()->btnCancel, Qt::LeftButton);
        });
        fileMenuImport(window)->trigger();
        QCOMPARE(responder.seen(), (QStringList{"LoadItunesBackupDlg", "PasscodeDlg"}));
        QVERIFY(localDbNames(window).isEmpty());
        QVERIFY(!QFileInfo::exists(cacheOf(folder)));
    }

    void anIos5BackupIsReadWithItsReader()
    {
        BackupFixture backup;
        backup.productVersion = "5.1.1";
        backup.productType = "iPhone3,1";
        backup.addFile("HomeDomain", "Library/SMS/sms.db", ios5Database(scratch->path()));
        backup.write(backupFolder(backup.udid));
        MainWindow window;
        QString proposed;
        ModalResponder responder;
        responder.on("LoadItunesBackupDlg", pickFirstBackup);
        responder.on("LocalDbSelForm", keepProposal(&proposed));
        fileMenuImport(window)->trigger();
        QCOMPARE(proposed, backup.deviceName + "_Backup");
        QCOMPARE(responder.boxTexts(), QStringList{"Successfully Backup 4 SMS to local Database."});
        QCOMPARE(messageCount(proposed), 4);
        const QStringList texts = [&] {
            QStringList out;
            for (const QVariantList &row : queryRows(dbFile(proposed), "select text from message order by date"))
                out << row.value(0).toString();
            return out;
        }();
        QCOMPARE(texts, (QStringList{QString::fromUtf8("Kommst du? \U0001F600"), "Ja, um acht.",
                                     QString::fromUtf8("\u00c0 demain \U0001F44B"), "iMessage from a friend"}));
        QCOMPARE(queryValue(dbFile(proposed), "select count(*) from handle where id = 'friend@example.com'").toInt(),
                 1);
    }

    void anUnreadableFileListIsAnErrorBox()
    {
        const BackupFixture backup = laterPhoneBackup();
        const QString folder = backup.write(backupFolder(backup.udid));
        QFile mbdb(folder + "/Manifest.mbdb");
        QVERIFY(mbdb.open(QIODevice::WriteOnly | QIODevice::Truncate));
        mbdb.write(QByteArray("mbdb\x05\x00\x00\x0aHomeDom", 14));
        mbdb.close();
        MainWindow window;
        ModalResponder responder;
        responder.on("LoadItunesBackupDlg", pickFirstBackup);
        fileMenuImport(window)->trigger();
        QCOMPARE(responder.seen(), (QStringList{"LoadItunesBackupDlg", "QMessageBox"}));
        QCOMPARE(responder.boxIcons(), QList<int>{int(QMessageBox::Critical)});
        QVERIFY(localDbNames(window).isEmpty());
        QVERIFY(!QFileInfo::exists(cacheOf(folder)));
    }

    // Copied whole, yet no message database: the reader's error, no question.
    void aCachedFileOfNoKnownLayoutIsAnErrorBox()
    {
        const QString notes = scratch->filePath("notes.db");
        {
            SqliteFixture db(notes);
            db.exec("create table notes (id integer primary key, body text);"
                    "insert into notes (body) values ('not a message');");
        }
        QFile file(notes);
        QVERIFY(file.open(QIODevice::ReadOnly));
        BackupFixture backup;
        backup.addFile("HomeDomain", "Library/SMS/sms.db", file.readAll());
        backup.write(backupFolder(backup.udid));
        MainWindow window;
        ModalResponder responder;
        responder.on("LoadItunesBackupDlg", pickFirstBackup);
        fileMenuImport(window)->trigger();
        QCOMPARE(responder.seen(), (QStringList{"LoadItunesBackupDlg", "ProgressForm", "QMessageBox"}));
        QCOMPARE(responder.boxIcons(), QList<int>{int(QMessageBox::Critical)});
        QVERIFY(localDbNames(window).isEmpty());
    }
};

QP_TEST_MAIN(TestImportItunes)

} // namespace tst_importitunes

#include "tst_importitunes.moc"
