#include "tests/support/dialogdriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QtTest/QTest>

DialogDriver::DialogDriver(QObject *parent) : QObject(parent)
{
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [this]() { poll(); });
    timer.start();
}

void DialogDriver::then(Action action)
{
    actions.append({false, std::move(action)});
}

void DialogDriver::thenBox(Action action)
{
    actions.append({true, std::move(action)});
}

void DialogDriver::thenPress(QMessageBox::StandardButton button)
{
    thenBox([button](QWidget *w) { press(w, button); });
}

void DialogDriver::thenKey(int key)
{
    then([key](QWidget *w) { QTest::keyClick(w, Qt::Key(key)); });
}

void DialogDriver::thenLeave()
{
    then([](QWidget *) {});
}

void DialogDriver::press(QWidget *box, QMessageBox::StandardButton button)
{
    auto *messageBox = qobject_cast<QMessageBox *>(box);
    QAbstractButton *b = messageBox ? messageBox->button(button) : nullptr;
    if (b)
        b->click();
    else
        qWarning("DialogDriver: no button %d on %s", int(button), box->metaObject()->className());
}

bool DialogDriver::waitForSeen(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (seenWindows.size() < count && !deadline.hasExpired())
        QTest::qWait(10);
    return seenWindows.size() >= count;
}

void DialogDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    for (const QPointer<QWidget> &w : handled) {
        if (w == modal)
            return;
    }
    handled.append(modal);

    Seen seen;
    seen.className = QString::fromLatin1(modal->metaObject()->className());
    seen.objectName = modal->objectName();
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        seen.text = box->text();
        seen.icon = box->icon();
    }
    seenWindows.append(seen);

    if (actions.isEmpty())
        return;
    if (actions.first().boxOnly && !qobject_cast<QMessageBox *>(modal))
        return;
    Action action = actions.takeFirst().action;
    // Act from a fresh event so that the window's own exec loop is running.
    QPointer<QWidget> target(modal);
    QTimer::singleShot(0, this, [target, action]() {
        if (target)
            action(target);
    });
}

QList<DialogDriver::Seen> DialogDriver::seenBoxes() const
{
    QList<Seen> boxes = seenWindows;
    boxes.removeIf([](const Seen &s) { return s.className != QLatin1String("QMessageBox"); });
    return boxes;
}

QList<DialogDriver::Seen> DialogDriver::boxesDuring(const std::function<void()> &run)
{
    const qsizetype before = seenBoxes().size();
    run();
    return seenBoxes().mid(before);
}

int DialogDriver::runUnder(QDialog &dialog, QThread &worker)
{
    worker.start();
    const int result = dialog.exec();
    worker.wait();
    return result;
}
