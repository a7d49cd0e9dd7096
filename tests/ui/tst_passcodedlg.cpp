#include "app/idstranslator.h"
#include "ios/backupmanifest.h"
#include "tests/support/backupfixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/encryptedbackupfixture.h"
#include "tests/support/logcapture.h"
#include "tests/support/testmain.h"
#include "ui/passcodedlg.h"
#include "ui_passcodedlg.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace tst_passcodedlg {

using namespace testsupport;

namespace {
const QString kHome = QStringLiteral("HomeDomain");
const QString kSmsDb = QStringLiteral("Library/SMS/sms.db");
const QByteArray kContent = QByteArray("SQLite format 3\0 messages of a locked phone", 44).repeated(40);

const _BackupFileNode *find(const _BackupFileNode *node, const QString &path)
{
    for (const QString &name : path.split('/')) {
        const _BackupFileNode *next = nullptr;
        for (const _BackupFileNode *child : node->children)
            if (child->name == name)
                next = child;
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

// The keybag of keys with its iteration count replaced.
QByteArray keybagWithIterations(const EncryptedBackupKeys &keys, quint32 iterations)
{
    QList<KeybagRecord> records = keys.keybagRecords();
    for (KeybagRecord &record : records) {
        if (record.tag == "ITER")
            record.value = QByteArray::fromHex(QByteArray::number(iterations, 16).rightJustified(8, '0'));
    }
    return keybagBytes(records);
}

bool hasClassKeys(const BackupManifest &manifest)
{
    for (const QMap<QString, QByteArray> &entry : manifest.keyBag.classKeys)
        if (entry.contains(QStringLiteral("KEY")))
            return true;
    return false;
}

// Types text into the field as a user would, one key per character
// (QTest::keyClicks takes Latin-1 only).
void typeInto(QLineEdit *field, const QString &text)
{
    field->setFocus();
    for (const char32_t c : text.toUcs4()) {
        const QString key = QString::fromUcs4(&c, 1);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, key);
        QApplication::sendEvent(field, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, key);
        QApplication::sendEvent(field, &release);
    }
}
} // namespace

class TestPasscodeDlg : public QObject
{
    Q_OBJECT
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;

    // An encrypted backup of password, its Manifest.plist read.
    std::unique_ptr<BackupManifest> encryptedBackup(const QString &password)
    {
        BackupFixture backup;
        backup.keys.emplace(password.toUtf8());
        backup.addFile(kHome, kSmsDb, kContent);
        auto manifest = std::make_unique<BackupManifest>(backup.write(dir->filePath("backup")));
        manifest->loadManifestPlist();
        return manifest;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
    }
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void texts()
    {
        BackupManifest manifest(dir->path());
        PasscodeDlg dlg(&manifest, nullptr);
        QCOMPARE(dlg.widgets()->lbTitle2->text(), "This iTunes Backup is encrypted. Please enter password:");
        QCOMPARE(dlg.widgets()->txtPasscode->placeholderText(), "Enter password");
        QCOMPARE(dlg.widgets()->btnOK->text(), "OK");
        QCOMPARE(dlg.widgets()->btnCancel->text(), "Cancel");
    }

