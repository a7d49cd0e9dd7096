#include "ui/windowseams.h"

#include <QDateTime>

int WindowSeams::usbTipsDelay = 10000;
std::function<qint64()> WindowSeams::clock;
std::function<void(const QList<_MsgMessage *> &)> WindowSeams::printHook;

qint64 WindowSeams::unixNow()
{
    return clock ? clock() : QDateTime::currentSecsSinceEpoch();
}
