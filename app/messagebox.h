#pragma once
// The styled message boxes every part of the user interface uses.
#include <QString>
#include <functional>

// The maker's support address shown in the error box.
extern const char *const kSupportEmail;

// The common frameless box; answers the standard button pressed. closed, when
// given, runs as the box closes, before its event loop has returned.
int showMessageBox(int icon, const QString &text, int buttons, const std::function<void()> &closed = {});
void showInformation(const QString &text);
void showWarning(const QString &text);
// True when the user pressed Yes.
bool showQuestion(const QString &text);
// The error box, then the error report of the same message. message may
// hold the box's own markup: text from elsewhere goes through showErrorText.
void showError(const QString &message);
// The same for plain text (an exception's message, which may quote what a
// phone, a backup or a program said): shown as it is, never interpreted.
void showErrorText(const QString &plain);
void showCritical(const QString &text);
// A box of the same style that does not block the window: it stays until
// the user closes it or closeNotice(name) is called. A second notice of one
// name replaces the first one's text.
void showNotice(const QString &name, const QString &text);
void closeNotice(const QString &name);
// The text the error box shows for message.
QString errorBoxText(const QString &message);
