#include "tests/support/testmain.h"

#include "ios/backupfilenode.h"

namespace {

_MbdbRecord record(const QString &domain, const QString &path, quint32 inode = 0)
{
    _MbdbRecord r;
    r.domain.setBytes(domain.toUtf8());
    r.path.setBytes(path.toUtf8());
    r.inodeLow = inode;
    return r;
}

// Records from "domain|path" entries.
QHash<QString, _MbdbRecord> records(const QStringList &entries)
{
    QHash<QString, _MbdbRecord> all;
    for (const QString &entry : entries) {
        const _MbdbRecord r = record(entry.section('|', 0, 0), entry.section('|', 1));
        all.insert(mbdb_record_file_id(r), r);
    }
    return all;
}

// The children of node (recursively) as "name(children ...)", in their order.
QString dump(const _BackupFileNode &node)
{
    QStringList parts;
    for (const _BackupFileNode *child : node.children) {
        QString text = child->name;
        if (child->parent != &node)
            text += "<wrong parent>";
        parts << (child->children.isEmpty() ? text : text + '(' + dump(*child) + ')');
    }
    return parts.join(' ');
}

const _BackupFileNode *child(const _BackupFileNode *node, const QString &name)
{
    for (const _BackupFileNode *c : node->children)
        if (c->name == name)
            return c;
    return nullptr;
}

} // namespace

class TestBackupFileNode : public QObject
{
    Q_OBJECT

private slots:
    void buildsTheTree_data();
    void buildsTheTree();
    void domainSortingFirstGivesTheNode();
    void rootAndApplicationsAreEmptyFolders();
    void treeIsBuiltOnce();
};

void TestBackupFileNode::buildsTheTree_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("tree");
    QTest::newRow("folders listed")
        << QStringList{"HomeDomain|", "HomeDomain|Library", "HomeDomain|Library/SMS", "HomeDomain|Library/SMS/sms.db"}
        << "Library(SMS(sms.db))";
    QTest::newRow("parent folder not listed")
        << QStringList{"HomeDomain|Library", "HomeDomain|Library/SMS/sms.db"} << "Library sms.db";
    QTest::newRow("one path in two domains")
        << QStringList{"MediaDomain|Library", "MediaDomain|Library/SMS", "MediaDomain|Library/SMS/Attachments",
                       "MediaDomain|Library/SMS/Attachments/ab", "MediaDomain|Library/SMS/Attachments/ab/IMG.jpg",
                       "HomeDomain|Library", "HomeDomain|Library/SMS", "HomeDomain|Library/SMS/sms.db"}
        << "Library(SMS(sms.db Attachments(ab(IMG.jpg))))";
    QTest::newRow("application domain")
        << QStringList{"HomeDomain|Library", "AppDomain-com.example.app|Documents/a.txt",
                       "AppDomain-com.example.app|", "AppDomain-com.example.app|Documents"}
        << "Applications(com.example.app(Documents(a.txt))) Library";
    // Without the domain's own record, its folders have no parent node.
    QTest::newRow("application without its own record")
        << QStringList{"AppDomain-b|Documents", "AppDomain-b|Documents/x"} << "Applications Documents(x)";
    QTest::newRow("no dash after AppDomain")
        << QStringList{"AppDomainX|Documents", "AppDomainX|Documents/a.txt"} << "Documents(a.txt)";
    QTest::newRow("paths ending in a slash or doubled")
        << QStringList{"HomeDomain|/x", "HomeDomain|a/", "HomeDomain|a", "HomeDomain|a//b", "HomeDomain|c/d/"}
        << "x a b";
    QTest::newRow("names in other scripts")
        << QStringList{"MediaDomain|DCIM", QString::fromUtf8("MediaDomain|DCIM/\xF0\x9F\x98\x80 caf\xC3\xA9.jpg")}
        << QString::fromUtf8("DCIM(\xF0\x9F\x98\x80 caf\xC3\xA9.jpg)");
    QTest::newRow("nothing") << QStringList() << QString();
}

void TestBackupFileNode::buildsTheTree()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, tree);
    _BackupFileNode root;
    root.buildTree(records(entries));
    QCOMPARE(dump(root), tree);
}

void TestBackupFileNode::domainSortingFirstGivesTheNode()
{
    QHash<QString, _MbdbRecord> all;
    for (const _MbdbRecord &r : {record("MediaDomain", "Library/SMS", 2), record("HomeDomain", "Library/SMS", 1),
                                 record("MediaDomain", "Library/SMS/Attachments", 3)})
        all.insert(mbdb_record_file_id(r), r);
    _BackupFileNode root;
    root.buildTree(all);
    QCOMPARE(dump(root), QStringLiteral("SMS(Attachments)"));
    const _BackupFileNode *sms = root.children.at(0);
    QCOMPARE(sms->record.domain.toQString(), QStringLiteral("HomeDomain"));
    QCOMPARE(sms->record.inodeLow, quint32(1));
    QCOMPARE(sms->children.at(0)->record.inodeLow, quint32(3));
}

void TestBackupFileNode::rootAndApplicationsAreEmptyFolders()
{
    _BackupFileNode root;
    root.buildTree(records({"AppDomain-a|", "AppDomain-a|Library"}));
    QVERIFY(root.parent == nullptr);
    QVERIFY(root.name.isEmpty());
    QVERIFY(root.record.domain.isAbsent());
    QVERIFY(root.record.isDirectory());

    const _BackupFileNode *apps = child(&root, "Applications");
    QVERIFY(apps);
    QVERIFY(apps->record.domain.isAbsent());
    QVERIFY(apps->record.path.isAbsent());
    QCOMPARE(apps->record.mode, quint16(0));
    QVERIFY(apps->record.isDirectory());

    const _BackupFileNode *app = child(apps, "a");
    QVERIFY(app);
    QCOMPARE(app->record.domain.toQString(), QStringLiteral("AppDomain-a"));
    QVERIFY(app->record.path.toQString().isEmpty());
    QVERIFY(child(app, "Library"));
}

void TestBackupFileNode::treeIsBuiltOnce()
{
    _BackupFileNode root;
    root.buildTree(records({"HomeDomain|Library"}));
    root.buildTree(records({"HomeDomain|Library", "HomeDomain|Other"}));
    QCOMPARE(dump(root), QStringLiteral("Library"));

    // An empty first build leaves room for the next one.
    _BackupFileNode empty;
    empty.buildTree({});
    empty.buildTree(records({"HomeDomain|Other"}));
    QCOMPARE(dump(empty), QStringLiteral("Other"));
}

QP_TEST_MAIN(TestBackupFileNode)
#include "tst_backupfilenode.moc"
