#include "ui/mylistview.h"

#include <QContextMenuEvent>

MyListView::MyListView(QWidget *parent) : QListView(parent) {}

void MyListView::contextMenuEvent(QContextMenuEvent *event)
{
    emit createContextMenu();
    // The scroll area's handler ignores the event, so it goes on to the
    // parent widget as an unhandled one would.
    QAbstractScrollArea::contextMenuEvent(event);
}

void MyListView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    emit onSelectionChanged(selected, deselected);
    QListView::selectionChanged(selected, deselected);
}
