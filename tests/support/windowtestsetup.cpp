#include "tests/support/windowtestsetup.h"

#include "app/makerserver.h"
#include "ios/applelibs.h"
#include "tests/support/fakeadb.h"
#include "ui/mainwindow.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTranslator>

namespace testsupport {

QString prepareWindowTests(const QUrl &server, FakeAdb &adb, QTranslator &translator, const QString &phonesDir,
                           const char *commonFiles)
{
    setMakerServerUrl(server);
    if (!translator.load(QStringLiteral(":/en.qm")))
        return QStringLiteral("no English texts at :/en.qm");
    QCoreApplication::installTranslator(&translator);
    adb.answer(QStringLiteral("start-server"), "", "* daemon started successfully\n");
    adb.answer(QStringLiteral("devices"), "List of devices attached\n\n");
    MainWindow::setUsbTipsDelay(-1);
    if (phonesDir.isEmpty())
        return QString();
    qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phonesDir));
    qputenv("QP_VIRTUAL_IPHONES_POLL_MS", "20");
    if (commonFiles)
        qputenv(kCommonFilesVar, commonFiles);
    QString error;
    if (!apple_libs_load(error))
        return error;
    return QString();
}

bool markUpdateCheckDone(const QString &dataDir)
{
    if (!QDir().mkpath(dataDir))
        return false;
    QFile file(QDir(dataDir).absoluteFilePath(QStringLiteral("last-check-version-time")));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && file.write(QByteArray::number(QDateTime::currentSecsSinceEpoch())) > 0;
}

} // namespace testsupport
