#include "android/androidconnectwithusbthread.h"

#include "android/adbclient.h"
#include "android/cancelscope.h"
#include "android/simpleprotocol.h"
#include "app/datafolder.h"
#include "app/progressform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QUrl>
#include <exception>
#include <memory>

const char *const AndroidConnectWithUSBThread::kPackage = "com.quillmarten.smssync";
const char *const AndroidConnectWithUSBThread::kApkResource = ":/res/com.quillmarten.smssync.apk";
int AndroidConnectWithUSBThread::installPauseMs = 5000;

namespace {

const int kLowestVersion = 10;

QString tryTheFollowing(const QString &message)
{
    // The path already starts with a slash: "file:///" around it would make
    // four, which names another file. Encoded, a blank or "#" in the path
    // stays part of it; escaped, an ampersand stays text in the box.
    const QString manager = QUrl::fromLocalFile(QDir(QCoreApplication::applicationDirPath())
                                                    .absoluteFilePath(QStringLiteral("QuillmartenDeviceManager.exe")))
                                .toString(QUrl::FullyEncoded)
                                .toHtmlEscaped();
    return QStringLiteral("Please try the following:<br/><br/>"
                          "1 Go to Google Play on your phone to download and installed the latest version "
                          "Quillmarten SMS Sync.<br/><br/>"
                          "2 click <a href=\"%1\"><b>HERE</b></a> to run Quillmarten Device Manager and "
                          "then restart your phone to try again.<br/><br/>")
               .arg(manager)
        + message;
}

} // namespace

AndroidConnectWithUSBThread::AndroidConnectWithUSBThread(const QString &serial, ProgressForm *form,
                                                         QObject *parent)
    : QThread(parent), form(form)
{
    device.serial = serial;
    device.isWifi = false;
}

bool AndroidConnectWithUSBThread::versionAccepted(const AndroidDevice &device)
{
    return device.version >= kLowestVersion;
}

QString AndroidConnectWithUSBThread::tooOldText()
{
    return QStringLiteral("Quillmarten SMS Sync on Android is too old. %1 needed. Please update it from Google Play.")
        .arg(QStringLiteral("3.1.10"));
}

void AndroidConnectWithUSBThread::readDescription(AndroidDevice &device)
{
    const QString url = QString::fromLatin1(simpleprotocol::kDevice2Url).arg(nextServicePort());
    std::unique_ptr<QTcpSocket, AndroidDevice::SocketDrop> socket(
        device.openService(url, AndroidDevice::kServiceTimeoutMs));
    const QString hello = simpleprotocol::readCommand(socket.get(), -1);
    simpleprotocol::sendCommand(socket.get(), QStringLiteral("$bye:"), QString(), true, -1);
    socket.reset();
    device.parseHello(hello.mid(7));
}

QString AndroidConnectWithUSBThread::copyApk()
{
    const QString target = appDataDir().absoluteFilePath(QFileInfo(QString::fromLatin1(kApkResource)).fileName());
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        QFile::remove(target);
    // A failed copy shows as adb's failure to install the file.
    QFile::copy(QString::fromLatin1(kApkResource), target);
    QFile::setPermissions(target, QFile::ReadUser | QFile::WriteUser);
    return target;
}

void AndroidConnectWithUSBThread::run()
{
    // Every adb run and socket wait of this thread gives up at a Cancel.
    CancelScope scope(&form->failed);
    form->postUpdateProgress(QCoreApplication::translate("AndroidConnectWithUSBThread", "IDS_CHECKING_APK_INSTALL"),
                             -1, QString());
    try {
        AdbClient adb;
        // An empty list (also what a failing or cancelled adb yields) skips
        // the installation: the service opening then tells what is wrong.
        const QSet<QString> packages = adb.installedPackages(device.serial);
        if (!packages.isEmpty() && !packages.contains(QString::fromLatin1(kPackage))) {
            if (form->failed)
                return;
            try {
                adb.install(device.serial, copyApk());
            } catch (const std::exception &e) {
                if (form->failed)
                    return;
                form->postErrorOccurred(
                    QStringLiteral("Please go to Google Play on your Android Phone to download and install Quillmarten "
                                   "SMS Sync first and then try again. <br/><br/>Error:")
                    + QString::fromUtf8(e.what()).toHtmlEscaped());
                return;
            }
            CancelScope::sleepFor(installPauseMs);
        }
        if (form->failed)
            return;
        form->postUpdateProgress(QCoreApplication::translate("AndroidConnectWithUSBThread", "IDS_GET_ANDROID_DEVICE_INFO"),
                                 99, QString());
        readDescription(device);
        if (versionAccepted(device))
            form->postSucceed(QString());
        else
            form->postErrorOccurred(tooOldText());
    } catch (const std::exception &e) {
        // After a Cancel the dialog is gone: the failure it caused is no news.
        if (!form->failed)
            form->postErrorOccurred(tryTheFollowing(QString::fromUtf8(e.what()).toHtmlEscaped()));
    }
}
