#pragma once
// Boxes nobody asked for (an arrival's note, the Android hint) come one at a
// time: a notice that comes while another is open waits, in an event loop of
// its own, until that one is closed. Stacked boxes let a click meant for one
// close the other.
//
// The wait ends when the open box closes, not when the call that showed it
// returns: that call sits below the waiting one on the stack and cannot return
// before it.
#include <QString>

class NoticeQueue
{
public:
    // Shows text in the common box with an Ok button (icon: a QMessageBox
    // icon) once no other notice is open; returns when it is closed.
    static void show(int icon, const QString &text);
    // Whether a notice is open now.
    static bool isShowing();
};
