// Unpacking a phone's file-relay archive: what its entry names and types may
// reach, what a damaged or cut archive does, and the times and progress of
// the files. Archives are made here with libarchive and unpacked from memory.
#include "ios/filerelayarchive.h"
#include "tests/support/filefixture.h"
#include "tests/support/cpioarchivefixture.h"
#include "tests/support/testmain.h"

#include <QDirIterator>
#include <QRegularExpression>

#include <archive_entry.h>

#include <functional>
#include <memory>

namespace tst_filerelayarchive {

using namespace testsupport;

namespace {

// Every file and link below folder, as paths relative to it; folders only
// when they are links.
QStringList everythingBelow(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isDir() || it.fileInfo().isSymLink())
            found.append(QDir(folder).relativeFilePath(it.filePath()));
    }
    found.sort();
    return found;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

} // namespace

class TestFileRelayArchive : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    QDir cacheDir() const { return QDir(dir->path() + "/cache"); }
    QString relay() const { return cacheDir().absoluteFilePath("file-relay"); }
    QString inRelay(const QString &relative) const { return relay() + "/" + relative; }

    // Unpacks archive into the cache folder's "file-relay" with a small
    // buffer, so files come in several chunks; answers the error text, empty
    // on success.
    QString unpack(const QByteArray &archive, const std::function<void(FileRelayArchive &)> &setup = {},
                   int bufferSize = 1000)
    {
        QDir().mkpath(relay());
        FileRelayArchive unpacker(FileRelayArchive::extractionFolder(cacheDir()));
        if (setup)
            setup(unpacker);
        QByteArray buffer(bufferSize, '\0');
        try {
            unpacker.unpackBytes(archive, "relay.cpio", buffer);
        } catch (const std::runtime_error &e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    }

    // Half-written files are hidden dot files beside their target.
    QStringList leftovers() const
    {
        QStringList found;
        for (const QString &path : everythingBelow(dir->path())) {
            if (QFileInfo(path).fileName().startsWith(".file-relay-"))
                found.append(path);
        }
        return found;
    }

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    // ---- names ------------------------------------------------------------------

    void entryNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("landsAt"); // below file-relay; empty: skipped with a log line

        const QString smsDb = "var/mobile/Library/SMS/sms.db";
        QTest::newRow("phone path with ./") << QByteArray("./var/mobile/Library/SMS/sms.db") << smsDb;
        QTest::newRow("phone path") << QByteArray("var/mobile/Library/SMS/sms.db") << smsDb;
        QTest::newRow("absolute path lands inside") << QByteArray("/var/mobile/Library/SMS/sms.db") << smsDb;
        QTest::newRow("several leading slashes") << QByteArray("//var/x.db") << "var/x.db";
        QTest::newRow("./ then slash") << QByteArray(".//var/x.db") << "var/x.db";
        QTest::newRow("refused characters dropped") << QByteArray("a:b|c?") << "abc";
        QTest::newRow("more refused characters") << QByteArray("x*\"<>y.db") << "xy.db";
        QTest::newRow("backslash kept") << QByteArray("back\\slash.db") << "back\\slash.db";
        QTest::newRow("climbs and comes back") << QByteArray("a/../b.db") << "b.db";
        QTest::newRow("UTF-8 name") << QByteArray("Nachrichten/Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x93\xb1.db")
                                    << QString::fromUtf8("Nachrichten/Grüße \U0001F4F1.db");
        QTest::newRow("climbs out") << QByteArray("../escape.db") << QString();
        QTest::newRow("climbs out after ./") << QByteArray("./../escape.db") << QString();
        QTest::newRow("climbs out from a folder") << QByteArray("var/../../escape.db") << QString();
        QTest::newRow("absolute and climbing") << QByteArray("/../../escape.db") << QString();
        QTest::newRow("deep climb") << QByteArray("var/mobile/../../../../../tmp/escape.db") << QString();
        QTest::newRow("control character") << QByteArray("sms\n.db") << QString();
        QTest::newRow("the folder itself as a file") << QByteArray("./") << QString();
    }
    void entryNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, landsAt);
        const QByteArray data = "data of " + name;
        QList<CpioEntry> entries = cpioFolders(landsAt.toUtf8());
        entries.append(CpioEntry::file(name, data));
        if (landsAt.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^FileRelayArchive: skipped \""));
        QCOMPARE(unpack(cpioArchive(entries)), QString());

        // Nothing anywhere in the test's folder but the one file.
        QStringList expected;
        if (!landsAt.isEmpty())
            expected.append("cache/file-relay/" + landsAt);
        QCOMPARE(everythingBelow(dir->path()), expected);
        if (!landsAt.isEmpty())
            QCOMPARE(contentOf(inRelay(landsAt)), data);
    }

    // A phone may list a file without the folders above it: they are made.
    void filesWithoutTheirFolderEntries()
    {
        const QList<CpioEntry> entries = {CpioEntry::file("./var/mobile/Library/SMS/sms.db", "messages"),
                                          CpioEntry::folder("./var/mobile/Library/AddressBook"),
                                          CpioEntry::file("./var/mobile/Library/AddressBook/x/y.db", "people")};
        QCOMPARE(unpack(cpioArchive(entries)), QString());
        QCOMPARE(contentOf(inRelay("var/mobile/Library/SMS/sms.db")), QByteArray("messages"));
        QCOMPARE(contentOf(inRelay("var/mobile/Library/AddressBook/x/y.db")), QByteArray("people"));
        QCOMPARE(leftovers(), QStringList());
    }

    void theShownNameIsTheLastPart()
    {
        QStringList shown;
        const QList<CpioEntry> entries = {CpioEntry::folder("./var"), CpioEntry::folder("./var/db/"),
                                          CpioEntry::file("./var/db/a:b.db", "x")};
        QCOMPARE(unpack(cpioArchive(entries), [&](FileRelayArchive &u) {
                     u.entryStarted = [&](const QString &name) { shown.append(name); };
                 }),
                 QString());
        QCOMPARE(shown, QStringList({"var", "db", "ab.db"}));
    }

    // ---- types --------------------------------------------------------------------

    void entryTypes_data()
    {
        QTest::addColumn<CpioEntry>("entry");
        QTest::newRow("symbolic link out") << CpioEntry::special("dev/thing", CpioEntry::SymLink, "/etc/passwd");
        QTest::newRow("symbolic link in") << CpioEntry::special("dev/thing", CpioEntry::SymLink, "after.db");
        QTest::newRow("block device") << CpioEntry::special("dev/thing", CpioEntry::BlockDevice);
        QTest::newRow("character device") << CpioEntry::special("dev/thing", CpioEntry::CharDevice);
        QTest::newRow("pipe") << CpioEntry::special("dev/thing", CpioEntry::Fifo);
        QTest::newRow("socket") << CpioEntry::special("dev/thing", CpioEntry::Socket);
    }
    void entryTypes()
    {
        // Only folders and regular files are unpacked: a link becomes neither
        // a link nor a file, a device or socket no folder; the entries after
        // it are unpacked as usual.
        QFETCH(CpioEntry, entry);
        const QList<CpioEntry> entries = {CpioEntry::folder("dev"), entry, CpioEntry::file("dev/after.db", "after")};
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^FileRelayArchive: skipped \"dev/thing\", of type 0"));
        QCOMPARE(unpack(cpioArchive(entries)), QString());
        QVERIFY(!QFileInfo::exists(inRelay("dev/thing")) && !QFileInfo(inRelay("dev/thing")).isSymLink());
        QCOMPARE(everythingBelow(relay()), QStringList({"dev/after.db"}));
        QCOMPARE(contentOf(inRelay("dev/after.db")), QByteArray("after"));
    }

    void noWriteThroughSymbolicLinks_data()
    {
        QTest::addColumn<QString>("link");      // made below file-relay
        QTest::addColumn<bool>("toFolder");     // to a folder outside, else to a file outside
        QTest::addColumn<QByteArray>("entry");  // the file entry that would go through it
        QTest::newRow("folder link on the way") << "var" << true << QByteArray("./var/mobile/sms.db");
        QTest::newRow("file link as the target") << "sms.db" << false << QByteArray("sms.db");
        QTest::newRow("dangling link as the target") << "new.db" << false << QByteArray("new.db");
    }
    void noWriteThroughSymbolicLinks()
    {
        QFETCH(QString, link);
        QFETCH(bool, toFolder);
        QFETCH(QByteArray, entry);
        const QString outside = dir->path() + "/outside";
        QDir().mkpath(outside);
        QDir().mkpath(relay());
        QString linkTarget = outside;
        if (!toFolder) {
            linkTarget = outside + "/" + link;
            if (link != "new.db")
                writeFile(linkTarget, "keep");
        }
        QVERIFY(QFile::link(linkTarget, inRelay(link)));
        const QStringList outsideBefore = everythingBelow(outside);

        QList<CpioEntry> entries = {CpioEntry::folder("./var"), CpioEntry::folder("./var/mobile")};
        entries.append(CpioEntry::file(entry, "from the phone"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^FileRelayArchive: skipped \"" +
                                                              QRegularExpression::escape(entry)));
        QCOMPARE(unpack(cpioArchive(entries)), QString());
        QCOMPARE(everythingBelow(outside), outsideBefore);
        if (!toFolder && link != "new.db")
            QCOMPARE(contentOf(linkTarget), QByteArray("keep"));
        QVERIFY(QFileInfo(inRelay(link)).isSymLink());
    }

    void theProgramsOwnFilesAreOutOfReach()
    {
        // The relay folder's neighbours stay untouched whatever the names say.
        const QStringList ours = {"ct-phone.db", "recycle.db", "manifest.db", "file-relay.cpio"};
        for (const QString &own : ours)
            writeFile(cacheDir().absoluteFilePath(own), "ours");
        QList<CpioEntry> entries;
        for (const char *name : {"../ct-phone.db", "/../recycle.db", "x/../../manifest.db", "../file-relay.cpio",
                                 "../ct-phone.db-journal"})
            entries.append(CpioEntry::file(name, "phone's"));
        for (int i = 0; i < entries.size(); ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^FileRelayArchive: skipped"));
        QCOMPARE(unpack(cpioArchive(entries)), QString());
        for (const QString &own : ours)
            QCOMPARE(contentOf(cacheDir().absoluteFilePath(own)), QByteArray("ours"));
        QVERIFY(!QFile::exists(cacheDir().absoluteFilePath("ct-phone.db-journal")));
    }

    // ---- damage -------------------------------------------------------------------

    void damagedArchives_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("error");

        const QByteArray big = incompressibleBytes(20000);
        QList<CpioEntry> entries = cpioFolders("var/mobile/Library/SMS/sms.db");
        entries.append(CpioEntry::file("var/mobile/Library/SMS/sms.db", big));
        entries.append(CpioEntry::file("var/mobile/Library/SMS/later.db", "later"));
        const QByteArray whole = cpioArchive(entries);
        const int dataStart = int(whole.indexOf(big.left(64)));
        const int dataEnd = dataStart + big.size();
        // Text, so that gzip codes it rather than storing it as it is.
        QList<CpioEntry> texts = cpioFolders("var/mobile/Library/SMS/sms.db");
        QByteArray text;
        for (int i = 0; i < 4000; ++i)
            text += "Nachricht " + QByteArray::number(i * 7919 % 10007) + ": bis morgen!\n";
        texts.append(CpioEntry::file("var/mobile/Library/SMS/sms.db", text));
        const QByteArray gzip = cpioArchive(texts, CpioFilter::Gzip);

        const QString readError = "read relay.cpio error. ";
        QTest::newRow("cut inside a file") << whole.left(dataStart + 7000) << readError;
        QTest::newRow("cut inside the next header") << whole.left(dataEnd + 40) << readError;
        QTest::newRow("cut before the trailer") << whole.left(int(whole.lastIndexOf("0707"))) << readError;
        QTest::newRow("gzip cut") << gzip.left(gzip.size() - 40) << readError;
        QTest::newRow("gzip damaged") << QByteArray(gzip).replace(gzip.size() / 2, 16, QByteArray(16, '\xff'))
                                      << readError;
        // libarchive looks at the first bytes when it opens the archive.
        QTest::newRow("not an archive") << QByteArray("this is no archive at all, just a line of text\n")
                                        << "open relay.cpio(-30) error.";
        QTest::newRow("gzip cut in its header") << gzip.left(5) << "open relay.cpio(-30) error.";
    }
    void damagedArchives()
    {
        // A damaged archive is an error with libarchive's text; no file of
        // it replaces an earlier copy, and nothing half-written stays behind.
        QFETCH(QByteArray, archive);
        QFETCH(QString, error);
        writeFile(inRelay("var/mobile/Library/SMS/sms.db"), "earlier copy");
        const QString text = unpack(archive);
        QVERIFY2(text.startsWith(error), qPrintable(text));
        if (error == "read relay.cpio error. ")
            QVERIFY(text.size() > error.size());
        QCOMPARE(contentOf(inRelay("var/mobile/Library/SMS/sms.db")), QByteArray("earlier copy"));
        QCOMPARE(everythingBelow(relay()), QStringList({"var/mobile/Library/SMS/sms.db"}));
        QCOMPARE(leftovers(), QStringList());
    }

    void everyCutIsAnError()
    {
        // Whatever byte the stream stops at, the result is an error and no
        // file is put in place, never success with part of the files; the
        // empty stream alone holds no entries and ends cleanly.
        QList<CpioEntry> entries = cpioFolders("var/mobile/Library/SMS/sms.db");
        entries.append(CpioEntry::file("var/mobile/Library/SMS/sms.db", incompressibleBytes(700)));
        entries.append(CpioEntry::file("var/mobile/Library/SMS/empty.db", QByteArray()));
        entries.append(CpioEntry::file("var/mobile/Library/AddressBook.db", "ab"));
        for (CpioFilter filter : {CpioFilter::None, CpioFilter::Gzip}) {
            const QByteArray whole = cpioArchive(entries, filter);
            QDir(relay()).removeRecursively();
            for (int length = 0; length < whole.size(); ++length) {
                const QString text = unpack(whole.left(length));
                if (length == 0)
                    QCOMPARE(text, QString());
                else
                    QVERIFY2(text.startsWith("read relay.cpio error. ") || text.startsWith("open relay.cpio("),
                             qPrintable(QString::number(length) + ": " + text));
                QCOMPARE(everythingBelow(relay()), QStringList());
            }
            QDir(relay()).removeRecursively();
            QCOMPARE(unpack(whole), QString());
            QCOMPARE(everythingBelow(relay()).size(), 3);
        }
    }

    void createAndWriteErrors_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("made");   // a folder ("file:": a file) made below file-relay first
        QTest::addColumn<QString>("error");  // %1: file-relay
        QTest::newRow("a file stands where its folder goes") << QByteArray("var/sms.db") << "file:var"
                                                             << "create %1/var error. ";
        QTest::newRow("a folder stands there") << QByteArray("var") << "var" << "create %1/var error. ";
    }
    void createAndWriteErrors()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, made);
        QFETCH(QString, error);
        QDir().mkpath(relay());
        if (made.startsWith("file:")) {
            QFile file(inRelay(made.mid(5)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (!made.isEmpty()) {
            QDir().mkpath(inRelay(made));
        }
        const QString text = unpack(cpioArchive({CpioEntry::file(name, "x"), CpioEntry::file("later.db", "y")}));
        QVERIFY2(text.startsWith(error.arg(relay())), qPrintable(text));
        QVERIFY(text.size() > error.arg(relay()).size());
        QVERIFY(!QFile::exists(inRelay("later.db")));
        QCOMPARE(leftovers(), QStringList());
    }

    // ---- times and progress -------------------------------------------------------

    void filesTakeTheArchiveTimesAndReportChunks()
    {
        QList<QPair<QString, QString>> seen; // entry name, or "" and "written/size"
        const QList<CpioEntry> entries = {CpioEntry::file("f.db", incompressibleBytes(3000), 1300000000),
                                          CpioEntry::file("empty.db", QByteArray(), 1200000000),
                                          CpioEntry::file("odd.db", incompressibleBytes(1001), 1100000000)};
        QCOMPARE(unpack(cpioArchive(entries), [&](FileRelayArchive &u) {
                     u.entryStarted = [&](const QString &name) { seen.append({name, QString()}); };
                     u.chunkStarted = [&](qint64 written, qint64 size) {
                         seen.append({QString(), QString("%1/%2").arg(written).arg(size)});
                     };
                 }),
                 QString());
        const QList<QPair<QString, QString>> expected = {
            {"f.db", ""}, {"", "0/3000"}, {"", "1000/3000"}, {"", "2000/3000"}, {"", "3000/3000"},
            {"empty.db", ""}, {"", "0/0"},
            {"odd.db", ""}, {"", "0/1001"}, {"", "1000/1001"}, {"", "1001/1001"},
        };
        QCOMPARE(seen, expected);
        const QList<QPair<QString, qint64>> times = {{"f.db", 1300000000}, {"empty.db", 1200000000},
                                                     {"odd.db", 1100000000}};
        for (const auto &[name, time] : times) {
            const QFileInfo info(inRelay(name));
            QCOMPARE(info.fileTime(QFileDevice::FileModificationTime).toSecsSinceEpoch(), time);
            QCOMPARE(info.fileTime(QFileDevice::FileAccessTime).toSecsSinceEpoch(), time);
        }
        QCOMPARE(QFileInfo(inRelay("empty.db")).size(), 0);
        QCOMPARE(contentOf(inRelay("odd.db")), incompressibleBytes(1001));
    }

    void aCancelLeavesTheEarlierCopy_data()
    {
        QTest::addColumn<bool>("inChunk");
        QTest::newRow("between chunks") << true;
        QTest::newRow("between entries") << false;
    }
    void aCancelLeavesTheEarlierCopy()
    {
        QFETCH(bool, inChunk);
        writeFile(inRelay("sms.db"), "earlier copy");
        const QList<CpioEntry> entries = {CpioEntry::file("first.db", "first"),
                                          CpioEntry::file("sms.db", incompressibleBytes(5000))};
        bool cancelled = false;
        try {
            unpack(cpioArchive(entries), [&](FileRelayArchive &u) {
                if (inChunk) {
                    u.chunkStarted = [](qint64 written, qint64) {
                        if (written >= 2000)
                            throw -1;
                    };
                } else {
                    u.entryStarted = [](const QString &name) {
                        if (name == "sms.db")
                            throw -1;
                    };
                }
            });
        } catch (int) {
            cancelled = true;
        }
        QVERIFY(cancelled);
        QCOMPARE(everythingBelow(relay()), QStringList({"sms.db"}));
        QCOMPARE(contentOf(inRelay("sms.db")), QByteArray("earlier copy"));
    }

    void theRawNameIsTakenAsUtf8WhateverTheLocale()
    {
        QCOMPARE(FileRelayArchive::cleanedName("./Gr\xc3\xbc\xc3\x9f" "e.db"), QString::fromUtf8("Grüße.db"));
        QCOMPARE(FileRelayArchive::cleanedName(nullptr), QString());
    }
};

QP_TEST_MAIN(TestFileRelayArchive)

} // namespace tst_filerelayarchive

#include "tst_filerelayarchive.moc"
