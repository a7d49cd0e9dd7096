#include "app/startup.h"

#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "app/logfile.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "ios/applelibs.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "ui/mainwindow.h"

#include <QApplication>

namespace {

const int kExpectedDbLibraryVersion = 5;
const int kLogFilesKept = 10;

bool databaseLibraryFits(DbVersionFunction dbVersion)
{
    if (dbVersion() == kExpectedDbLibraryVersion)
        return true;
    showError(QStringLiteral("invalid libsqlite_qt."));
    return false;
}

// Converts local databases of the old single-file format. Answers true when the
// program must end (with exitCode) after a conversion.
bool convertOldLocalDatabases(MainWindow &, int &)
{
    // Not part of this build yet: old single-file databases are left alone.
    return false;
}

} // namespace

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

    installLogHandler(appDataDir().absoluteFilePath(QStringLiteral("qlogs")), kLogFilesKept);

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
