#include "tests/support/testmain.h"

#include "ios/backupfilenode.h"
#include "tests/support/mbdbfixture.h"

#include <QRandomGenerator>
#include <QSet>

namespace tst_backupfilenode {

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
    void pathsEqualAsTextAreOneNode();
    void childrenOfOneDomainComeInTextOrder();
    void everyRecordOfARealManifestIsANodeOrAccountedFor();
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
    // Children come in the order of UTF-16 code units, where U+FF21 sorts
    // after a character beyond U+FFFF, though its UTF-8 bytes sort before.
    QTest::newRow("order of UTF-16, not of UTF-8")
        << QStringList{"MediaDomain|DCIM", QString::fromUtf8("MediaDomain|DCIM/IMG \uFF21.jpg"),
                       QString::fromUtf8("MediaDomain|DCIM/IMG \xF0\x9F\x98\x80.jpg"), "MediaDomain|DCIM/IMG b.jpg"}
        << QString::fromUtf8("DCIM(IMG b.jpg IMG \xF0\x9F\x98\x80.jpg IMG \uFF21.jpg)");
    // A folder that a later domain lists after a file of an earlier one
    // looked for it in vain still takes the files of its own domain.
    QTest::newRow("parent listed by a later domain")
        << QStringList{"MediaDomain|Library/x", "RootDomain|Library", "RootDomain|Library/y"} << "x Library(y)";
    QTest::newRow("Applications made after a path below it was listed")
        << QStringList{"AAADomain|Applications/z", "AppDomain-q|"} << "z Applications(q)";
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

// Paths are compared as text: bytes cut at a NUL, and invalid UTF-8 read as
// U+FFFD, name the same node as the text they read as.
void TestBackupFileNode::pathsEqualAsTextAreOneNode()
{
    QHash<QString, _MbdbRecord> all;
    const auto add = [&](const QByteArray &path, quint32 inode) {
        _MbdbRecord r;
        r.domain.setBytes("HomeDomain");
        r.path.setBytes(path);
        r.inodeLow = inode;
        all.insert(QString::number(inode), r);
    };
    add("Library", 1);
    add("Library/a\xFF" "b", 2);
    add("Library/a\xFE" "b", 3);
    add(QByteArray("Library/c\0junk", 14), 4);
    add("Library/c", 5);
    add("Library/caf\xC3\xA9", 6);
    _BackupFileNode root;
    root.buildTree(all);
    QCOMPARE(dump(root), QString::fromUtf8("Library(a\uFFFDb c caf\u00e9)"));
}

// Many paths of one domain, sharing long beginnings and mixing characters
// whose UTF-8 and UTF-16 orders differ: every folder lists its children in
// the order of QString::compare, each name once, and every path has a node.
void TestBackupFileNode::childrenOfOneDomainComeInTextOrder()
{
    const QStringList parts{"a", "b", "Z", ".", "a b", QString::fromUtf8("\u00e9"), QString::fromUtf8("\u00ff"),
                            QString::fromUtf8("\uE000"), QString::fromUtf8("\uFF21"),
                            QString::fromUtf8("\xF0\x9F\x98\x80"), QString::fromUtf8("\xF0\x9D\x84\x9E")};
    QRandomGenerator random(20230629);
    QHash<QString, _MbdbRecord> all;
    QSet<QString> paths;
    const QString base = "Library/Caches/com.example.cache/";
    for (int i = 0; i < 3000; ++i) {
        QString path = base;
        const int depth = 1 + int(random.bounded(3));
        for (int d = 0; d < depth; ++d) {
            if (d > 0)
                path += '/';
            for (int n = 1 + int(random.bounded(4)); n > 0; --n)
                path += parts.at(int(random.bounded(qsizetype(parts.size()))));
        }
        // Each folder on the way listed too, as phones list them.
        for (qsizetype slash = path.indexOf('/'); slash > 0; slash = path.indexOf('/', slash + 1))
            paths.insert(path.left(slash));
        paths.insert(path);
    }
    for (const QString &path : paths) {
        const _MbdbRecord r = record("HomeDomain", path);
        all.insert(mbdb_record_file_id(r), r);
    }
    _BackupFileNode root;
    root.buildTree(all);

    qsizetype nodes = 0;
    QList<const _BackupFileNode *> todo{&root};
    while (!todo.isEmpty()) {
        const _BackupFileNode *n = todo.takeLast();
        for (qsizetype i = 0; i < n->children.size(); ++i) {
            ++nodes;
            todo << n->children.at(i);
            if (i > 0)
                QVERIFY2(QString::compare(n->children.at(i - 1)->name, n->children.at(i)->name) < 0,
                         qPrintable(n->children.at(i - 1)->name + " before " + n->children.at(i)->name));
        }
    }
    QCOMPARE(nodes, paths.size());
}

// A manifest lists more records than its tree has nodes. The difference is
// exactly: the records of each domain's own root (an empty path, naming the
// domain rather than a file), the records of a path that a domain sorting
// first already gave (the folders "Library", "Library/SMS" and so on that
// several domains share, and a file of equal path in two domains, of which
// only the first can have a node under its one name), and a record listed
// twice in one manifest (one file id: the reader keeps one). Every file the
// message cache reads keeps its node.
void TestBackupFileNode::everyRecordOfARealManifestIsANodeOrAccountedFor()
{
    using namespace testsupport;
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80 caf\xC3\xA9.heic");
    QList<MbdbFixtureRecord> listed;
    for (const char *domain : {"HomeDomain", "MediaDomain", "RootDomain", "KeychainDomain", "WirelessDomain",
                               "CameraRollDomain", "AppDomain-com.example.chat"})
        listed << mbdbFolder(domain, "");
    for (const char *folder : {"Library", "Library/SMS", "Library/AddressBook", "Library/Preferences"})
        listed << mbdbFolder("HomeDomain", folder);
    listed << mbdbFile("HomeDomain", "Library/SMS/sms.db", "sms")
           << mbdbFile("HomeDomain", "Library/SMS/sms.db", "sms") // listed twice
           << mbdbFile("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", "ab")
           << mbdbFile("HomeDomain", "Library/Preferences/com.apple.x.plist", "home");
    for (const char *folder : {"Library", "Library/SMS", "Library/SMS/Attachments", "Library/SMS/Attachments/ab",
                               "Library/SMS/Attachments/ab/12"})
        listed << mbdbFolder("MediaDomain", folder);
    listed << mbdbFile("MediaDomain", "Library/SMS/Attachments/ab/12/IMG_0001.JPG", "jpg")
           << mbdbFile("MediaDomain", "Library/SMS/Attachments/ab/12/" + face, "heic");
    listed << mbdbFolder("RootDomain", "Library") << mbdbFolder("RootDomain", "Library/Preferences")
           << mbdbFile("RootDomain", "Library/Preferences/com.apple.x.plist", "root");
    listed << mbdbFolder("CameraRollDomain", "Media")
           << mbdbFile("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.HEIC", "photo");
    listed << mbdbFolder("AppDomain-com.example.chat", "Documents")
           << mbdbFile("AppDomain-com.example.chat", "Documents/chat.db", "app");

    const QHash<QString, _MbdbRecord> read = mbdb_read_data(mbdbBytes(listed));
    QCOMPARE(read.size(), listed.size() - 1); // the record listed twice
    _BackupFileNode root;
    root.buildTree(read);

    QList<const _BackupFileNode *> nodes;
    QList<const _BackupFileNode *> todo = {&root};
    while (!todo.isEmpty()) {
        const _BackupFileNode *n = todo.takeLast();
        for (const _BackupFileNode *c : n->children) {
            nodes << c;
            todo << c;
        }
    }
    // Six domain roots (the application's names its node), two paths of
    // MediaDomain and three of RootDomain that HomeDomain gave, the double:
    // 12 records without a node of their own; "Applications" is a node
    // without a record.
    QCOMPARE(nodes.size(), listed.size() - 12 + 1);

    // The files the message cache reads, from both domains.
    const _BackupFileNode *sms = child(child(&root, "Library"), "SMS");
    QVERIFY(sms);
    QCOMPARE(child(sms, "sms.db")->record.domain.toQString(), QStringLiteral("HomeDomain"));
    const _BackupFileNode *folder12 = child(child(child(sms, "Attachments"), "ab"), "12");
    QVERIFY(folder12);
    QVERIFY(child(folder12, "IMG_0001.JPG"));
    QVERIFY(child(folder12, face));
    QVERIFY(child(child(child(&root, "Library"), "AddressBook"), "AddressBook.sqlitedb"));
    // Of one file path in two domains, the domain sorting first has the node.
    QCOMPARE(child(child(child(&root, "Library"), "Preferences"), "com.apple.x.plist")->record.domain.toQString(),
             QStringLiteral("HomeDomain"));
    // A file whose folder has no record hangs under the root.
    QVERIFY(child(&root, "IMG_0002.HEIC"));
}

QP_TEST_MAIN(TestBackupFileNode)

} // namespace tst_backupfilenode

#include "tst_backupfilenode.moc"
