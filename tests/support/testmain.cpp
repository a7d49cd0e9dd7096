#include "tests/support/testmain.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QNetworkAccessManager>
#include <algorithm>
#include <map>
#include <string>

namespace testsupport {

namespace {

// Filled before main by the registrations of the linked test classes.
std::map<std::string, TestRun> &registry()
{
    static std::map<std::string, TestRun> tests;
    return tests;
}

} // namespace

void useHome(const QString &root)
{
    const QString data = root + "/.local/share";
    QDir().mkpath(data);
    qputenv("HOME", QFile::encodeName(root));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
}

void finishErrorReports(QCoreApplication &app)
{
    QDeadlineTimer deadline(5000);
    while (!app.findChildren<QNetworkAccessManager *>(Qt::FindDirectChildrenOnly).isEmpty() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TestRegistration::TestRegistration(const char *sourceFile, TestRun run)
{
    std::string name(sourceFile);
    name.erase(0, name.find_last_of('/') + 1);
    name.erase(std::min(name.find('.'), name.size()));
    registry()[name] = run;
}

TestRun registeredTest(const char *name)
{
    const auto it = registry().find(name);
    return it == registry().end() ? nullptr : it->second;
}

QStringList registeredTests()
{
    QStringList names;
    for (const auto &entry : registry())
        names << QString::fromStdString(entry.first);
    return names;
}

} // namespace testsupport
