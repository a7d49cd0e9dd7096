#pragma once
// Kills a merge into a backup at one of its steps: the merge runs in a child
// process whose step hook raises SIGKILL when the named step comes, so the
// files are left exactly as a power cut or a killed program would leave them.
// Header only: the cases that use it link the iPhone library already.
#include "store/ios6messagedb.h"
#include "ios/ios6restoremessagesthread.h"
#include "app/progressform.h"

#include <QDir>
#include <QString>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// True when the child died of SIGKILL, that is, the step was reached.
inline bool mergeKilledAt(const QString &step, QList<_MsgMessage *> *fresh, const QString &cacheDir,
                          const QString &backupDir)
{
    IOS6RestoreMessagesThread::setStepHook([step](const char *name) {
        if (step == QLatin1String(name))
            raise(SIGKILL);
    });
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        IOS6MessageDb target(QDir(cacheDir), QString(), false);
        ProgressForm form("", nullptr);
        IOS6RestoreMessagesThread thread(QString(), fresh, &target, QDir(backupDir), &form);
        thread.start();
        thread.wait();
        _exit(0);
    }
    int status = 0;
    const bool waited = child > 0 && waitpid(child, &status, 0) == child;
    IOS6RestoreMessagesThread::setStepHook({});
    return waited && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

} // namespace testsupport
