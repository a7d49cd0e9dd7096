#pragma once
// Puts a backup root back onto an iPhone through Apple's backup program
// (backup2tool): the phone's backup is the root's sub-folder named by its
// unique device id. A failed restore keeps the backup, and its error is
// explained where the program's text has a known cause.
#include <QDir>
#include <QString>
#include <QThread>

class IOSDevice;
class ProgressForm;
class backup2tool;

class IOSMobileRestoreThread : public QThread
{
    Q_OBJECT

public:
    IOSMobileRestoreThread(IOSDevice *device, const QDir &backupDir, ProgressForm *form, QObject *parent = nullptr);
    ~IOSMobileRestoreThread() override;

    // The rich text a failed restore shows for the tool's message: markup in
    // it escaped, "Find My iPhone must be disabled" turned into a pointer to
    // the help page, a refusal for want of space into the size needed in GB.
    static QString restoreErrorText(const QString &message);

    // Whether the run ended because the user stopped the restore.
    bool stoppedByUser() const { return m_stopped; }
    // What a stopped restore may have left on the phone, for the user.
    static QString stoppedText();

public slots:
    void backupUpdate(double progress, QString file, QString text);

protected:
    void run() override;

private:
    IOSDevice *device;
    QDir backupDir;
    ProgressForm *form;
    backup2tool *tool;
    bool m_stopped = false;
};
