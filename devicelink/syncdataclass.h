#pragma once
// The data class a sync opens (mobilesync.h), with the two anchors the device
// compares to find what changed since the last sync. All three are passed to
// the device as the caller gives them.
#include <QString>

struct _SyncDataClass
{
    _SyncDataClass(const QString &dataClass, const QString &firstAnchor, const QString &secondAnchor)
        : dataClass(dataClass), firstAnchor(firstAnchor), secondAnchor(secondAnchor)
    {
    }

    QString dataClass;    // e.g. "com.apple.Contacts"; item 1 of the opening message
    QString firstAnchor;  // item 2
    QString secondAnchor; // item 3
};
