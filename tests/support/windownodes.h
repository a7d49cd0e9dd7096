#pragma once
// Finding and selecting the main window's tree nodes in tests. Header only:
// the cases that use it link the window already.
#include "ui/itemmodelmain.h"
#include "ui/mainwindow.h"

#include "ui_mainwindow.h"

#include <QStringList>
#include <QTreeView>

namespace testsupport {

// The phone nodes of an id, in tree order.
inline QList<MainWindow::Node *> iphoneNodes(MainWindow &window, const QString &udid)
{
    QList<MainWindow::Node *> nodes;
    for (MainWindow::Node *child : window.treeModel()->rootDevice->children) {
        if (child->type == ITEM_IOS_DEVICE && static_cast<_IOSDeviceItemNode *>(child)->device.uniqueDeviceId == udid)
            nodes.append(child);
    }
    return nodes;
}

inline MainWindow::Node *localDbNode(MainWindow &window, const QString &name)
{
    for (MainWindow::Node *child : window.treeModel()->rootLocalDB->children) {
        if (child->text == name)
            return child;
    }
    return nullptr;
}

// Makes node the tree's current row, as a click does; the list then shows it.
inline void selectNode(MainWindow &window, MainWindow::Node *node)
{
    window.widgets()->treeViewDS->setCurrentIndex(window.treeModel()->indexOf(node));
}

// The child of parent with this text, or nullptr.
inline MainWindow::Node *childNamed(MainWindow::Node *parent, const QString &text)
{
    for (MainWindow::Node *child : parent->children) {
        if (child->text == text)
            return child;
    }
    return nullptr;
}

// The names of the local databases, in tree order.
inline QStringList localDbNames(MainWindow &window)
{
    QStringList names;
    for (MainWindow::Node *child : window.treeModel()->rootLocalDB->children)
        names << child->text;
    return names;
}

} // namespace testsupport
