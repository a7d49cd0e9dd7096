#pragma once
// The modal progress dialog: a worker thread's only channel back to the user.
// The worker posts progress, errors, success and tips by queued calls, polls
// `failed` (the dialog ended with 0: cancel or error) and waits out a tip
// with waitForTips().
#include "app/winmovable.h"

#include <QDialog>
#include <atomic>

namespace Ui {
class ProgressForm;
}

class ProgressForm : public QDialog
{
    Q_OBJECT

public:
    ProgressForm(const QString &status, QWidget *parent);
    ~ProgressForm() override;

    void setCancelEnabled(bool enabled);

    // Worker side: queued into the GUI thread when called from a worker.
    void postUpdateProgress(const QString &status, int value, const QString &text);
    void postErrorOccurred(const QString &message);
    void postSucceed(const QString &message);
    void postTipsWait(const QString &message);

    // Worker side, at a tip: sleeps in 200 ms steps until the user has closed
    // the tip's box. Throws the int -1 when the dialog has already ended
    // (cancel or error), since then the box will never be shown.
    void waitForTips() const;

    // The widgets, for the starter and tests.
    Ui::ProgressForm *widgets() const { return ui; }

    // True from postTipsWait until the user has closed the tip's box.
    bool isTipsWaiting() const { return tipsWaiting; }

    std::atomic<bool> failed;

signals:
    void userCacel();

public slots:
    void updateProgress(QString status, int value, QString text);
    void errorOccurred(QString message);
    void succeed(QString message);
    void onFinish(int result);
    void tipsWait(QString message);
    void cancel();

    // Only succeed, errorOccurred and cancel end the dialog: Esc and a close
    // request come here and are ignored.
    void accept() override;
    void reject() override;

private:
    // Written only by postTipsWait and tipsWait; a worker waits on it only
    // through waitForTips, which also gives up once the dialog has ended.
    std::atomic<bool> tipsWaiting;
    WinMovable movable;
    Ui::ProgressForm *ui;
};
