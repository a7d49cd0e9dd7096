#pragma once
// Answers modal windows by their class rather than by their order: an answer
// queued for a window would go to the one after it if that window closed
// first. Each modal window is recorded once, when it is shown (a worker's
// progress form may close again within a few milliseconds), and handed to the
// handler of its class (none: left alone, as a progress form should be).
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>

class QWidget;

namespace testsupport {

class ModalResponder : public QObject
{
public:
    using Handler = std::function<void(QWidget *)>;

    explicit ModalResponder(QObject *parent = nullptr);

    // Every later window of the class goes to handler ("QMessageBox",
    // "LocalDbSelForm", ...). Without a handler of their own, message boxes
    // are answered Ok.
    void on(const QString &className, Handler handler);

    // Class names of the windows seen, in order.
    QStringList seen() const { return classes; }
    // Texts of the message boxes seen, in order, and their icons.
    QStringList boxTexts() const { return texts; }
    QList<int> boxIcons() const { return icons; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void poll();
    void take(QWidget *modal);

    QTimer timer;
    QMap<QString, Handler> handlers;
    QList<QPointer<QWidget>> handled;
    QStringList classes;
    QStringList texts;
    QList<int> icons;
};

} // namespace testsupport
