#include "tests/support/usbmuxdfixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

namespace {

bool accepts(const QString &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::strncpy(address.sun_path, name.constData(), sizeof(address.sun_path) - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

} // namespace

UsbmuxdFixture::UsbmuxdFixture(const QString &phonesDir) : phones(phonesDir)
{
    QDir(own.path()).mkpath("records");
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + QFile::encodeName(socketPath()));
    qunsetenv("QP_VIRTUAL_IPHONES_DIR");
}

UsbmuxdFixture::~UsbmuxdFixture()
{
    stop();
}

QString UsbmuxdFixture::socketPath() const
{
    return own.path() + "/usbmuxd";
}

QString UsbmuxdFixture::recordsDir() const
{
    return own.path() + "/records";
}

QString UsbmuxdFixture::recordPath(const QString &udid) const
{
    return recordsDir() + "/" + udid + ".plist";
}

QString UsbmuxdFixture::start()
{
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral(QP_VIRTUAL_USBMUXD),
                  {socketPath(), phones, recordsDir(), QStringLiteral(QP_CF_STANDIN), QStringLiteral(QP_MD_STANDIN)});
    if (!process.waitForStarted(10000))
        return QStringLiteral("virtual usbmuxd did not start: ") + process.errorString();
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (process.state() != QProcess::Running)
            return QStringLiteral("virtual usbmuxd ended");
        if (QFileInfo::exists(socketPath()) && accepts(socketPath()))
            return QString();
        QThread::msleep(10);
    }
    return QStringLiteral("virtual usbmuxd never listened");
}

void UsbmuxdFixture::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(10000);
    QFile::remove(socketPath());
}

QStringList UsbmuxdFixture::trustedHosts(const QString &phoneFolder)
{
    QFile file(phoneFolder + "/lockdown-hosts.txt");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace testsupport
