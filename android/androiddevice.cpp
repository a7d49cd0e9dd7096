#include "android/androiddevice.h"

#include "android/adbclient.h"
#include "android/cancelscope.h"
#include "android/simpleprotocol.h"
#include "app/datafolder.h"
#include "app/failure.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrl>
#include <memory>
#include <poll.h>
#include <stdexcept>

AndroidDevice::Waits AndroidDevice::waits;

namespace {

const char *const kReceiver = "com.quillmarten.smssync/.AdbSyncBroadcastReceiver";
const int kMaxImeiLength = 64;

// Sockets this file made and does not hand out go away before a failure
// passes on, so a failed opening leaves nothing connected behind.
using OwnedSocket = std::unique_ptr<QTcpSocket, AndroidDevice::SocketDrop>;

void throwIfCancelled(QTcpSocket *socket)
{
    if (!CancelScope::cancelRequested())
        return;
    socket->abort();
    throw simpleprotocol::SocketDataTransferException(QString::fromLatin1(simpleprotocol::kCancelled));
}

// Waits up to ms for a connect started with connectToHost to be made; false
// when it is refused or not made in time (the attempt is then dropped).
// QAbstractSocket::waitForConnected gives up the attempt when it times out,
// so the slices that look at the cancel flag poll the descriptor instead.
bool waitConnected(QTcpSocket *socket, int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const QAbstractSocket::SocketState state = socket->state();
        if (state == QAbstractSocket::ConnectedState)
            return true;
        if (state == QAbstractSocket::UnconnectedState)
            return false;
        throwIfCancelled(socket);
        const qint64 left = ms - clock.elapsed();
        if (left <= 0) {
            socket->abort();
            return false;
        }
        const qintptr fd = socket->socketDescriptor();
        if (state != QAbstractSocket::ConnectingState || fd < 0) {
            socket->waitForConnected(int(left));
            continue;
        }
        pollfd entry{int(fd), POLLOUT, 0};
        if (::poll(&entry, 1, int(qMin<qint64>(left, CancelScope::kSliceMs))) > 0)
            socket->waitForConnected(int(left)); // settles at once: made or refused
    }
}

int servicePort(const QString &serviceUrl)
{
    const int port = QUrl(serviceUrl).port();
    if (port <= 0 || port > 65535)
        throwError(QStringLiteral("invalid service URL %1.").arg(serviceUrl));
    return port;
}

} // namespace

QString AndroidDevice::displayName() const
{
    QString name = manufacturer;
    if (!model.isEmpty())
        name += QLatin1Char(' ') + model;
    return name.trimmed();
}

void AndroidDevice::parseHello(const QString &payload)
{
    static const QRegularExpression pair(QStringLiteral("([^=;]+)=([^=;]+);?"));
    QRegularExpressionMatchIterator it = pair.globalMatch(payload);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QString key = match.captured(1);
        const QString value = match.captured(2);
        if (key == QLatin1String("version"))
            version = value.toInt(nullptr, 10);
        else if (key == QLatin1String("model"))
            model = value;
        else if (key == QLatin1String("manufacturer"))
            manufacturer = value;
        else if (key == QLatin1String("imei"))
            imei = value;
        else if (key == QLatin1String("uid"))
            uid = value;
        else if (key == QLatin1String("sdk"))
            sdk = value;
        else if (key == QLatin1String("sdk_id"))
            sdkId = value.toInt(nullptr, 10);
        else if (key == QLatin1String("root"))
            rooted = value.toInt(nullptr, 10) != 0;
        else if (key == QLatin1String("storage1"))
            storage1 = value;
        else if (key == QLatin1String("mmc"))
            mmc = value;
    }
}

QString AndroidDevice::cacheFolderName() const
{
    static const QRegularExpression plainImei(QStringLiteral("^[A-Za-z0-9-]+$"));
    if (imei.size() <= kMaxImeiLength && plainImei.match(imei).hasMatch())
        return imei;
    if (!uid.isEmpty())
        return md5Hex(uid);
    if (!serial.isEmpty())
        return md5Hex(serial);
    return md5Hex(host);
}

