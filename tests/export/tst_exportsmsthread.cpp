// The export worker under a real progress dialog, as the main window runs it:
// which files a folder export makes and what each holds in which order, the
// names it gives them, and that a failed or cancelled run takes away only
// what it made.
#include "app/idstranslator.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "export/exportsmsthread.h"
#include "tests/support/filefixture.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/httprecorder.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/pdftools.h"
#include "tests/support/testmain.h"
#include "ui_progressform.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

namespace tst_exportsmsthread {

using namespace testsupport;

namespace {

constexpr int kDate = 400000000;
const QString kGrin = QString::fromUtf8("\xF0\x9F\x98\x80");

// The message bodies of a written page or PDF, in the order they appear.
QStringList bodies(const QString &path)
{
    QStringList out;
    if (path.endsWith(".pdf")) {
        static const QRegularExpression marker("\\bm\\d+-\\d+\\b");
        for (auto m = marker.globalMatch(pdfText(path)); m.hasNext();)
            out << m.next().captured();
        return out;
    }
    static const QRegularExpression body("<div style=\"font-size:14px;\">(.*?)</div>");
    for (auto m = body.globalMatch(QString::fromUtf8(readFile(path))); m.hasNext();)
        out << m.next().captured(1);
    return out;
}

// Sets every chat's newest date from its messages, as a reader does.
void finishChats(MsgStoreBuilder &b)
{
    for (_MsgMessage *m : b.messages())
        if (m->chat)
            m->chat->_last = qMax(m->chat->_last, m->date);
}

QStringList assetNames(const char *folder)
{
    return QDir(QCoreApplication::applicationDirPath() + "/" + folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestExportSMSThread : public QObject
{
    Q_OBJECT
    HttpRecorder server;
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;

    QString target(const QString &name) const { return dir->filePath(name); }

    // Runs an export to its end and answers its one box; returns the box.
    DialogDriver::Seen exportAndAnswer(const QList<_MsgMessage *> &messages, const QSharedPointer<_MsgStore> &store,
                                       const QString &path, int format, bool ascending, int expectedResult)
    {
        ProgressForm form("", nullptr);
        ExportSMSThread thread(messages, store, path, format, ascending, &form, nullptr);
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        const int result = DialogDriver::runUnder(form, thread);
        const QList<DialogDriver::Seen> seen = driver.seenBoxes();
        if (result != expectedResult || seen.size() != 1) {
            qWarning("result %d, %d boxes: %s", result, int(seen.size()),
                     seen.isEmpty() ? "" : qPrintable(seen[0].text));
            return {};
        }
        lastStatus = form.widgets()->lbStatus->text();
        lastProgress = form.widgets()->lbProgress->text();
        return seen[0];
    }
    QString lastStatus, lastProgress;

private slots:
    void initTestCase()
    {
        setMakerServerUrl(server.url());
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
        QVERIFY2(!assetNames("bubble").isEmpty() && !assetNames("emoji").isEmpty(),
                 "the asset folders are not beside the test program");
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void folderExport_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("ascending");
        QTest::newRow("html ascending") << int(ExportSMSThread::Html) << true;
        QTest::newRow("html descending") << int(ExportSMSThread::Html) << false;
        QTest::newRow("pdf ascending") << int(ExportSMSThread::Pdf) << true;
        QTest::newRow("pdf descending") << int(ExportSMSThread::Pdf) << false;
    }
    void folderExport()
    {
        QFETCH(int, format);
        QFETCH(bool, ascending);
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917011111");
        anna->_ct_name = "Anna: M\u00fcller?";
        _MsgHandle *ben = b.handle("ben@example.com", "iMessage");
        _MsgHandle *carl = b.handle("+4917033333");
        _MsgChat *withAnna = b.chat({anna});
        _MsgChat *withBen = b.chat({ben}, "iMessage");
        _MsgChat *group = b.chat({anna, ben, carl}, "iMessage");
        group->chat_identifier = "chat638142205557340987";
        group->display_name = "Family " + kGrin;
        // Handed over mixed up; each conversation's messages come back in
        // message order (by date here: the dates lie far apart).
        b.message(withBen, ben, "m1-2", kDate + 5000);
        b.message(withAnna, nullptr, "m0-1", kDate + 1000);
        b.message(group, carl, "m2-0", kDate + 9000);
        b.message(withAnna, anna, "m0-0", kDate);
        b.message(withBen, nullptr, "m1-0", kDate + 3000);
        b.message(nullptr, carl, "m3-0", kDate + 500);
        b.message(withBen, ben, "m1-1", kDate + 4000);
        b.message(group, nullptr, "m2-1", kDate + 12000);
        finishChats(b);

        const QString folder = target("sms-export");
        const DialogDriver::Seen box = exportAndAnswer(b.messages(), b.store, folder, format, ascending, 1);
        QCOMPARE(box.text, "Successfully exported 8 SMS.");
        QCOMPARE(lastStatus, "Exporting SMS...");
        QCOMPARE(lastProgress, "SMS: 8/8");

        const QString ext = format == ExportSMSThread::Pdf ? ".pdf" : ".html";
        QStringList expected = {QString::fromUtf8("Anna M\xC3\xBCller (+4917011111)") + ext, "ben@example.com" + ext,
                                "chat638142205557340987" + ext, "unknown-chat" + ext};
        if (format == ExportSMSThread::Html)
            expected << "emoji" << "files";
        QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        std::stable_sort(names.begin(), names.end());
        std::stable_sort(expected.begin(), expected.end());
        QCOMPARE(names, expected);
        if (format == ExportSMSThread::Html) {
            QCOMPARE(QDir(folder + "/files").entryList(QDir::Files, QDir::Name), assetNames("bubble"));
            QCOMPARE(QDir(folder + "/emoji").entryList(QDir::Files, QDir::Name), assetNames("emoji"));
        }

        const auto inOrder = [ascending](QStringList list) {
            if (!ascending)
                std::reverse(list.begin(), list.end());
            return list;
        };
        QCOMPARE(bodies(folder + "/" + expected[0]), inOrder({"m0-0", "m0-1"}));
        QCOMPARE(bodies(folder + "/ben@example.com" + ext), inOrder({"m1-0", "m1-1", "m1-2"}));
        QCOMPARE(bodies(folder + "/chat638142205557340987" + ext), inOrder({"m2-0", "m2-1"}));
        QCOMPARE(bodies(folder + "/unknown-chat" + ext), QStringList{"m3-0"});
    }

    void clashingNamesAreMadeUnique_data()
    {
        QTest::addColumn<bool>("ascending");
        QTest::newRow("ascending") << true;
        QTest::newRow("descending") << false;
    }
    void clashingNamesAreMadeUnique()
    {
        // Three conversations titled alike (one only in letter case) and one
        // spread over two chats whose identifiers differ in case alone.
        QFETCH(bool, ascending);
        MsgStoreBuilder b;
        QList<_MsgChat *> teams;
        for (int i = 0; i < 3; ++i) {
            teams << b.chat({b.handle(QString("+49170100%1").arg(i))});
            teams[i]->display_name = i == 2 ? "team" : "Team";
        }
        _MsgChat *sms = b.chat({b.handle("Dora@Example.com")});
        _MsgChat *imessage = b.chat({b.handle("dora@example.com", "iMessage")}, "iMessage");
        // Newest message: team 0 oldest, then team 1, team 2, Dora's chats.
        b.message(teams[1], nullptr, "m1-0", kDate + 2000);
        b.message(teams[0], nullptr, "m0-0", kDate + 1000);
        b.message(teams[2], nullptr, "m2-0", kDate + 3000);
        b.message(imessage, nullptr, "m3-1", kDate + 5000);
        b.message(sms, nullptr, "m3-0", kDate + 4000);
        finishChats(b);

        const QString folder = target("out");
        QCOMPARE(exportAndAnswer(b.messages(), b.store, folder, ExportSMSThread::Html, ascending, 1).text,
                 "Successfully exported 5 SMS.");
        // The conversation written first keeps the plain name.
        if (ascending) {
            QCOMPARE(bodies(folder + "/Team.html"), QStringList{"m0-0"});
            QCOMPARE(bodies(folder + "/Team (2).html"), QStringList{"m1-0"});
            QCOMPARE(bodies(folder + "/team (3).html"), QStringList{"m2-0"});
        } else {
            QCOMPARE(bodies(folder + "/team.html"), QStringList{"m2-0"});
            QCOMPARE(bodies(folder + "/Team (2).html"), QStringList{"m1-0"});
            QCOMPARE(bodies(folder + "/Team (3).html"), QStringList{"m0-0"});
        }
        const QStringList dora = QDir(folder).entryList({"*ora*"}, QDir::Files);
        QCOMPARE(dora.size(), 1);
        QCOMPARE(bodies(folder + "/" + dora[0]), ascending ? QStringList({"m3-0", "m3-1"}) : QStringList({"m3-1", "m3-0"}));
    }

    void interleavedConversationsStayWhole()
    {
        // Two conversations with the same newest date, their rows close
        // together and interleaved: sorted by one mixed comparator, one of
        // them came out in two pieces and the second piece replaced the first.
        MsgStoreBuilder b;
        _MsgChat *x = b.chat({b.handle("+4917011111")});
        _MsgChat *y = b.chat({b.handle("+4917022222")});
        QStringList xs, ys;
        for (int i = 0; i < 30; ++i) {
            const bool toX = (i * 7) % 3 != 0;
            const QString text = QString("m%1-%2").arg(toX ? 0 : 1).arg(i);
            b.message(toX ? x : y, nullptr, text, kDate + (i % 5) * 200 + i);
            (toX ? xs : ys) << text;
        }
        finishChats(b);
        x->_last = y->_last = kDate + 5000;
        const QString folder = target("out");
        QCOMPARE(exportAndAnswer(b.messages(), b.store, folder, ExportSMSThread::Html, true, 1).text,
                 "Successfully exported 30 SMS.");
        QStringList gotX = bodies(folder + "/+4917011111.html"), gotY = bodies(folder + "/+4917022222.html");
        QCOMPARE(QDir(folder).entryList({"*.html"}, QDir::Files).size(), 2);
        std::stable_sort(gotX.begin(), gotX.end());
        std::stable_sort(gotY.begin(), gotY.end());
        std::stable_sort(xs.begin(), xs.end());
        std::stable_sort(ys.begin(), ys.end());
        QCOMPARE(gotX, xs);
        QCOMPARE(gotY, ys);
    }

    void namesAreSafeAndFitTheLimit()
    {
        MsgStoreBuilder b;
        const QString umlauts = QString(200, QChar(0x00DC));   // 400 bytes
        QString emoji;
        for (int i = 0; i < 100; ++i)
            emoji += kGrin;                                    // 400 bytes
        const QStringList titles = {umlauts, umlauts, emoji, "a/b\\c:d*e?f\"g<h>i|j\tk", "???"};
        for (const QString &title : titles) {
            _MsgChat *chat = b.chat({b.handle(QString("+49170%1").arg(b.messages().size()))});
            chat->display_name = title;
            b.message(chat, nullptr, QString("m%1-0").arg(b.messages().size()), kDate + int(b.messages().size()));
        }
        b.message(nullptr, nullptr, "m9-0", kDate + 100);
        finishChats(b);
        const QString folder = target("out");
        QCOMPARE(exportAndAnswer(b.messages(), b.store, folder, ExportSMSThread::Html, true, 1).text,
                 "Successfully exported 6 SMS.");

        QMap<QString, QString> byBody; // body -> file name
        for (const QString &name : QDir(folder).entryList({"*.html"}, QDir::Files)) {
            QVERIFY2(name.toUtf8().size() <= 255, qPrintable(name));
            QVERIFY2(!name.contains(QChar::ReplacementCharacter), qPrintable(name));
            QVERIFY2(QFile::encodeName(name) == name.toUtf8(), qPrintable(name));
            const QStringList in = bodies(folder + "/" + name);
            QCOMPARE(in.size(), 1);
            byBody.insert(in[0], name);
        }
        QCOMPARE(byBody.size(), 6);
        QCOMPARE(byBody["m0-0"], umlauts.left(125) + ".html"); // 250 + 5 bytes
        QCOMPARE(byBody["m1-0"], umlauts.left(123) + " (2).html"); // 246 + 9
        QCOMPARE(byBody["m2-0"], emoji.left(2 * 62) + ".html"); // 248 + 5: no half character
        QCOMPARE(byBody["m3-0"], "abcdefghijk.html"); // the tab goes too
        // A title of refused characters only is named by its number.
        QCOMPARE(byBody["m4-0"], "+491704.html");
        QCOMPARE(byBody["m9-0"], "unknown-chat.html");
    }

    void namesNeverHideTheFile_data()
    {
        QTest::addColumn<QString>("name");       // the contact's name
        QTest::addColumn<QString>("displayName"); // the chat's own name
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("file");
        QTest::newRow("a name with a leading dot") << ".hidden" << "" << "+4917011111" << "hidden (+4917011111).html";
        QTest::newRow("a contact named ..") << ".." << "" << "+4917011111" << "(+4917011111).html";
        QTest::newRow("a chat named ..") << "" << ".." << "+4917011111" << "+4917011111.html";
        QTest::newRow("dots and blanks") << "" << ". . .x" << "+4917011111" << "x.html";
        QTest::newRow("inner and trailing dots stay") << "" << "a.b." << "+4917011111" << "a.b..html";
        QTest::newRow("nothing left at all") << "" << "..." << ".." << "sms.html";
    }
    void namesNeverHideTheFile()
    {
        QFETCH(QString, name);
        QFETCH(QString, displayName);
        QFETCH(QString, identifier);
        QFETCH(QString, file);
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+4917011111");
        h->_ct_name = name;
        _MsgChat *chat = b.chat({h});
        chat->display_name = displayName;
        chat->chat_identifier = identifier;
        b.message(chat, nullptr, "m0-0", kDate);
        finishChats(b);
        const QString folder = target("out");
        QCOMPARE(exportAndAnswer(b.messages(), b.store, folder, ExportSMSThread::Html, true, 1).text,
                 "Successfully exported 1 SMS.");
        QCOMPARE(QDir(folder).entryList({"*.html"}, QDir::Files | QDir::Hidden), QStringList{file});
        QCOMPARE(bodies(folder + "/" + file), QStringList{"m0-0"});
    }

    void textFormatsKeepTheCallersOrder_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QByteArray>("head");
        QTest::newRow("txt") << int(ExportSMSThread::Txt) << QByteArray("Date ");
        QTest::newRow("csv") << int(ExportSMSThread::Csv) << QByteArray("date,send,");
    }
    void textFormatsKeepTheCallersOrder()
    {
        QFETCH(int, format);
        QFETCH(QByteArray, head);
        QList<_MsgMessage *> messages;
        QWeakPointer<_MsgStore> watch;
        ProgressForm form("", nullptr);
        std::unique_ptr<ExportSMSThread> thread;
        {
            MsgStoreBuilder b;
            _MsgChat *x = b.chat({b.handle("+4917011111")});
            _MsgChat *y = b.chat({b.handle("+4917022222")});
            b.message(y, nullptr, "third", kDate + 300);
            b.message(x, nullptr, "first", kDate);
            b.message(y, nullptr, "second", kDate + 100);
            finishChats(b);
            watch = b.store;
            thread.reset(new ExportSMSThread(b.messages(), b.store, target("out.file"), format, false, &form, nullptr));
        }
        // The store lives as long as the worker, whoever else lets it go.
        QVERIFY(!watch.isNull());
        DialogDriver driver;
        driver.thenPress(QMessageBox::Ok);
        QCOMPARE(DialogDriver::runUnder(form, *thread), 1);
        const QByteArray bytes = readFile(target("out.file"));
        QVERIFY(bytes.startsWith(head));
        QVERIFY(bytes.indexOf("third") < bytes.indexOf("first"));
        QVERIFY(bytes.indexOf("first") < bytes.indexOf("second"));
        thread.reset();
        QVERIFY(watch.isNull());
        QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"out.file"});
    }