    void wrongThenRight_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("ASCII") << "hunter2";
        QTest::newRow("non-ASCII") << "Pässwörd 密码 🔑";
    }
    void wrongThenRight()
    {
        QFETCH(QString, password);
        auto manifest = encryptedBackup(password);
        QVERIFY(manifest->info.isEncrypted);
        PasscodeDlg dlg(manifest.get(), nullptr);
        LogCapture log;
        DialogDriver driver;
        QString fieldAfterWrong = "unset";
        bool openAfterWrong = false;
        QString shown;
        driver.then([&](QWidget *w) {
            auto *d = static_cast<PasscodeDlg *>(w);
            QLineEdit *field = d->widgets()->txtPasscode;
            typeInto(field, password + "x");
            QTest::mousePress(d->widgets()->btnOK, Qt::LeftButton);
            openAfterWrong = d->isVisible();
            fieldAfterWrong = field->text();
            typeInto(field, password);
            shown = field->displayText();
            QTest::mousePress(d->widgets()->btnOK, Qt::LeftButton);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(dlg.exec(), int(QDialog::Accepted));
        QVERIFY(openAfterWrong);
        QCOMPARE(fieldAfterWrong, "");
        // Each try runs behind a progress dialog, which a quick one may close
        // before the driver sees it: only the boxes count.
        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seenBoxes()[0].text, "Invalid password.");
        QCOMPARE(driver.seenBoxes()[0].icon, int(QMessageBox::Warning));

        // The typed characters never show, on screen or in the log.
        QCOMPARE(dlg.widgets()->txtPasscode->echoMode(), QLineEdit::Password);
        QCOMPARE(shown.size(), password.size());
        for (const QChar c : password)
            QVERIFY2(!shown.contains(c), qPrintable(shown));
        for (const QString &line : log.lines()) {
            QVERIFY2(!line.contains(password), qPrintable(line));
            QVERIFY(!line.contains(password.toUtf8().toHex()));
        }

        // Unlocked: the backup's files decrypt.
        manifest->loadMbdb();
        const QString out = dir->filePath("sms.db");
        manifest->extractFile(find(&manifest->root, kSmsDb), out);
        QFile copy(out);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), kContent);
    }

    void anEmptyFieldIsNotTried()
    {
        auto manifest = encryptedBackup("hunter2");
        // Unlocked already: a try with "" would drop the keys.
        QVERIFY(manifest->unlock("hunter2"));
        PasscodeDlg dlg(manifest.get(), nullptr);
        DialogDriver driver;
        bool stayedOpen = false;
        driver.then([&](QWidget *w) {
            auto *d = static_cast<PasscodeDlg *>(w);
            QTest::mousePress(d->widgets()->btnOK, Qt::LeftButton);
            stayedOpen = d->isVisible();
            QTest::mousePress(d->widgets()->btnCancel, Qt::LeftButton);
        });
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(stayedOpen);
        QCOMPARE(driver.seen().value(1).text, "Password is required.");
        QVERIFY(hasClassKeys(*manifest));
    }

    void cancelLeavesTheBackupLocked_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancel") << "cancel";
        QTest::newRow("Esc") << "esc";
        QTest::newRow("closed") << "close";
    }
    void cancelLeavesTheBackupLocked()
    {
        QFETCH(QString, how);
        auto manifest = encryptedBackup("hunter2");
        PasscodeDlg dlg(manifest.get(), nullptr);
        DialogDriver driver;
        driver.then([&](QWidget *w) {
            auto *d = static_cast<PasscodeDlg *>(w);
            typeInto(d->widgets()->txtPasscode, "hunter2"); // typed, never confirmed
            if (how == "cancel")
                QTest::mousePress(d->widgets()->btnCancel, Qt::LeftButton);
            else if (how == "esc")
                QTest::keyClick(d, Qt::Key_Escape);
            else
                d->close();
        });
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QCOMPARE(driver.seen().size(), 1);
        QVERIFY(!hasClassKeys(*manifest));
        manifest->loadMbdb();
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 manifest->extractFile(find(&manifest->root, kSmsDb), dir->filePath("sms.db")));
    }

    // A keybag that asks for ten million rounds: the window stays alive while
    // they run, and Cancel on the progress dialog stops them at once, leaving
    // the password dialog open for another try.
    void slowDerivationCanBeCancelled()
    {
        BackupManifest manifest(dir->path());
        EncryptedBackupKeys keys("hunter2");
        manifest.info.isEncrypted = true;
        manifest.info.backupKeyBag = keybagWithIterations(keys, 10000000);
        PasscodeDlg dlg(&manifest, nullptr);
        DialogDriver driver;
        bool stayedOpen = false;
        int ticks = 0;
        QElapsedTimer clock;
        driver.then([&](QWidget *w) {
            auto *d = static_cast<PasscodeDlg *>(w);
            typeInto(d->widgets()->txtPasscode, "hunter2");
            clock.start();
            QTest::mousePress(d->widgets()->btnOK, Qt::LeftButton);
            stayedOpen = d->isVisible();
            QTest::mousePress(d->widgets()->btnCancel, Qt::LeftButton);
        });
        driver.then([&](QWidget *progress) {
            // The GUI thread goes on serving events while the rounds run.
            auto *tick = new QTimer(progress);
            QObject::connect(tick, &QTimer::timeout, [&ticks]() { ++ticks; });
            tick->start(10);
            QTimer::singleShot(300, progress, [progress]() {
                QTest::mouseClick(progress->findChild<QPushButton *>("btnCancel"), Qt::LeftButton);
            });
        });
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(stayedOpen);
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(driver.seenBoxes().size(), 0);
        QVERIFY(!hasClassKeys(manifest));
    }

    // A count above the bound is refused at once with a box that says why;
    // no password could open such a backup, so the dialog closes.
    void excessiveIterationsAreRefused()
    {
        BackupManifest manifest(dir->path());
        EncryptedBackupKeys keys("hunter2");
        manifest.info.isEncrypted = true;
        manifest.info.backupKeyBag = keybagWithIterations(keys, 100000001);
        PasscodeDlg dlg(&manifest, nullptr);
        DialogDriver driver;
        driver.then([&](QWidget *w) {
            auto *d = static_cast<PasscodeDlg *>(w);
            typeInto(d->widgets()->txtPasscode, "hunter2");
            QTest::mousePress(d->widgets()->btnOK, Qt::LeftButton);
        });
        driver.thenPress(QMessageBox::Ok);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(driver.seenBoxes().size(), 1);
        QCOMPARE(driver.seenBoxes()[0].icon, int(QMessageBox::Critical));
        QVERIFY2(driver.seenBoxes()[0].text.contains(
                     "This backup cannot be opened: its keys ask for more than 100000000 rounds of password checking"),
                 qPrintable(driver.seenBoxes()[0].text));
        QVERIFY(!hasClassKeys(manifest));
    }
};

QP_TEST_MAIN(TestPasscodeDlg)

} // namespace tst_passcodedlg

#include "tst_passcodedlg.moc"
