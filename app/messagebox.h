#pragma once
// The styled message boxes every part of the user interface uses.
#include <QString>

// The maker's support address shown in the error box.
extern const char *const kSupportEmail;

// The common frameless box; answers the standard button pressed.
int showMessageBox(int icon, const QString &text, int buttons);
void showInformation(const QString &text);
void showWarning(const QString &text);
// True when the user pressed Yes.
bool showQuestion(const QString &text);
// The error box, then the error report of the same message.
void showError(const QString &message);
void showCritical(const QString &text);
// The text the error box shows for message.
QString errorBoxText(const QString &message);
