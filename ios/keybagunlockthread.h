#pragma once
// Tries a backup password off the GUI thread, under a progress dialog: the
// key derivation takes seconds (millions of rounds), and a crafted keybag
// could ask for far more. The dialog's bar follows the rounds, its Cancel
// stops them within milliseconds, and the window stays alive meanwhile.
//
// The run ends the dialog itself without a box (succeed with no text), also
// for a wrong password: the caller reads result() and words the answer.
#include "ios/backupkeybag.h"

#include <QString>
#include <QThread>

class BackupManifest;
class ProgressForm;

class KeybagUnlockThread : public QThread
{
    Q_OBJECT

public:
    // Neither manifest nor form is owned; both outlive the run, and nothing
    // else touches the manifest while it runs.
    KeybagUnlockThread(BackupManifest *manifest, const QString &password, ProgressForm *form,
                       QObject *parent = nullptr);
    ~KeybagUnlockThread() override;

    // Valid once the thread has finished; Cancelled when the dialog ended
    // first.
    KeybagUnlock result() const { return m_result; }

protected:
    void run() override;

private:
    BackupManifest *manifest;
    QString password;
    ProgressForm *form;
    KeybagUnlock m_result = KeybagUnlock::Cancelled;
};
