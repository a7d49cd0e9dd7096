#pragma once
// What an operation of the main window may touch, and nothing more: the tree
// of sources (whose nodes hold the databases and stores an operation keeps
// for its run), the guard of busy phones, the window as the parent of its
// choosers, boxes and progress forms, and a few calls back into the window's
// views. The window fills one in and hands it to each operation; a test may
// fill one in with a bare model and no window at all.
//
// Every call runs in the GUI thread. The modal loops of choosers and
// progress forms let arrivals and removals run meanwhile: an operation holds
// the shared database and store it works on, and looks its nodes up again
// (by store, id or name) after each loop instead of keeping node pointers.
#include "ui/abstreeitemmodel.h"

#include <QList>
#include <QModelIndex>
#include <QSharedPointer>
#include <QString>
#include <functional>

class DeviceBusy;
class ItemModelMain;
class ProgressForm;
class QThread;
class QWidget;
struct _MsgMessage;
struct _MsgStore;

class OperationContext
{
public:
    using Node = AbsTreeItemModel::_ItemNode;

    // Parent of every chooser, box and progress form.
    QWidget *window = nullptr;
    // The sources, their databases and stores.
    ItemModelMain *tree = nullptr;
    // Keeps a phone to one operation at a time.
    DeviceBusy *busy = nullptr;

    // The tree node the user is on, or nullptr.
    std::function<Node *()> currentNode;
    // Makes node current once what is pending has run: it is then shown
    // (loaded again) in the list.
    std::function<void(Node *)> selectNode;
    // Makes the row at index current at once.
    std::function<void(const QModelIndex &)> setCurrentIndex;
    // Drops the tree's selection (the current row stays).
    std::function<void()> clearSelection;
    // Removes node and its subtree, emptying the list first when it shows it.
    std::function<void(Node *)> removeNode;
    // Shows the records of store in the list, which keeps store alive.
    std::function<void(const QSharedPointer<_MsgStore> &, QList<_MsgMessage *> &)> showMessages;
    std::function<void()> clearMessages;
    // The rows selected in the list, and the store whose records it shows.
    std::function<QList<_MsgMessage *>()> selectedMessages;
    std::function<QSharedPointer<_MsgStore>()> shownStore;
    // Whether the list shows the oldest message first.
    std::function<bool()> listAscending;
    // A phone's operation ended or a phone left.
    std::function<void()> operationsChanged;

    // Runs a worker under its modal form; true when the form was accepted and
    // nothing failed. The caller deletes the worker, then the form.
    static bool runWorker(ProgressForm *form, QThread *worker);
    // The phone's country code when the country list knows it; otherwise the
    // user is told and picks one (the code stays as it was when they do not).
    QString settledCountry(const QString &mcc, const QString &phoneName) const;
    // The store that owns the records of messages: the shown list's or a
    // device or database node's; null when none does (or the list is empty).
    QSharedPointer<_MsgStore> storeOwning(const QList<_MsgMessage *> &messages) const;
    // A user text, looked up where the window's own texts are.
    static QString text(const char *source);
};