QDir AndroidDevice::cacheDir() const
{
    const QString path = appDataDir().absoluteFilePath(QStringLiteral("android_cache/") + cacheFolderName());
    QDir().mkpath(path);
    return QDir(path);
}

QString AndroidDevice::deviceKey() const
{
    return isWifi ? uid : serial;
}

void AndroidDevice::SocketDrop::operator()(QTcpSocket *socket) const
{
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    delete socket;
}

QTcpSocket *AndroidDevice::openService(const QString &serviceUrl, int timeoutMs)
{
    return isWifi ? openWifiService(serviceUrl, timeoutMs, nullptr)
                  : openUsbService(serviceUrl, timeoutMs, nullptr);
}

QTcpSocket *AndroidDevice::openUsbService(const QString &serviceUrl, int timeoutMs, QObject *parent)
{
    AdbClient adb;
    adb.activityManager(serial, QStringLiteral("broadcast"), QString::fromLatin1(kReceiver), QString(),
                        serviceUrl, QStringList(), QString());
    const int port = servicePort(serviceUrl);
    adb.forward(serial, port, port);

    OwnedSocket socket(new QTcpSocket(parent));
    QElapsedTimer clock;
    clock.start();
    for (bool first = true;; first = false) {
        // The app's service comes up some moments after the broadcast; until
        // then adb's forward accepts and drops at once. A short pause keeps
        // those failed attempts from spinning.
        if (!first && !CancelScope::sleepFor(waits.usbPause))
            throwIfCancelled(socket.get());
        if (clock.elapsed() > timeoutMs)
            throwError(QStringLiteral("start %1 failed.").arg(serviceUrl));
        throwIfCancelled(socket.get());
        socket->abort();
        socket->connectToHost(QHostAddress(QHostAddress::LocalHost), quint16(port), QIODevice::ReadWrite);
        if (!waitConnected(socket.get(), waits.usbConnect))
            continue;
        try {
            simpleprotocol::expectCommand(socket.get(), QStringLiteral("$ready:"), waits.usbReady);
            return socket.release();
        } catch (const simpleprotocol::SocketDataTransferException &) {
            if (CancelScope::cancelRequested())
                throw;
            qDebug("connect %s failed, try again...", qUtf8Printable(serviceUrl));
        }
    }
}

QTcpSocket *AndroidDevice::openWifiService(const QString &serviceUrl, int timeoutMs, QObject *parent)
{
    // Only an address is taken: a name would need a lookup no wait here bounds.
    const QHostAddress address(host);
    const QString unreachable = QStringLiteral("can not connect %1:%2.").arg(host).arg(controlPort);
    QString status;
    {
        OwnedSocket control(new QTcpSocket(parent));
        if (address.isNull() || controlPort <= 0 || controlPort > 65535)
            throwError(unreachable);
        control->connectToHost(address, quint16(controlPort), QIODevice::ReadWrite);
        if (!waitConnected(control.get(), waits.control))
            throwError(unreachable);
        simpleprotocol::sendCommand(control.get(), serviceUrl, QString(), true, -1);
        // Whatever answers on that port, it gets no more than this to say a line.
        status = simpleprotocol::readCommand(control.get(), waits.control);
    }
    if (status.startsWith(QLatin1Char('0'))) {
        const QByteArray text = QByteArray::fromBase64(status.mid(1).toLatin1());
        throwError(QStringLiteral("start %1 failed.%2").arg(serviceUrl, QString::fromUtf8(text)));
    }

    const int port = servicePort(serviceUrl);
    OwnedSocket socket(new QTcpSocket(parent));
    socket->connectToHost(address, quint16(port), QIODevice::ReadWrite);
    if (!waitConnected(socket.get(), timeoutMs))
        throwError(QStringLiteral("connec %1 failed.").arg(serviceUrl));
    simpleprotocol::expectCommand(socket.get(), QStringLiteral("$ready:"), timeoutMs);
    return socket.release();
}
