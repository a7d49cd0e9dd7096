#include "ios/iosdevice.h"

#include "app/datafolder.h"
#include "app/messagebox.h"
#include "ios/mobiledevice.h"

#include <QRegularExpression>

IOSDevice::IOSDevice() = default;

IOSDevice::~IOSDevice() = default;

QString IOSDevice::cacheFolderName(const QString &id)
{
    bool plain = !id.isEmpty();
    for (const QChar c : id) {
        const char16_t u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-')) {
            plain = false;
            break;
        }
    }
    return plain ? id : md5Hex(id);
}

QDir IOSDevice::cacheDir() const
{
    const QString path = appDataDir().absoluteFilePath(QStringLiteral("ios_cache/") + cacheFolderName(uniqueDeviceId));
    if (!QFileInfo::exists(path))
        QDir().mkpath(path);
    return QDir(path);
}

QList<int> IOSDevice::versionNumbers() const
{
    static const QRegularExpression number(QStringLiteral("\\.?(\\d+)"));
    QList<int> numbers;
    QRegularExpressionMatchIterator it = number.globalMatch(productVersion);
    while (it.hasNext())
        numbers.append(it.next().captured(1).toInt(nullptr, 10));
    return numbers;
}

bool IOSDevice::checkBackupSettings(bool checkCloud, bool checkEncrypt) const
{
    const QString frame = QStringLiteral("%1<br/><br/><img src=\"%2\"/>");
    try {
        const QList<CFType> values =
            mobiledevice_copy_values(amDevice, {QString()}, QStringLiteral("com.apple.mobile.backup"));
        const CFType settings = values.value(0);
        if (checkCloud && settings.value(QStringLiteral("CloudBackupEnabled")).toBool(false)) {
            showWarning(frame.arg(QStringLiteral("Failed to transfer data to device. Please turn off iCloud backup "
                                                 "on your iPhone to try again."),
                                  QStringLiteral(":res/close_icloudbk.jpg")));
            return false;
        }
        if (checkEncrypt && settings.value(QStringLiteral("WillEncrypt")).toBool(false)) {
            showWarning(frame.arg(QStringLiteral("Failed to transfer data to device. Your iTunes backup is encrypted. "
                                                 "Please run iTunes on computer and then uncheck \"Encrypt iPhone "
                                                 "backup\" option to try again."),
                                  QStringLiteral(":res/close_itunesbkenc.jpg")));
            return false;
        }
    } catch (const std::exception &) {
        // Settings that cannot be read do not stop the transfer.
    }
    return true;
}