    void anEmptyListSucceedsAndWritesNoFile_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("txt") << int(ExportSMSThread::Txt);
        QTest::newRow("csv") << int(ExportSMSThread::Csv);
        QTest::newRow("pdf") << int(ExportSMSThread::Pdf);
        QTest::newRow("html") << int(ExportSMSThread::Html);
    }
    void anEmptyListSucceedsAndWritesNoFile()
    {
        QFETCH(int, format);
        MsgStoreBuilder b;
        const QString path = target("nested/out");
        QCOMPARE(exportAndAnswer({}, b.store, path, format, true, 1).text, "Successfully exported 0 SMS.");
        const bool folder = format == ExportSMSThread::Pdf || format == ExportSMSThread::Html;
        QCOMPARE(QFileInfo(path).isDir(), folder);
        QCOMPARE(QFileInfo::exists(path), folder);
        if (folder)
            QVERIFY(fileTree(path).isEmpty());
    }

    // ---- failures ---------------------------------------------------------------

    void cancelLeavesWhatWasThereBefore_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("earlier"); // something under the target name before
        for (bool earlier : {false, true}) {
            const char *e = earlier ? ", over an earlier export" : "";
            QTest::addRow("txt%s", e) << int(ExportSMSThread::Txt) << earlier;
            QTest::addRow("csv%s", e) << int(ExportSMSThread::Csv) << earlier;
            QTest::addRow("html%s", e) << int(ExportSMSThread::Html) << earlier;
            QTest::addRow("pdf%s", e) << int(ExportSMSThread::Pdf) << earlier;
        }
    }
    void cancelLeavesWhatWasThereBefore()
    {
        QFETCH(int, format);
        QFETCH(bool, earlier);
        constexpr int chats = 4, perChat = 5;
        const bool folderFormat = format == ExportSMSThread::Pdf || format == ExportSMSThread::Html;
        MsgStoreBuilder b;
        for (int c = 0; c < chats; ++c) {
            _MsgChat *chat = b.chat({b.handle(QString("+4917%1").arg(1000000 + c))});
            for (int i = 0; i < perChat; ++i)
                b.message(chat, i % 2 ? nullptr : chat->members.begin().value(),
                          QString("message %1 of chat %2").arg(i).arg(c), kDate + c * perChat + i);
        }
        finishChats(b);
        const QString path = target(folderFormat ? "out" : "out.file");
        if (earlier) {
            if (folderFormat) {
                writeFile(path + "/notes.txt", "mine");
                writeFile(path + "/+4917" + QString::number(1000000 + chats - 1) + (format == ExportSMSThread::Pdf ? ".pdf" : ".html"),
                          "an earlier page");
                writeFile(path + "/files/bubble-sent.svg", "my own picture");
            } else {
                writeFile(path, "an earlier export");
            }
        }
        const QMap<QString, QByteArray> before = fileTree(dir->path());

        ProgressForm form("", nullptr);
        // The worker holds in the third conversation, with two pages written,
        // until the cancel is in: the run can never end first.
        const int holdAt = 2 * perChat + 3;
        std::atomic<bool> held{false};
        ExportSMSThread::setStepHook([&form, &held, holdAt](int i) {
            if (i != holdAt)
                return;
            held = true;
            QDeadlineTimer deadline(20000);
            while (!form.failed && !deadline.hasExpired())
                QThread::msleep(5);
        });
        ExportSMSThread thread(b.messages(), b.store, path, format, false, &form, nullptr);
        DialogDriver driver;
        driver.then([&held](QWidget *w) {
            QTRY_VERIFY_WITH_TIMEOUT(held, 20000);
            QTest::mousePress(static_cast<ProgressForm *>(w)->widgets()->btnCancel, Qt::LeftButton);
        });
        const int result = DialogDriver::runUnder(form, thread);
        ExportSMSThread::setStepHook({});
        QCOMPARE(result, 0);
        QVERIFY(form.failed);
        QCOMPARE(driver.seenBoxes().size(), 0);
        QCOMPARE(fileTree(dir->path()), before);
    }

    void errorsLeaveWhatWasThereBefore_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error"); // %1: the temporary folder
        QTest::newRow("a file where the folder should be") << int(ExportSMSThread::Html) << "file"
                                                           << "Cannot create the folder %1/out.";
        QTest::newRow("pdf into a file") << int(ExportSMSThread::Pdf) << "file" << "Cannot create the folder %1/out.";
        QTest::newRow("text into a missing folder") << int(ExportSMSThread::Txt) << "missing"
                                                    << "No such file or directory";
        QTest::newRow("unknown format") << 7 << "none" << "not support export format.";
        QTest::newRow("disk full in the second page") << int(ExportSMSThread::Html) << "full"
                                                      << "Could not write the whole export into the folder %1/out. Is the disk full?";
        QTest::newRow("disk full in a text file") << int(ExportSMSThread::Csv) << "full"
                                                  << "Could not write the whole export into the folder %1. Is the disk full?";
    }
    void errorsLeaveWhatWasThereBefore()
    {
        QFETCH(int, format);
        QFETCH(QString, kind);
        QFETCH(QString, error);
        const bool folderFormat = format == ExportSMSThread::Pdf || format == ExportSMSThread::Html;
        MsgStoreBuilder b;
        _MsgChat *small = b.chat({b.handle("+4917011111")});
        _MsgChat *large = b.chat({b.handle("+4917022222")});
        b.message(small, nullptr, "small", kDate);
        for (int i = 0; i < (kind == "full" ? 3000 : 3); ++i)
            b.message(large, nullptr, QString("message %1 with some words to fill the page").arg(i), kDate + 100 + i);
        finishChats(b);

        QString path = target(folderFormat ? "out" : "out.csv");
        if (kind == "file") {
            writeFile(path, "a file of mine");
        } else if (kind == "missing") {
            path = target("missing/out.txt");
        } else if (kind == "full") {
            if (folderFormat) {
                writeFile(path + "/notes.txt", "mine");
                writeFile(path + "/+4917011111.html", "an earlier page");
            } else {
                writeFile(path, "an earlier export");
            }
        }
        const QMap<QString, QByteArray> before = fileTree(dir->path());
        DialogDriver::Seen box;
        {
            std::unique_ptr<FileSizeLimit> limit(kind == "full" ? new FileSizeLimit(64 * 1024) : nullptr);
            box = exportAndAnswer(b.messages(), b.store, path, format, true, 0);
        }
        QCOMPARE(box.icon, int(QMessageBox::Critical));
        QCOMPARE(box.text, errorBoxText(error.contains("%1") ? error.arg(dir->path()) : error));
        QCOMPARE(fileTree(dir->path()), before);
    }
};

QP_TEST_MAIN(TestExportSMSThread)

} // namespace tst_exportsmsthread

#include "tst_exportsmsthread.moc"
