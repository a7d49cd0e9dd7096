#pragma once
// Driver of the platform's backup program, Debian's idevicebackup2
// (libimobiledevice-utils): one full backup of a phone into a backup root, or
// one restore of a backup root onto the phone.
//
// The program keeps each phone's backup in the sub-folder of the root named by
// the phone's unique device id. Command lines, for a device id U and a root R:
//   backup:  -u U backup R
//   restore: -u U -s U restore --system R
// A restore lets the phone restart when it is done (the program's default):
// the phone takes up restored data only after a restart, and the restore
// thread tells the user before it starts.
//
// The program redraws a progress bar on one line ("\r[====   ]  42% ..."),
// which is read while it runs; a program that prints none gets a bar that
// follows the clock against the phone's used space. The outcome is the
// program's: success is exit status 0 and its line "Backup Successful." or
// "Restore Successful."; a line with "Failed", "Aborted" or "ERROR:" fails
// even at exit status 0 (it prints "Backup Failed (Error Code 0)." and exits 0
// when the phone did not finish its snapshot); lines that only name files
// decide nothing. A cancel asks the program to stop (SIGTERM, which it turns
// into a clean stop between messages) and kills it only after a grace period.
// A phone reported unplugged stops the program the same way and fails the run
// with a text saying so: the program would wait for it for ever.
#include <QDir>
#include <QStorageInfo>
#include <QObject>
#include <QString>

#include <atomic>

// Added below each error of the backup program that the backup and restore
// threads show.
inline constexpr char kBackup2RestartNote[] = "<br/><br/>Note: You can restart your device to try again.";

// The bytes the calling user may still write on the volume of dir; -1 when the
// volume cannot be asked (no such folder, no file system behind it).
qint64 diskFreeSpace(const QDir &dir);
// The same, given what QStorageInfo found for dir: when that has no answer
// (no mount-table entry for the folder, as in a chroot) the folder's own file
// system is asked.
qint64 diskFreeSpaceOf(const QDir &dir, const QStorageInfo &volume);

// The operation of one run.
enum backup2tool_op {
    BACKUP2TOOL_OP_BACKUP = 0,
    BACKUP2TOOL_OP_RESTORE = 1,
};

struct backup2tool_options
{
    explicit backup2tool_options(int op) : op(op) {}
    int op; // a backup2tool_op; any other value is refused by run
};

class backup2tool : public QObject
{
    Q_OBJECT

public:
    // device: the phone's MobileDevice handle (not owned), asked only for its
    // disk usage; udid names it on the command line; folder is the backup root.
    backup2tool(void *device, const QString &udid, const QDir &folder, QObject *parent = nullptr);
    ~backup2tool() override;

    // Runs the program once on the calling thread and waits for it, emitting
    // update whenever it redraws its bar and about every 200 ms. Returns when
    // the program succeeded or the run was cancelled (stoppedByUser tells
    // which); throws std::runtime_error (UTF-8 text) when the operation is
    // unknown, the program does not start, crashed or failed: the program's
    // own error lines, or a text naming its exit status when it printed none.
    void run(const backup2tool_options &options);

    // Whether the last run ended because of a cancel.
    bool stoppedByUser() const { return m_stopped; }

    // The program: while virtual phones are served, "idevicebackup2" beside
    // the device library's stand-in (below the common program files folder),
    // when it is there; otherwise the one on PATH. Empty when there is none.
    static QString programPath();
    // The argument list of an operation; empty for an unknown one.
    static QStringList arguments(int op, const QString &udid, const QDir &root);
    // The expected duration in whole seconds for a phone of that capacity and
    // free space: 0.03 s per MiB in use, 60 when that gives less than 1 s.
    static int estimateSeconds(qint64 totalDataCapacity, qint64 amountDataAvailable);
    // The bar's value after elapsed seconds: below 100 however long it takes.
    static double progressAfter(qint64 elapsedSeconds, int estimate);

    // How long a cancelled program may take to stop before it is killed.
    static void setStopGracePeriod(int ms);

    // A second stop request polled with canceled: the progress dialog's
    // failed flag, so that a cancel pressed before run clears canceled, or
    // before the threads connected their signal, is not lost (the dialog has
    // closed by then, and its owner would wait for the whole backup).
    void watch(const std::atomic<bool> *stop) { stopFlag = stop; }

signals:
    void update(double progress, QString file, QString text);

public slots:
    // Callable from any thread; the run kills the program at its next poll.
    void cancel();

private:
    int estimate() const;

    bool stopRequested() const { return canceled || (stopFlag && *stopFlag); }

    void *device;
    QString udid;
    QDir folder;
    double progress = 0;
    std::atomic<bool> canceled{false};
    bool m_stopped = false;
    const std::atomic<bool> *stopFlag = nullptr;
};
