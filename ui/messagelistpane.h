#pragma once
// The right side of the window: the message list, the conversation view below
// it and the count of messages. Both views point into the store the list was
// filled from, which the pane keeps alive while it shows its records. Only
// the date orders the list, oldest or newest first.
#include <QItemSelection>
#include <QList>
#include <QObject>
#include <QSharedPointer>

class ItemModelSms;
class QLabel;
class QTreeView;
class SmsBrowser;
struct _MsgMessage;
struct _MsgStore;

class MessageListPane : public QObject
{
    Q_OBJECT

public:
    // model: the list's model, which the caller owns.
    MessageListPane(ItemModelSms *model, QTreeView *list, SmsBrowser *browser, QLabel *count, QObject *parent);

    // Sorts messages by the list's order, then shows them; the pane keeps
    // the store it kept (a re-sort of the same records).
    void showMessages(QList<_MsgMessage *> &messages);
    // showMessages for records of store, which the pane then keeps alive.
    void showStoreMessages(const QSharedPointer<_MsgStore> &store, QList<_MsgMessage *> &messages);
    void clear();
    // The store whose records the list shows, or null.
    QSharedPointer<_MsgStore> shownStore() const { return shown; }
    bool ascending() const;
    // Sorts list as the list is sorted.
    void sortAsShown(QList<_MsgMessage *> &list) const;
    QList<_MsgMessage *> selectedMessages() const;
    bool hasSelectedRows() const;
    // Makes the next message after the current row (round to the top) that
    // contains keyword current; a box when none does.
    void search(const QString &keyword);

    void onSortIndicatorChanged(int logicalIndex);
    void onItemSelected(const QItemSelection &selected);

private:
    // Wide enough for any date the list shows.
    int dateColumnWidth() const;

    ItemModelSms *model;
    QTreeView *list;
    SmsBrowser *browser;
    QLabel *count;
    QSharedPointer<_MsgStore> shown;
};
