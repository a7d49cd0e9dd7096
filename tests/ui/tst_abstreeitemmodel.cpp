// The tree model base through a small subclass: removal signals, the index
// cache and its refresh after siblings move up, and Qt's model contract
// through adds and removals.
#include "tests/support/testmain.h"
#include "ui/abstreeitemmodel.h"

#include <QAbstractItemModelTester>
#include <QTreeView>

namespace tst_abstreeitemmodel {

namespace {

int liveNodes = 0;

class CountedNode : public AbsTreeItemModel::_ItemNode
{
public:
    CountedNode(const QString &text, _ItemNode *parent) : _ItemNode(parent ? 1 : 0, text, parent) { ++liveNodes; }
    ~CountedNode() override { --liveNodes; }
};

class TreeModel : public AbsTreeItemModel
{
public:
    using AbsTreeItemModel::AbsTreeItemModel;

    int columnCount(const QModelIndex &) const override { return 1; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || role != Qt::DisplayRole)
            return QVariant();
        return static_cast<_ItemNode *>(index.internalPointer())->text;
    }

    _ItemNode *add(const QString &text, _ItemNode *parent = nullptr)
    {
        QList<_ItemNode *> &list = parent ? parent->children : roots;
        beginInsertRows(parent ? indexOf(parent) : QModelIndex(), int(list.size()), int(list.size()));
        auto *node = new CountedNode(text, parent);
        list.append(node);
        endInsertRows();
        return node;
    }
};

// Each removal as announced: the parent's text ("" for the top level), first,
// last. Read when announced: the parent may be gone afterwards.
void recordRemovals(QAbstractItemModel *model, QStringList *out)
{
    QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, model,
                     [out](const QModelIndex &parent, int first, int last) {
                         *out << QStringLiteral("%1:%2-%3").arg(parent.data().toString()).arg(first).arg(last);
                     });
}

} // namespace

