#include "main/startup.h"

#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/logfile.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/applelibs.h"
#include "main/startupcleanup.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "store/localdbupdatethread.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QLockFile>

namespace {

const int kExpectedDbLibraryVersion = 5;
const int kLogFilesKept = 10;
const char kInstanceLockName[] = "instance.lock";

bool databaseLibraryFits(DbVersionFunction dbVersion)
{
    if (dbVersion() == kExpectedDbLibraryVersion)
        return true;
    showError(QStringLiteral("invalid libsqlite_qt."));
    return false;
}

// Converts local databases of the old single-file format under a dialog that
// cannot be cancelled. Answers true when the program must end (with exitCode):
// after a conversion the user starts it again.
bool convertOldLocalDatabases(MainWindow &window, int &exitCode)
{
    if (LocalDbUpdateThread::oldDatabaseFiles().isEmpty())
        return false;
    ProgressForm form(QString(), nullptr);
    form.setCancelEnabled(false);
    LocalDbUpdateThread thread(&form);
    thread.start(QThread::InheritPriority);
    const bool converted = form.exec() == QDialog::Accepted && !form.failed;
    thread.wait();
    if (!converted)
        return false;
    QMetaObject::invokeMethod(&window, "close", Qt::QueuedConnection);
    exitCode = QApplication::exec();
    return true;
}

enum class InstanceLock { Held, HeldElsewhere, Unavailable };

// One run per data folder: two runs writing one backup or database lose
// messages. A lock whose process has ended (a crashed run) is taken over.
InstanceLock lockDataFolder(QLockFile &lock)
{
    // Only a dead owner makes a lock stale, never its age: a run may last
    // for days.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return InstanceLock::Held;
    if (lock.error() == QLockFile::LockFailedError)
        return InstanceLock::HeldElsewhere;
    return InstanceLock::Unavailable;
}

} // namespace

QString alreadyRunningText()
{
    return QObject::tr("IDS_ALREADY_RUNNING");
}

QString instanceLockPath()
{
    return appDataDir().absoluteFilePath(QLatin1String(kInstanceLockName));
}

QString appleLibsMissingText()
{
    return QObject::tr("IDS_NONE_INSTALL_ITUNES").arg(makerServerBase());
}

int runApplication(int &argc, char **argv, DbVersionFunction dbVersion)
{
    QApplication app(argc, argv);
    IdsTranslator translator;
    (void)translator.load(QStringLiteral(":/en.qm"));
    QApplication::installTranslator(&translator);

    if (!databaseLibraryFits(dbVersion))
        return 1;

    QLockFile lock(instanceLockPath());
    const InstanceLock instance = lockDataFolder(lock);
    if (instance == InstanceLock::HeldElsewhere) {
        showWarning(alreadyRunningText());
        return 0;
    }

    installLogHandler(appDataDir().absoluteFilePath(QStringLiteral("qlogs")), kLogFilesKept);
    if (instance == InstanceLock::Held) {
        for (const QString &path : removeLeftovers(appDataDir()))
            qDebug("%s", QStringLiteral("removed the leftover %1.").arg(path).toUtf8().constData());
    } else {
        // A data folder that takes no lock file takes no other write either;
        // the run goes on, but nothing is cleaned that a live run might use.
        qWarning("%s", QStringLiteral("can not lock %1; leftovers of earlier runs stay.")
                           .arg(instanceLockPath())
                           .toUtf8()
                           .constData());
    }

    QString appleError;
    apple_libs_load(appleError);

    MainWindow window;
    window.show();

    if (!apple_libs_loaded())
        showWarning(appleLibsMissingText());

    int exitCode = 0;
    if (convertOldLocalDatabases(window, exitCode))
        return exitCode;

    return QApplication::exec();
}

int runApplication(int &argc, char **argv)
{
    return runApplication(argc, argv, sqlite_qt_version);
}
