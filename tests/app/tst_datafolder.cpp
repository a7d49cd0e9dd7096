#include "app/datafolder.h"
#include "platform/desktop/desktopopener.h"
#include "tests/support/permissionsapply.h"
#include "tests/support/filefixture.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/testmain.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace tst_datafolder {

using testsupport::PermissionsApply;
using testsupport::setFolderWritable;

class TestDataFolder : public QObject
{
    Q_OBJECT

    QString defaultPath() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
               + "/QuillMarten/6B2E8D41A7C9430F9E15D2B8C4F70A93";
    }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

private slots:
    void cleanup() { QFile::remove(dataRedirectFile()); }

    void redirect_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("redirected");
        QTest::newRow("no redirect file") << "none" << false;
        QTest::newRow("existing folder") << "folder" << true;
        QTest::newRow("folder, NUL and junk after it") << "folder+nul" << true;
        QTest::newRow("missing folder") << "missing" << false;
        QTest::newRow("text ends with a line break") << "folder+newline" << false;
        QTest::newRow("names a plain file") << "file" << false;
        QTest::newRow("empty file") << "empty" << false;
    }
    void redirect()
    {
        QFETCH(QString, kind);
        QFETCH(bool, redirected);
        QTemporaryDir target;
        const QByteArray folder = target.path().toUtf8();
        const QString plainFile = target.filePath("plain.txt");
        writeFile(plainFile, "x");

        if (kind == "folder")
            writeFile(dataRedirectFile(), folder);
        else if (kind == "folder+nul")
            writeFile(dataRedirectFile(), folder + QByteArray("\0junk", 5));
        else if (kind == "missing")
            writeFile(dataRedirectFile(), folder + "/not-there");
        else if (kind == "folder+newline")
            writeFile(dataRedirectFile(), folder + "\n");
        else if (kind == "file")
            writeFile(dataRedirectFile(), plainFile.toUtf8());
        else if (kind == "empty")
            writeFile(dataRedirectFile(), "");

        const QString expected = redirected
                                     ? target.path() + "/6B2E8D41A7C9430F9E15D2B8C4F70A93"
                                     : defaultPath();
        QCOMPARE(resolveDataDirPath(), expected);
    }

    void writeThenReadRedirect()
    {
        QTemporaryDir target;
        QDir().mkpath(defaultDataRoot());
        writeDataRedirect(target.path() + "/äö");
        QDir().mkpath(target.path() + "/äö");
        QCOMPARE(readDataRedirect(), target.path() + "/äö");
    }

    void aFullDiskKeepsTheOldRedirect()
    {
        QTemporaryDir target;
        QDir().mkpath(target.path() + "/old");
        writeDataRedirect(target.path() + "/old");
        const QByteArray before = testsupport::readFile(dataRedirectFile());
        const QString longer = target.path() + "/" + QString(200, QChar('n'));
        {
            const testsupport::FileSizeLimit limit(rlim_t(before.size()));
            try {
                writeDataRedirect(longer);
                QFAIL("no exception");
            } catch (const std::runtime_error &e) {
                // The cause is named, not "Unknown error".
                QVERIFY2(QString::fromUtf8(e.what()).contains("File too large"), e.what());
            }
        }
        QCOMPARE(testsupport::readFile(dataRedirectFile()), before);
        QCOMPARE(readDataRedirect(), target.path() + "/old");
        QCOMPARE(QDir(defaultDataRoot()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    void appDataDirIsCreatedAndRecreated()
    {
        const QDir dir = appDataDir();
        QCOMPARE(dir.absolutePath(), defaultPath());
        QVERIFY(dir.exists());
        QVERIFY(QDir(defaultPath()).removeRecursively());
        QVERIFY(localDatabasesDir().exists());
        QVERIFY(QFileInfo(defaultPath() + "/local_databases").isDir());
    }

    void validFileName_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("inPlace");
        QTest::addColumn<QString>("result");
        QTest::newRow("blanks and three bad characters")
            << " a<b>c:d " << " abcd " << "abcd";
        QTest::newRow("all nine") << "\\/:*?\"<>|x" << "x" << "x";
        QTest::newRow("others kept") << "a.b-c_d(1)'é" << "a.b-c_d(1)'é" << "a.b-c_d(1)'é";
        QTest::newRow("only bad") << "??" << "" << "";
    }
    void validFileName()
    {
        QFETCH(QString, input);
        QFETCH(QString, inPlace);
        QFETCH(QString, result);
        QString name = input;
        QCOMPARE(::validFileName(name), result);
        QCOMPARE(name, inPlace);
    }

    void md5Hex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("digest");
        QTest::newRow("empty") << "" << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("ascii") << "abc" << "900150983cd24fb0d6963f7d28e17f72";
        QTest::newRow("utf-8 bytes") << QString::fromUtf8("é") << "66ddcd97cfdeabb2f6fb8a999b4bc76f";
    }
    void md5Hex()
    {
        QFETCH(QString, text);
        QFETCH(QString, digest);
        QCOMPARE(::md5Hex(text), digest);
    }

    void uniqueFilePath_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << "report.txt" << "report.txt";
        QTest::newRow("taken twice") << QStringList{"report.txt", "report(1).txt"} << "report.txt"
                                     << "report(2).txt";
        QTest::newRow("two dots") << QStringList{"a.tar.gz"} << "a.tar.gz" << "a(1).gz";
        QTest::newRow("no suffix") << QStringList{"README"} << "README" << "README(1)";
        QTest::newRow("percent in name") << QStringList{"x%2.txt"} << "x%2.txt" << "x%2(1).txt";
    }
    void uniqueFilePath()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, asked);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &name : existing)
            writeFile(dir.filePath(name), "x");
        QCOMPARE(::uniqueFilePath(dir.filePath(asked)), dir.filePath(expected));
    }

    void removeDirRecursivelyUnlinksLinks()
    {
        QTemporaryDir root;
        const QString outside = root.filePath("outside");
        writeFile(outside + "/precious.txt", "keep me");
        const QString tree = root.filePath("tree");
        writeFile(tree + "/a/b/file.txt", "x");
        QVERIFY(QFile::link(outside, tree + "/a/link-to-dir"));
        QVERIFY(QFile::link(outside + "/precious.txt", tree + "/link-to-file"));
        QVERIFY(QFile::link(root.filePath("nowhere"), tree + "/broken-link"));

        QVERIFY(removeDirRecursively(tree));
        QVERIFY(!QFileInfo::exists(tree));
        QCOMPARE(QFileInfo(outside + "/precious.txt").size(), qint64(7));

        // A link given as the tree itself is unlinked too.
        QVERIFY(QFile::link(outside, root.filePath("top-link")));
        removeDirRecursively(root.filePath("top-link"));
        QVERIFY(!QFileInfo(root.filePath("top-link")).isSymLink());
        QVERIFY(QFileInfo::exists(outside + "/precious.txt"));

        removeDirRecursively(root.filePath("missing")); // nothing happens
    }

    void removeDirRecursivelyTakesHiddenEntries()
    {
        QTemporaryDir root;
        const QString tree = root.filePath("tree");
        writeFile(tree + "/a/.hidden", "mine");
        writeFile(tree + "/a/b/file.txt", "x");
        writeFile(tree + "/.folder/.inside", "x");
        writeFile(tree + "/.directory", "[Desktop Entry]");

        QString left = "untouched";
        QVERIFY(removeDirRecursively(tree, &left));
        QVERIFY(left.isEmpty());
        QVERIFY(!QFileInfo::exists(tree));
        QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        QVERIFY(removeDirRecursively(root.filePath("missing"), &left));
    }

    // What cannot go stays, and the answer says so and names it; everything
    // else is removed all the same.
    void removeDirRecursivelyReportsWhatStays()
    {
        QTemporaryDir root;
        const QString tree = root.filePath("tree");
        writeFile(tree + "/locked/.keep", "x");
        writeFile(tree + "/other/file.txt", "x");
        setFolderWritable(QFile::encodeName(tree + "/locked").constData(), false);
        QString left;
        bool removed = true;
        {
            PermissionsApply permissions;
            removed = removeDirRecursively(tree, &left);
        }
        setFolderWritable(QFile::encodeName(tree + "/locked").constData(), true);
        QVERIFY(!removed);
        QCOMPARE(left, tree + "/locked/.keep");
        QVERIFY(QFileInfo::exists(tree + "/locked/.keep"));
        QVERIFY(!QFileInfo::exists(tree + "/other"));

        // A plain file is no folder tree: it is kept and named.
        writeFile(root.filePath("plain.txt"), "x");
        QVERIFY(!removeDirRecursively(root.filePath("plain.txt"), &left));
        QCOMPARE(left, root.filePath("plain.txt"));
        QVERIFY(QFileInfo::exists(root.filePath("plain.txt")));
    }

    void openersGoThroughTheDesktop()
    {
        QList<QUrl> opened;
        desktop::setOpener([&opened](const QUrl &url) {
            opened.append(url);
            return true;
        });
        QTemporaryDir dir;
        writeFile(dir.filePath("f.txt"), "x");
        openInExplorer(dir.filePath("f.txt"));
        openInExplorer(dir.path());
        shellOpen("http://example.invalid/page.html");
        desktop::setOpener({});
        QCOMPARE(opened.size(), 3);
        QCOMPARE(opened[0], QUrl::fromLocalFile(dir.path()));
        QCOMPARE(opened[1], QUrl::fromLocalFile(dir.path()));
        QCOMPARE(opened[2], QUrl("http://example.invalid/page.html"));
    }
};

QP_TEST_MAIN(TestDataFolder)

} // namespace tst_datafolder

#include "tst_datafolder.moc"
