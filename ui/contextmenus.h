#pragma once
// The context menus of the window's tree and message list: which entries a
// row of each kind offers, each naming the window's slot it triggers. A
// transfer entry is on only when its chooser has a phone to offer.
#include "ui/abstreeitemmodel.h"

#include <QList>

class MainWindow;

class ContextMenus
{
public:
    // One entry: a text of the "QObject" context, an icon resource (or
    // none), the slot, and whether the entry is enabled.
    struct Entry
    {
        const char *text;
        const char *icon;
        void (MainWindow::*slot)();
        bool enabled = true;
    };

    // The tree's menu for node; iosTargets, androidTargets: how many phones
    // of each kind a transfer from node may go to.
    static QList<Entry> ofTree(const AbsTreeItemModel::_ItemNode *node, int iosTargets, int androidTargets);
    // The list's menu when it shows messages of a source of that type.
    static QList<Entry> ofList(int sourceType, int iosTargets, int androidTargets);
    // Runs the menu at the cursor; nothing for no entries.
    static void show(MainWindow *window, const QList<Entry> &entries);
};
