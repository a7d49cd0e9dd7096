#pragma once
// Driver of Apple's backup program, "AppleMobileBackup.exe" below the common
// program files folder: one full backup of a phone into a backup root, or one
// restore of a backup root onto the phone. The program prints nothing while it
// works, so progress is an estimate from elapsed time against the phone's used
// space; what it prints at the end is logged, and any "error" in it (either
// stream, any letter case) fails the run. A crash fails the run too, whatever
// it printed.
//
// The program keeps each phone's backup in the sub-folder of the root named by
// the phone's unique device id. Command lines, for a device id U and a root R
// (native separators):
//   backup:  -u U --backup --target U --root R
//   restore: -u U --restore --target U --root R --source U
#include <QDir>
#include <QStorageInfo>
#include <QObject>
#include <QString>

#include <atomic>

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
    // update about every 200 ms. Returns when the program succeeded or the run
    // was cancelled; throws std::runtime_error (UTF-8 text) when the operation
    // is unknown, the program does not start, crashed, or printed "error".
    void run(const backup2tool_options &options);

    // The program: "Apple/Mobile Device Support/AppleMobileBackup.exe" below
    // the common program files folder.
    static QString programPath();
    // The argument list of an operation; empty for an unknown one.
    static QStringList arguments(int op, const QString &udid, const QDir &root);
    // The expected duration in whole seconds for a phone of that capacity and
    // free space: 0.03 s per MiB in use, 60 when that gives less than 1 s.
    static int estimateSeconds(qint64 totalDataCapacity, qint64 amountDataAvailable);
    // The bar's value after elapsed seconds: below 100 however long it takes.
    static double progressAfter(qint64 elapsedSeconds, int estimate);

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
    const std::atomic<bool> *stopFlag = nullptr;
};
