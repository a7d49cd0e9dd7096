#pragma once
// Worker that loads an older iPhone's databases (iOS 5 to 7) through the
// file-relay service under a progress dialog: the phone's archive is stored
// as it came in "file-relay.cpio" in the phone's cache folder, unpacked into
// "file-relay" beside it (filerelayarchive.h), and deleted once unpacked
// whole. After a failure or a cancel the stored archive stays, as do the
// files unpacked so far; "file-relay" is never emptied first, so files of an
// earlier download that the new archive lacks remain.
#include <QThread>

class IOSDevice;
class ProgressForm;

class IOSLoadFileRelayThread : public QThread
{
    Q_OBJECT

public:
    // Neither device nor form is owned; both outlive the run.
    IOSLoadFileRelayThread(IOSDevice *device, ProgressForm *form, QObject *parent);
    ~IOSLoadFileRelayThread() override;

    // The longest pause in the phone's stream before the download counts as
    // complete: 60000 ms; tests shorten it. A cancel is seen only once the
    // wait in progress has ended.
    static int receiveWaitMs();
    static void setReceiveWaitMs(int ms);

protected:
    void run() override;

private:
    IOSDevice *device;
    ProgressForm *form;
};
