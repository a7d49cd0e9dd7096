#include "ui/devicebusy.h"

#include <QTimer>
#include <algorithm>

DeviceBusy::DeviceBusy(QObject *parent) : QObject(parent) {}

DeviceBusy::Hold::Hold(DeviceBusy &busy, const QString &key) : busy(busy), key(key)
{
    busy.busyKeys.insert(key);
}

DeviceBusy::Hold::~Hold()
{
    busy.busyKeys.remove(key);
    // Queued: a kept call must not run inside the frame that just ended its
    // work, which may still be on its way out of a modal loop.
    if (busy.keptCount(key) > 0) {
        DeviceBusy *owner = &busy;
        const QString freed = key;
        QTimer::singleShot(0, owner, [owner, freed]() { owner->runKept(freed); });
    }
    emit busy.released(key);
}

bool DeviceBusy::keepWhileBusy(const QString &key, const QString &tag, const std::function<void()> &call)
{
    if (!isBusy(key))
        return false;
    kept.append({key, tag, call});
    return true;
}

void DeviceBusy::dropTagged(const QString &tag)
{
    kept.erase(std::remove_if(kept.begin(), kept.end(), [&tag](const Kept &k) { return k.tag == tag; }),
               kept.end());
}

int DeviceBusy::keptCount(const QString &key) const
{
    return int(std::count_if(kept.cbegin(), kept.cend(), [&key](const Kept &k) { return k.key == key; }));
}

void DeviceBusy::runKept(const QString &key)
{
    // Each call runs to its end (modal loops included) before the next; one
    // that holds the key again lets its nested keeps queue behind the rest.
    while (!isBusy(key)) {
        const auto it = std::find_if(kept.begin(), kept.end(), [&key](const Kept &k) { return k.key == key; });
        if (it == kept.end())
            return;
        const std::function<void()> call = it->call;
        kept.erase(it);
        call();
    }
}
