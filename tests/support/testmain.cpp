#include "tests/support/testmain.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QNetworkAccessManager>

namespace testsupport {

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

} // namespace testsupport
