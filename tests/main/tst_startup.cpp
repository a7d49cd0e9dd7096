// Runs the whole start-up sequence in a child process per case, with a private
// HOME, and checks what a user would find: the exit code, the data folder and
// its log, and the boxes that were shown.
#include "app/makerserver.h"
#include "main/startup.h"
#include "tests/support/fakeadb.h"
#include "tests/support/oldlocaldbfixture.h"
#include "tests/support/testmain.h"

#include <QAbstractButton>
#include <QLockFile>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>

#include <cstdio>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int wrongDbVersion()
{
    return 4;
}

// Logged by the driver when it closes the main window; the debug line is
// UTF-8 with letters beyond ASCII, so an echo must pass the bytes unchanged.
const char kDebugLine[] = "driver: closing the main window \xc3\xa4\xe2\x82\xac";
const char kWarningLine[] = "driver: a warning stays out of standard output";

// In the child: answers every message box with Ok and closes the main window
// once no box is open, writing what it saw to notesPath: each box with the
// state of the main window behind it, each other dialog, the closed window.
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
                    bool windowShown = false;
                    for (QWidget *w : QApplication::topLevelWidgets())
                        windowShown = windowShown || (w->objectName() == "MainWindow" && w->isVisible());
                    notes.write("box:" + box->text().toUtf8() + "\n");
                    notes.write(windowShown ? "behind it: main window\n" : "behind it: no window\n");
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
                        qDebug("%s", kDebugLine);
                        qWarning("%s", kWarningLine);
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
    QByteArray standardOutput;
};

// commonFiles: the common program files folder the child looks in for
// Apple's libraries; a null string leaves the default beside the program,
// where the build puts the stand-ins.
Outcome runChild(const QString &home, DbVersionFunction version, const QString &commonFiles)
{
    const QString notesPath = home + "/notes.txt";
    const QString outputPath = home + "/stdout.txt";
    // What this process has buffered would otherwise reach the child's output too.
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const int out = ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0)
            _exit(100);
        ::close(out);
        // As in the real program, messages before the log handler go to Qt's
        // default (standard error), not to the test framework's.
        qInstallMessageHandler(nullptr);
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
    QFile output(outputPath);
    if (output.open(QIODevice::ReadOnly))
        outcome.standardOutput = output.readAll();
    return outcome;
}

// The log's entries as (level letter, message) pairs; a line that does not
// begin an entry continues the one before.
QList<QPair<char, QByteArray>> logEntries(const QByteArray &log)
{
    static const QRegularExpression start("^\\(([DIWCF]) \\d\\d:\\d\\d:\\d\\d\\) ");
    QList<QPair<char, QByteArray>> entries;
    for (const QByteArray &line : log.split('\n')) {
        const QRegularExpressionMatch m = start.match(QString::fromUtf8(line));
        if (m.hasMatch())
            entries.append({m.captured(1).at(0).toLatin1(), line.mid(m.capturedLength())});
        else if (!entries.isEmpty())
            entries.last().second += "\n" + line;
    }
    if (!entries.isEmpty() && entries.last().second.endsWith('\n'))
        entries.last().second.chop(1);
    return entries;
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

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(bytes);
}

// Files killed runs leave behind, and their neighbours that must stay.
const QStringList kLeftovers = {
    "itunes_cache/ab12/file-relay/var/mobile/Library/SMS/sms.db1733900000",
    "itunes_cache/ab12/file-relay/var/mobile/Library/SMS/sms.db1733900000-journal",
    "ios_cache/00008030-X/file-relay/var/mobile/Library/SMS/sms.db1733900001-wal",
    "ios_cache/00008030-X/ct-phone.db.a1B2c3",
    "ios_cache/00008030-X/ct-phone.db.a1B2c3-journal",
    "itunes_cache/ab12/ct-phone.db.Zz9Yy8",
};
const QStringList kKept = {
    "itunes_cache/ab12/file-relay/var/mobile/Library/SMS/sms.db",
    "itunes_cache/ab12/file-relay/var/mobile/Library/SMS/sms.db-wal",
    "itunes_cache/ab12/file-relay/var/mobile/Library/SMS/sms.db.bak",
    "itunes_cache/ab12/file-relay/var/mobile/Library/SMS/sms.db-1733900000",
    "ios_cache/00008030-X/ct-phone.db",
    "ios_cache/00008030-X/ct-phone.db.tmp",
    "ios_cache/00008030-X/notes-sms.db1733900000",
    "sms.db1733900000",
};

void plantLeftovers(const QString &home)
{
    for (const QString &path : kLeftovers + kKept)
        writeFile(dataFolder(home) + "/" + path, "x");
}

