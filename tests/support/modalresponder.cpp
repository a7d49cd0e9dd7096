#include "tests/support/modalresponder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>

namespace testsupport {

ModalResponder::ModalResponder(QObject *parent) : QObject(parent)
{
    qApp->installEventFilter(this);
    // A window shown before the responder was made is found once it is the
    // active modal one.
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [this]() { poll(); });
    timer.start();
}

bool ModalResponder::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (widget->isWindow() && widget->isModal())
            take(widget);
    }
    return false;
}

void ModalResponder::on(const QString &className, Handler handler)
{
    handlers.insert(className, std::move(handler));
}

void ModalResponder::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible())
        take(modal);
}

void ModalResponder::take(QWidget *modal)
{
    for (const QPointer<QWidget> &w : handled) {
        if (w == modal)
            return;
    }
    handled.append(modal);
    const QString className = QString::fromLatin1(modal->metaObject()->className());
    classes.append(className);
    Handler handler = handlers.value(className);
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        texts.append(box->text());
        icons.append(box->icon());
        if (!handler) {
            handler = [](QWidget *w) {
                if (QAbstractButton *ok = static_cast<QMessageBox *>(w)->button(QMessageBox::Ok))
                    ok->click();
            };
        }
    }
    if (!handler)
        return;
    // From a fresh event, so that the window's own exec loop is running.
    QPointer<QWidget> target(modal);
    QTimer::singleShot(0, this, [target, handler]() {
        if (target)
            handler(target);
    });
}

} // namespace testsupport
