#include "ui/mytreeview.h"

#include <QContextMenuEvent>

MyTreeView::MyTreeView(QWidget *parent) : QTreeView(parent) {}

void MyTreeView::contextMenuEvent(QContextMenuEvent *event)
{
    emit createContextMenu();
    // The scroll area's handler ignores the event, so it goes on to the
    // parent widget as an unhandled one would.
    QAbstractScrollArea::contextMenuEvent(event);
}

void MyTreeView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    emit onSelectionChanged(selected, deselected);
    QTreeView::selectionChanged(selected, deselected);
}
