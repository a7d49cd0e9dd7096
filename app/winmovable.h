#pragma once
// Lets the user drag a frameless window with the left mouse button.
#include <QObject>
#include <QPoint>

class QWidget;

class WinMovable : public QObject
{
public:
    explicit WinMovable(QWidget *target);

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *target;
    QPoint pressPos;
    bool leftPressed;
};