class TestAbsTreeItemModel : public QObject
{
    Q_OBJECT

private slots:
    void removalSignals_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("wholeNode");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("rootsLeft");
        QTest::newRow("all roots at once") << QString() << false << QStringList{":0-2"} << 0;
        QTest::newRow("childless node: nothing") << "c" << false << QStringList{} << 3;
        QTest::newRow("two children, then the node") << "b" << true << QStringList{"b:0-1", ":1-1"} << 2;
        QTest::newRow("children only") << "b" << false << QStringList{"b:0-1"} << 3;
        QTest::newRow("a leaf") << "b2" << true << QStringList{"b:1-1"} << 3;
    }

    void removalSignals()
    {
        QFETCH(QString, target);
        QFETCH(bool, wholeNode);
        QFETCH(QStringList, expected);
        QFETCH(int, rootsLeft);
        {
            TreeModel model;
            QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
            model.add("a");
            auto *b = model.add("b");
            model.add("c");
            model.add("b1", b);
            model.add("b2", b);
            AbsTreeItemModel::_ItemNode *node = nullptr;
            for (auto *n : model.allNodes())
                if (n->text == target)
                    node = n;
            QStringList seen;
            recordRemovals(&model, &seen);
            if (wholeNode)
                model.removeNode(node);
            else
                model.removeChildren(node);
            QCOMPARE(seen, expected);
            QCOMPARE(int(model.roots.size()), rootsLeft);
        }
        QCOMPARE(liveNodes, 0);
    }

    void indexWritesTheCacheParentAnswersFromIt()
    {
        TreeModel model;
        auto *p = model.add("p");
        model.add("x", p);
        model.add("y", p);
        auto *third = model.add("z", p);
        auto *grandchild = model.add("z1", third);

        const QModelIndex at = model.index(2, 0, model.indexOf(p));
        QCOMPARE(third->cachedIndex.row, 2);
        QCOMPARE(third->cachedIndex.column, 0);
        QCOMPARE(third->cachedIndex.pointer, static_cast<void *>(third));
        QCOMPARE(third->cachedIndex.model, &model);
        QCOMPARE(model.parent(model.index(0, 0, at)), at);
        QCOMPARE(model.indexOf(grandchild).parent(), at);
    }

    void indexOfWithoutCacheSearchesTheSiblings()
    {
        TreeModel model;
        auto *p = model.add("p");
        model.add("x", p);
        auto *y = new CountedNode("y", p); // never handed out by index()
        p->children.append(y);
        QCOMPARE(y->cachedIndex.row, -1);
        const QModelIndex at = model.indexOf(y);
        QCOMPARE(at.row(), 1);
        QCOMPARE(at.column(), 0);
        QCOMPARE(at.internalPointer(), static_cast<void *>(y));

        // A node that stands in no list: invalid, and removeNode leaves it.
        auto *loose = new CountedNode("loose", p);
        model.add("loose1", loose);
        QVERIFY(!model.indexOf(loose).isValid());
        model.removeNode(loose);
        QVERIFY(loose->children.isEmpty());
        delete loose;
    }

    // Removing the first of two indexed siblings under a collapsed parent
    // moves the second up; its cached row must not point past the list. No
    // model tester here: it asks for the neighbours' indexes around every
    // removal, which would refresh the caches this case is about.
    void siblingMovedUpIsFoundAtItsNewRow()
    {
        TreeModel model;
        auto *phones = model.add("phones");
        auto *first = model.add("first", phones);
        auto *second = model.add("second", phones);
        auto *other = model.add("other", phones);
        model.add("chat", second);
        QTreeView view;
        view.setModel(&model);
        view.collapseAll();

        const QModelIndex chatAt = model.index(0, 0, model.index(1, 0, model.indexOf(phones)));
        QCOMPARE(model.indexOf(second).row(), 1);
        model.removeNode(first);
        QCOMPARE(model.indexOf(second).row(), 0);
        QCOMPARE(model.parent(chatAt).row(), 0);
        QCOMPARE(model.parent(chatAt).internalPointer(), static_cast<void *>(second));

        view.setCurrentIndex(model.indexOf(second));
        QCOMPARE(view.currentIndex().internalPointer(), static_cast<void *>(second));
        QSignalSpy moved(view.selectionModel(), &QItemSelectionModel::currentChanged);
        model.removeNode(second);
        QCOMPARE(moved.count(), 1);
        QVERIFY(view.currentIndex().internalPointer() != static_cast<void *>(second));
        QCOMPARE(view.currentIndex().internalPointer(), static_cast<void *>(other));
        QCOMPARE(view.currentIndex().row(), 0);
    }

    void nodeChangedNamesTheNodeAndItsChildren()
    {
        TreeModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        auto *p = model.add("p");
        model.add("p1", p);
        model.add("p2", p);
        auto *leaf = model.add("q");
        QSignalSpy spy(&model, &QAbstractItemModel::dataChanged);
        model.nodeChanged(p);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(1).at(0).toModelIndex().data().toString(), QString("p1"));
        QCOMPARE(spy.at(1).at(1).toModelIndex().data().toString(), QString("p2"));
        model.nodeChanged(leaf);
        QCOMPARE(spy.count(), 3);
        QCOMPARE(spy.at(2).at(0).toModelIndex().data().toString(), QString("q"));
    }

    void allNodesInPreOrderAndCountChildren()
    {
        TreeModel model;
        auto *a = model.add("a");
        model.add("a1", a);
        auto *a2 = model.add("a2", a);
        model.add("a21", a2);
        model.add("b");
        QStringList texts;
        for (auto *n : model.allNodes())
            texts << n->text;
        QCOMPARE(texts, (QStringList{"a", "a1", "a2", "a21", "b"}));
        a->children.at(0)->type = 7;
        QCOMPARE(a->countChildren(7), 1);
        QCOMPARE(a->countChildren(1), 1);
        QCOMPARE(a->countChildren(3), 0);
    }
};

QP_TEST_MAIN(TestAbsTreeItemModel)

} // namespace tst_abstreeitemmodel

#include "tst_abstreeitemmodel.moc"
