#pragma once
// A Qt tree view that announces selection changes and context-menu requests
// as signals of its own, before handling them as Qt does.
#include <QItemSelection>
#include <QTreeView>

class MyTreeView : public QTreeView
{
    Q_OBJECT

public:
    explicit MyTreeView(QWidget *parent = nullptr);

signals:
    // With the selection model already updated, before the view repaints.
    void onSelectionChanged(const QItemSelection &selected, const QItemSelection &deselected);
    // On every context-menu event, mouse or keyboard, over items or not. The
    // receiver takes the current index and the cursor's position itself.
    void createContextMenu();

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
};
