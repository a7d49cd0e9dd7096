#pragma once
// Drives modal dialogs and message boxes from the GUI thread: each modal
// window that appears is recorded and handed to the next queued action (with
// none queued it is left open). A test queues its answers, then runs the code
// that opens the boxes.
#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <functional>

class QThread;

class DialogDriver : public QObject
{
public:
    struct Seen
    {
        QString className;
        QString objectName;
        QString text;  // a message box's text, else empty
        int icon = 0;  // a message box's icon
    };
    using Action = std::function<void(QWidget *)>;

    explicit DialogDriver(QObject *parent = nullptr);

    // Queues an action for the next new modal window.
    void then(Action action);
    // Queues an action for the next message box; other modal windows that
    // come before it are recorded and left open.
    void thenBox(Action action);
    // Queues a press of the standard button of the next message box.
    void thenPress(QMessageBox::StandardButton button);
    // Queues a key press on the next modal window.
    void thenKey(int key);
    // Queues leaving the next modal window open (it is recorded only).
    void thenLeave();

    QList<Seen> seen() const { return seenWindows; }
    // Only the message boxes among them.
    QList<Seen> seenBoxes() const;
    // The message boxes seen while run ran.
    QList<Seen> boxesDuring(const std::function<void()> &run);
    int pending() const { return int(actions.size()); }
    // Spins the event loop until count windows were seen or the time is up.
    bool waitForSeen(int count, int timeoutMs = 20000) const;

    static void press(QWidget *box, QMessageBox::StandardButton button);
    // Starts the worker, runs the dialog it reports to until it closes, then
    // waits for the worker: the way the window runs every operation.
    static int runUnder(QDialog &dialog, QThread &worker);

private:
    void poll();

    QTimer timer;
    struct Pending
    {
        bool boxOnly;
        Action action;
    };
    QList<Pending> actions;
    QList<Seen> seenWindows;
    QList<QPointer<QWidget>> handled;
};
