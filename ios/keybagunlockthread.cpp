#include "ios/keybagunlockthread.h"

#include "app/progressform.h"
#include "ios/backupmanifest.h"

KeybagUnlockThread::KeybagUnlockThread(BackupManifest *manifest, const QString &password, ProgressForm *form,
                                       QObject *parent)
    : QThread(parent), manifest(manifest), password(password), form(form)
{
}

KeybagUnlockThread::~KeybagUnlockThread() = default;

void KeybagUnlockThread::run()
{
    int shown = -1;
    m_result = manifest->unlock(password, [this, &shown](int percent) {
        if (form->failed)
            return false;
        if (percent != shown) {
            shown = percent;
            form->postUpdateProgress(QString(), percent, QString());
        }
        return true;
    });
    // A cancelled dialog has ended already; any other end closes it quietly.
    if (m_result != KeybagUnlock::Cancelled)
        form->postSucceed(QString());
}
