#include "ios/applelibs.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>

const char *const kMobileDeviceDirVar = "QP_APPLE_MOBILE_DEVICE_DIR";
const char *const kCoreFoundationDirVar = "QP_APPLE_APPLICATION_SUPPORT_DIR";
const char *const kCommonFilesVar = "CommonProgramFiles";
const char *const kVirtualIPhonesVar = "QP_VIRTUAL_IPHONES_DIR";

namespace {
const char *const kMobileDeviceKey = "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support";
const char *const kCoreFoundationKey = "SOFTWARE\\Apple Inc.\\Apple Application Support";
// An install folder longer than 127 UTF-16 units is not a valid setting and
// counts as missing.
const int kMaxSettingLength = 127;

// One handle each for the life of the process, never unloaded: resolved
// functions stay valid until exit. Defined in this order, so MobileDevice's
// is built first.
QLibrary apple_md_library;
QLibrary apple_cf_library;
} // namespace

QString reg_read_hklm_string(const QString &keyPath, const QString &valueName)
{
    if (valueName != QLatin1String("InstallDir"))
        return QString();
    const char *var = nullptr;
    if (keyPath == QLatin1String(kMobileDeviceKey))
        var = kMobileDeviceDirVar;
    else if (keyPath == QLatin1String(kCoreFoundationKey))
        var = kCoreFoundationDirVar;
    if (!var || !qEnvironmentVariableIsSet(var))
        return QString();
    const QString value = qEnvironmentVariable(var);
    if (value.size() > kMaxSettingLength)
        return QString();
    return value;
}

QString commonProgramFilesDir()
{
    const QString fromEnv = qEnvironmentVariable(kCommonFilesVar);
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("../lib/common-files");
}

QString mobileDeviceLibraryName()
{
    return qEnvironmentVariableIsEmpty(kVirtualIPhonesVar) ? QStringLiteral("MobileDeviceUsbmux")
                                                           : QStringLiteral("iTunesMobileDevice");
}

QString appleLibraryFile(const QString &folder, const QString &name)
{
    return QDir(folder).absoluteFilePath("lib" + name + ".so");
}

bool apple_libs_load(QString &error)
{
    QString mdFolder = reg_read_hklm_string(QLatin1String(kMobileDeviceKey), "InstallDir");
    QString cfFolder = reg_read_hklm_string(QLatin1String(kCoreFoundationKey), "InstallDir");
    if (mdFolder.isEmpty() || cfFolder.isEmpty()) {
        const QDir common(commonProgramFilesDir());
        if (mdFolder.isEmpty())
            mdFolder = QDir::toNativeSeparators(common.absoluteFilePath("Apple/Mobile Device Support"));
        if (cfFolder.isEmpty())
            cfFolder = QDir::toNativeSeparators(common.absoluteFilePath("Apple/Apple Application Support"));
    }

    // Each library is loaded by its absolute path, so no library search path
    // can put another file of the same name in its place. MobileDevice first,
    // so that it is the one reported when neither is installed.
    apple_md_library.setFileName(appleLibraryFile(mdFolder, mobileDeviceLibraryName()));
    if (!apple_md_library.load()) {
        error = QStringLiteral("Failed to load (Mobile Device) framework.");
        return false;
    }
    apple_cf_library.setFileName(appleLibraryFile(cfFolder, "CoreFoundation"));
    if (!apple_cf_library.load()) {
        error = QStringLiteral("Failed to load (CoreFoundation) framework.");
        return false;
    }
    return true;
}

bool apple_libs_loaded()
{
    return apple_md_library.isLoaded() && apple_cf_library.isLoaded();
}

void *apple_md_resolve(const char *name)
{
    return reinterpret_cast<void *>(apple_md_library.resolve(name));
}

void *apple_cf_resolve(const char *name)
{
    return reinterpret_cast<void *>(apple_cf_library.resolve(name));
}
