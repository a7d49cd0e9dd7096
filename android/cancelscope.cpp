#include "android/cancelscope.h"

#include <QElapsedTimer>
#include <QThread>

namespace {
thread_local const std::atomic<bool> *t_cancelFlag = nullptr;
}

CancelScope::CancelScope(const std::atomic<bool> *flag) : outer(t_cancelFlag)
{
    t_cancelFlag = flag;
}

CancelScope::~CancelScope()
{
    t_cancelFlag = outer;
}

bool CancelScope::cancelRequested()
{
    return t_cancelFlag && t_cancelFlag->load();
}

bool CancelScope::sleepFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (cancelRequested())
            return false;
        const qint64 left = ms - clock.elapsed();
        if (left <= 0)
            return true;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, kSliceMs)));
    }
}
