#pragma once
// Connects a phone that adb lists: installs the companion app over adb when
// the phone's package list lacks it, then reads the phone's description from
// the app's "device2" service and checks the app's version. Runs behind a
// ProgressForm; the starter reads `device` after waiting for the thread.
//
// The "device2" conversation (after "$ready:"):
//   app -> PC  "$hello:" + key=value; pairs (AndroidDevice::parseHello)
//   PC -> app  "$bye:"
#include "android/androiddevice.h"

#include <QString>
#include <QThread>

class ProgressForm;

class AndroidConnectWithUSBThread : public QThread
{
public:
    AndroidConnectWithUSBThread(const QString &serial, ProgressForm *form, QObject *parent);

    ProgressForm *form;
    AndroidDevice device;

    // Opens "device2" on a fresh port, reads the description into device and
    // says "$bye:". The first line is taken as the description whatever its
    // token; "$error:" and failed openings throw.
    static void readDescription(AndroidDevice &device);
    // Whether the app is recent enough (version code 10 or later).
    static bool versionAccepted(const AndroidDevice &device);
    // "... too old. 3.1.10 needed. ..."
    static QString tooOldText();

    static const char *const kPackage;     // "com.quillmarten.smssync"
    static const char *const kApkResource; // ":/res/com.quillmarten.smssync.apk"
    // The pause after an installation while the app starts on the phone (ms);
    // tests shorten it.
    static int installPauseMs;

protected:
    void run() override;

private:
    // The package file copied out of the resources into the data folder;
    // returns its path.
    static QString copyApk();
};
