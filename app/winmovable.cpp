#include "app/winmovable.h"

#include <QMouseEvent>
#include <QWidget>

WinMovable::WinMovable(QWidget *target)
    : QObject(nullptr), target(target), pressPos(0, 0), leftPressed(false)
{
    target->installEventFilter(this);
}

bool WinMovable::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        pressPos = mouse->position().toPoint();
        leftPressed = mouse->button() == Qt::LeftButton;
        break;
    }
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (!pressPos.isNull() && leftPressed)
            target->move(target->geometry().topLeft() + mouse->position().toPoint() - pressPos);
        break;
    }
    case QEvent::MouseButtonRelease:
        leftPressed = false;
        break;
    default:
        break;
    }
    return false;
}
