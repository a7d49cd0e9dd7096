#include "ios/applelibs.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>

const char *const kMobileDeviceDirVar = "QP_APPLE_MOBILE_DEVICE_DIR";
const char *const kCoreFoundationDirVar = "QP_APPLE_APPLICATION_SUPPORT_DIR";
const char *const kCommonFilesVar = "CommonProgramFiles";

namespace {
const char *const kMobileDeviceKey = "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support";
const char *const kCoreFoundationKey = "SOFTWARE\\Apple Inc.\\Apple Application Support";
// The settings once held room for 127 UTF-16 units; a longer value never fit
// and counted as missing.
const int kMaxSettingLength = 127;

QLibrary &mdLibrary()
{
    static QLibrary library;
    return library;
}

QLibrary &cfLibrary()
{
    static QLibrary library;
    return library;
}

// Built during static initialisation, MobileDevice first, so both handles
// exist before main runs.
const bool s_handlesBuilt = (mdLibrary(), cfLibrary(), true);
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

QString appleLibraryFile(const QString &folder, const QString &name)
{
    return QDir(folder).absoluteFilePath("lib" + name + ".so");
}

bool apple_libs_load(QString &error)
{
    (void)s_handlesBuilt;
    QString mdFolder = reg_read_hklm_string(QLatin1String(kMobileDeviceKey), "InstallDir");
    QString cfFolder = reg_read_hklm_string(QLatin1String(kCoreFoundationKey), "InstallDir");
    if (mdFolder.isEmpty() || cfFolder.isEmpty()) {
        const QDir common(commonProgramFilesDir());
        if (mdFolder.isEmpty())
            mdFolder = QDir::toNativeSeparators(common.absoluteFilePath("Apple/Mobile Device Support"));
        if (cfFolder.isEmpty())
            cfFolder = QDir::toNativeSeparators(common.absoluteFilePath("Apple/Apple Application Support"));
    }

    // Shared libraries are not searched along PATH here, so each one is loaded
    // by its absolute path; the order and the failure texts stay.
    mdLibrary().setFileName(appleLibraryFile(mdFolder, "iTunesMobileDevice"));
    if (!mdLibrary().load()) {
        error = QStringLiteral("Failed to load (Mobile Device) framework.");
        return false;
    }
    cfLibrary().setFileName(appleLibraryFile(cfFolder, "CoreFoundation"));
    if (!cfLibrary().load()) {
        error = QStringLiteral("Failed to load (CoreFoundation) framework.");
        return false;
    }
    return true;
}

bool apple_libs_loaded()
{
    return mdLibrary().isLoaded() && cfLibrary().isLoaded();
}

void *apple_md_resolve(const char *name)
{
    return reinterpret_cast<void *>(mdLibrary().resolve(name));
}

void *apple_cf_resolve(const char *name)
{
    return reinterpret_cast<void *>(cfLibrary().resolve(name));
}
