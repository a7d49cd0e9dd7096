#pragma once
// Apple's MobileDevice and CoreFoundation libraries (or the stand-ins that
// serve their functions) are loaded at run time from their install folders;
// every function is looked up by its exported name right before each call.
#include <QString>

// Environment variables naming the install folders, and the one naming the
// common program files folder below which both default.
extern const char *const kMobileDeviceDirVar;   // "QP_APPLE_MOBILE_DEVICE_DIR"
extern const char *const kCoreFoundationDirVar; // "QP_APPLE_APPLICATION_SUPPORT_DIR"
extern const char *const kCommonFilesVar;       // "CommonProgramFiles"

// Loads both libraries; true when both are loaded. On failure error says which
// one did not load; on success error is left as it was.
bool apple_libs_load(QString &error);
bool apple_libs_loaded();
void *apple_md_resolve(const char *name);
void *apple_cf_resolve(const char *name);

// One install-folder setting ("" when unset or too long to be a valid value).
QString reg_read_hklm_string(const QString &keyPath, const QString &valueName);
// The common program files folder: the environment's, else the default beside
// the program.
QString commonProgramFilesDir();
// The MobileDevice library's bare name: the stand-in serving virtual iPhones
// ("iTunesMobileDevice") while kVirtualIPhonesVar names a folder of them,
// else the one for real iPhones over usbmuxd ("MobileDeviceUsbmux"). Both
// live in the MobileDevice install folder.
extern const char *const kVirtualIPhonesVar; // "QP_VIRTUAL_IPHONES_DIR"
QString mobileDeviceLibraryName();
// The file a library of that bare name has inside folder.
QString appleLibraryFile(const QString &folder, const QString &name);
