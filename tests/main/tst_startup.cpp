// Runs the whole start-up sequence in a child process per case, with a private
// HOME, and checks what a user would find: the exit code, the data folder and
// its log, and the boxes that were shown.
#include "app/makerserver.h"
#include "main/startup.h"
#include "tests/support/oldlocaldbfixture.h"
#include "tests/support/testmain.h"

#include <QAbstractButton>
#include <QPointer>
#include <QPushButton>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

int wrongDbVersion()
{
    return 4;
}

// In the child: answers every message box with Ok and closes the main window
// once no box is open, writing what it saw to notesPath.
void driveFromGuiThread(const QString &notesPath)
{
    std::thread([notesPath]() {
        while (!QCoreApplication::instance())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QMetaObject::invokeMethod(QCoreApplication::instance(), [notesPath]() {
            auto *timer = new QTimer(QCoreApplication::instance());
            QObject::connect(timer, &QTimer::timeout, [notesPath]() {
                QFile notes(notesPath);
                notes.open(QIODevice::Append);
                QWidget *modal = QApplication::activeModalWidget();
                if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                    notes.write("box:" + box->text().toUtf8() + "\n");
                    box->button(QMessageBox::Ok)->click();
                    return;
                }
                if (modal) {
                    static QPointer<QWidget> noted;
                    if (noted != modal) {
                        noted = modal;
                        auto *cancel = modal->findChild<QPushButton *>("btnCancel");
                        notes.write("dialog:" + modal->objectName().toUtf8()
                                    + (cancel && !cancel->isEnabled() ? " cannot cancel" : "") + "\n");
                    }
                    return;
                }
                for (QWidget *w : QApplication::topLevelWidgets()) {
                    if (w->objectName() == "MainWindow" && w->isVisible()) {
                        notes.write("window:" + w->windowTitle().toUtf8() + "\n");
                        qWarning("closing the main window");
                        w->close();
                    }
                }
            });
            timer->start(20);
        }, Qt::QueuedConnection);
    }).detach();
}

struct Outcome
{
    int exitCode = -1;
    QStringList notes;
};

// commonFiles: the common program files folder the child looks in for
// Apple's libraries; a null string leaves the default beside the program,
// where the build puts the stand-ins.
Outcome runChild(const QString &home, DbVersionFunction version, const QString &commonFiles)
{
    const QString notesPath = home + "/notes.txt";
    const pid_t child = fork();
    if (child == 0) {
        testsupport::useHome(home);
        qunsetenv("QP_APPLE_MOBILE_DEVICE_DIR");
        qunsetenv("QP_APPLE_APPLICATION_SUPPORT_DIR");
        qunsetenv("QP_VIRTUAL_IPHONES_DIR");
        if (commonFiles.isNull())
            qunsetenv("CommonProgramFiles");
        else
            qputenv("CommonProgramFiles", QFile::encodeName(commonFiles));
        setMakerServerUrl(QUrl("http://127.0.0.1:1"));
        driveFromGuiThread(notesPath);
        int argc = 1;
        char name[] = "quillmarten";
        char *argv[] = {name, nullptr};
        const int code = version ? runApplication(argc, argv, version) : runApplication(argc, argv);
        _exit(code);
    }
    Outcome outcome;
    int status = 0;
    waitpid(child, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    QFile notes(notesPath);
    if (notes.open(QIODevice::ReadOnly))
        outcome.notes = QString::fromUtf8(notes.readAll()).split('\n', Qt::SkipEmptyParts);
    return outcome;
}

// A common program files folder without Apple's libraries.
QString emptyCommonFiles(const QString &home)
{
    const QString folder = home + "/common-files";
    QDir().mkpath(folder);
    return folder;
}

QString dataFolder(const QString &home)
{
    return home + "/.local/share/QuillMarten/6B2E8D41A7C9430F9E15D2B8C4F70A93";
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void normalStartWithoutAppleLibraries()
    {
        QTemporaryDir home;
        const Outcome outcome = runChild(home.path(), nullptr, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 0);

        QCOMPARE(outcome.notes.size(), 2);
        // The window is shown first, then the warning.
        QVERIFY2(outcome.notes[0].startsWith(
                     "box:Failed to load (Apple Mobile Device) framework. Plese click <a href=\""
                     "http://127.0.0.1:1/tutorial/how-to-connect-ios-device-to-quillmarten-successfully.html\">HERE</a> for help."),
                 qPrintable(outcome.notes.join('|')));
        QCOMPARE(outcome.notes[1], "window:Quillmarten Parlevane");

        const QString logs = dataFolder(home.path()) + "/qlogs";
        const QString log = logs + "/log-" + QDate::currentDate().toString("yyyyMMdd") + ".txt";
        QVERIFY(QFileInfo(logs).isDir());
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains(") closing the main window\n"));
    }

    void theLibraryStandInsLoadWithoutAWarning()
    {
        // The build puts them below the default folder beside the program.
        QTemporaryDir home;
        const Outcome outcome = runChild(home.path(), nullptr, QString());
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.notes, QStringList{"window:Quillmarten Parlevane"});
    }

    void currentDatabaseFoldersNeedNoConversion()
    {
        QTemporaryDir home;
        QDir().mkpath(dataFolder(home.path()) + "/local_databases/mine/file-relay");
        const Outcome outcome = runChild(home.path(), nullptr, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.notes.size(), 2);
        QVERIFY(!outcome.notes.join('|').contains("dialog:"));
    }

    void oldDatabaseIsConvertedAndTheProgramEnds()
    {
        QTemporaryDir home;
        const QString folder = dataFolder(home.path()) + "/local_databases";
        QDir().mkpath(folder);
        testsupport::writeOldLocalDb(folder + "/old.db", {{"5550100001", "Ann", 1400000000, 0, QString("hi")}});
        const Outcome outcome = runChild(home.path(), nullptr, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 0);
        const QString notes = outcome.notes.join('|');
        // The program closes its window by itself: the driver never gets to.
        QVERIFY2(notes.endsWith("dialog:ProgressForm cannot cancel|"
                                "box:Successfully updated local database. Please restart software."),
                 qPrintable(notes));
        QVERIFY(QFileInfo(folder + "/old.db").isDir());
        QVERIFY(!QFileInfo::exists(folder + "/old.db.__tmp"));
    }

    void wrongDatabaseLibraryEndsBeforeAnythingIsCreated()
    {
        QTemporaryDir home;
        const Outcome outcome = runChild(home.path(), wrongDbVersion, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 1);
        QCOMPARE(outcome.notes.size(), 1);
        QVERIFY(outcome.notes[0].contains("invalid libsqlite_qt."));
        QVERIFY(!QFileInfo::exists(home.path() + "/.local/share/QuillMarten"));
    }
};

// No application object here: each case builds its own in a child process.
int main(int argc, char **argv)
{
    TestStartup tc;
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_startup.moc"
