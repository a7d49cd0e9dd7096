#pragma once
// Process-wide settings of the main window that only tests set, before they
// build a window; the program itself never changes them. Each has the
// program's own behaviour as its default.
#include <QList>
#include <QtGlobal>
#include <functional>

struct _MsgMessage;

class WindowSeams
{
public:
    // Delay of the Android hint after start-up in ms; negative: no hint.
    static int usbTipsDelay;
    // The clock of the daily update check (Unix seconds); empty: the system's.
    static std::function<qint64()> clock;
    // Takes the list printing would hand to the print preview instead of
    // opening it; empty: the preview opens.
    static std::function<void(const QList<_MsgMessage *> &)> printHook;

    // Now, by clock.
    static qint64 unixNow();
};