QStringList present(const QString &home, const QStringList &paths)
{
    QStringList found;
    for (const QString &path : paths)
        if (QFileInfo::exists(dataFolder(home) + "/" + path))
            found << path;
    return found;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

    // The window watches adb from its start: the children find the fake first.
    FakeAdb adb;

private slots:
    void initTestCase()
    {
        adb.answer("start-server", "", "* daemon started successfully\n");
        adb.answer("devices", "List of devices attached\n\n");
    }

    void normalStartWithoutAppleLibraries()
    {
        QTemporaryDir home;
        const Outcome outcome = runChild(home.path(), nullptr, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 0);

        QCOMPARE(outcome.notes.size(), 3);
        // The window is shown first, then the warning in front of it.
        QVERIFY2(outcome.notes[0].startsWith(
                     "box:Failed to load (Apple Mobile Device) framework. Plese click <a href=\""
                     "http://127.0.0.1:1/tutorial/how-to-connect-ios-device-to-quillmarten-successfully.html\">HERE</a> for help."),
                 qPrintable(outcome.notes.join('|')));
        QCOMPARE(outcome.notes[1], "behind it: main window");
        QCOMPARE(outcome.notes[2], "window:Quillmarten Parlevane");

        const QString logs = dataFolder(home.path()) + "/qlogs";
        const QString log = logs + "/log-" + QDate::currentDate().toString("yyyyMMdd") + ".txt";
        QVERIFY(QFileInfo(logs).isDir());
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QPair<char, QByteArray>> entries = logEntries(file.readAll());
        QVERIFY(entries.contains(qMakePair('D', QByteArray(kDebugLine))));
        QVERIFY(entries.contains(qMakePair('W', QByteArray(kWarningLine))));

        // Standard output holds every debug message of the log, each as it
        // was given and a line feed, and nothing else.
        QByteArray debugLines;
        for (const auto &entry : entries) {
            if (entry.first == 'D')
                debugLines += entry.second + "\n";
        }
        QCOMPARE(outcome.standardOutput, debugLines);
        QVERIFY(outcome.standardOutput.contains(QByteArray(kDebugLine) + "\n"));
        QVERIFY(!outcome.standardOutput.contains(kWarningLine));
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
        QCOMPARE(outcome.notes.size(), 3);
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
                                "box:Successfully updated local database. Please restart software.|"
                                "behind it: main window"),
                 qPrintable(notes));
        QVERIFY(QFileInfo(folder + "/old.db").isDir());
        QVERIFY(!QFileInfo::exists(folder + "/old.db.__tmp"));
    }

    // A second start while a run holds the data folder brings up nothing but
    // its box, and touches none of the running one's files.
    void secondStartShowsOnlyItsBox()
    {
        QTemporaryDir home;
        plantLeftovers(home.path());
        QLockFile running(dataFolder(home.path()) + "/instance.lock");
        QVERIFY(running.tryLock(0));
        const Outcome outcome = runChild(home.path(), nullptr, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.notes, QStringList({"box:Quillmarten Parlevane is already running. Switch to its window, "
                                             "or close it before starting the program again.",
                                             "behind it: no window"}));
        QVERIFY(!QFileInfo::exists(dataFolder(home.path()) + "/qlogs"));
        QCOMPARE(present(home.path(), kLeftovers), kLeftovers);
        QCOMPARE(present(home.path(), kKept), kKept);
        QVERIFY(running.isLocked());
    }

    // The lock of a run that was killed is taken over, and what that run
    // left behind is removed; nothing else is.
    void staleLockIsTakenOverAndLeftoversGo()
    {
        QTemporaryDir home;
        plantLeftovers(home.path());
        const QString lockPath = dataFolder(home.path()) + "/instance.lock";
        std::fflush(stdout);
        const pid_t crashed = fork();
        if (crashed == 0) {
            QLockFile lock(lockPath);
            _exit(lock.tryLock(0) ? 0 : 1); // no unlock: as if killed
        }
        int status = 0;
        waitpid(crashed, &status, 0);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QVERIFY(QFileInfo::exists(lockPath));

        const Outcome outcome = runChild(home.path(), nullptr, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 0);
        QVERIFY2(outcome.notes.contains("window:Quillmarten Parlevane"), qPrintable(outcome.notes.join('|')));
        QCOMPARE(present(home.path(), kLeftovers), QStringList());
        QCOMPARE(present(home.path(), kKept), kKept);
        // Ended normally, the run leaves no lock behind.
        QVERIFY(!QFileInfo::exists(lockPath));
    }

    void wrongDatabaseLibraryEndsBeforeAnythingIsCreated()
    {
        QTemporaryDir home;
        const Outcome outcome = runChild(home.path(), wrongDbVersion, emptyCommonFiles(home.path()));
        QCOMPARE(outcome.exitCode, 1);
        QCOMPARE(outcome.notes.size(), 2);
        QVERIFY(outcome.notes[0].contains("invalid libsqlite_qt."));
        QCOMPARE(outcome.notes[1], "behind it: no window");
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
