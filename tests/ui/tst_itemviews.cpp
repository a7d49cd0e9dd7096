// The tree and list views: the selection signal sees the selection already
// updated; mouse and keyboard context-menu requests are announced and still
// reach the parent widget.
#include "tests/support/testmain.h"
#include "ui/mylistview.h"
#include "ui/mytreeview.h"

#include <QContextMenuEvent>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace tst_itemviews {

namespace {

class Parent : public QWidget
{
public:
    int contextMenus = 0;

protected:
    void contextMenuEvent(QContextMenuEvent *event) override
    {
        ++contextMenus;
        event->accept();
    }
};

template <typename View>
struct Setup
{
    Parent parent;
    QStandardItemModel model;
    View *view;

    Setup()
    {
        for (int i = 0; i < 3; ++i)
            model.appendRow(new QStandardItem(QStringLiteral("row %1").arg(i)));
        view = new View(&parent);
        view->setModel(&model);
        auto *layout = new QVBoxLayout(&parent);
        layout->addWidget(view);
        parent.resize(300, 400);
        parent.show();
    }
};

} // namespace

class TestItemViews : public QObject
{
    Q_OBJECT

    template <typename View>
    void selectionSignal()
    {
        Setup<View> s;
        View *view = s.view;
        QList<bool> seenSelected;
        QList<QModelIndexList> seenArgs;
        connect(view, &View::onSelectionChanged, view,
                [&](const QItemSelection &selected, const QItemSelection &) {
                    seenSelected << view->selectionModel()->isSelected(s.model.index(1, 0));
                    seenArgs << selected.indexes();
                });
        const QRect row = view->visualRect(s.model.index(1, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
        QCOMPARE(seenSelected, QList<bool>{true});
        QCOMPARE(seenArgs.size(), 1);
        QCOMPARE(seenArgs.first(), QModelIndexList{s.model.index(1, 0)});
        // Deselection is announced as well, with what went.
        view->selectionModel()->clearSelection();
        QCOMPARE(seenSelected.size(), 2);
        QCOMPARE(seenSelected.last(), false);
    }

    template <typename View>
    void contextMenus()
    {
        Setup<View> s;
        View *view = s.view;
        QSignalSpy requests(view, &View::createContextMenu);

        // A right click below the last row, through the viewport as Qt sends it.
        const QPoint empty(view->viewport()->width() / 2, view->viewport()->height() - 5);
        QVERIFY(!view->indexAt(empty).isValid());
        QContextMenuEvent mouse(QContextMenuEvent::Mouse, empty, view->viewport()->mapToGlobal(empty));
        QCoreApplication::sendEvent(view->viewport(), &mouse);
        QCOMPARE(requests.count(), 1);
        QCOMPARE(s.parent.contextMenus, 1);

        // On a row.
        const QPoint onRow = view->visualRect(s.model.index(0, 0)).center();
        QContextMenuEvent onItem(QContextMenuEvent::Mouse, onRow, view->viewport()->mapToGlobal(onRow));
        QCoreApplication::sendEvent(view->viewport(), &onItem);
        QCOMPARE(requests.count(), 2);
        QCOMPARE(s.parent.contextMenus, 2);

        // The menu key: the event goes to the focused view itself.
        view->setFocus();
        QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(5, 5), view->mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(view, &key);
        QCOMPARE(requests.count(), 3);
        QCOMPARE(s.parent.contextMenus, 3);
    }

private slots:
    void treeSelection() { selectionSignal<MyTreeView>(); }
    void listSelection() { selectionSignal<MyListView>(); }
    void treeContextMenus() { contextMenus<MyTreeView>(); }
    void listContextMenus() { contextMenus<MyListView>(); }
};

QP_TEST_MAIN(TestItemViews)

} // namespace tst_itemviews

#include "tst_itemviews.moc"
