// Export, print and about through the real window. The export's save dialog
// is Qt's own, driven like a person would: the filter picked from its list
// first (picking one rewrites a suffix already typed), then the name typed and
// Save pressed. What lands on disk is read back; printing is caught at the
// hand-over to the printer, so no preview opens. A virtual iPhone arrives for
// the road from a conversation row to an HTML folder; its database stores
// dates in nanoseconds and some texts only in attributedBody, as phones do.
#include "app/datafolder.h"
#include "app/idstranslator.h"
#include "store/msgtext.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakeadb.h"
#include "tests/support/httprecorder.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windowtestsetup.h"
#include "tests/support/windownodes.h"
#include "ui/aboutusform.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <memory>

namespace tst_exportprint {

using namespace testsupport;
using Node = MainWindow::Node;

namespace {

// The save dialog's filters, in the order it lists them.
enum Filter { Txt, Doc, Csv, Pdf, Html };

// Answers the save dialog: picks the filter from its list with the keys a
// person would use, then types the path and presses Save.
DialogDriver::Action saveAs(int filter, const QString &path)
{
    return [filter, path](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        QVERIFY(dialog);
        QVERIFY(!dialog->testOption(QFileDialog::DontConfirmOverwrite));
        auto *types = dialog->findChild<QComboBox *>("fileTypeCombo");
        auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
        QVERIFY(types && name);
        types->setFocus();
        QTest::keyClick(types, Qt::Key_Home);
        for (int i = 0; i < filter; ++i)
            QTest::keyClick(types, Qt::Key_Down);
        QCOMPARE(types->currentIndex(), filter);
        name->setText(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    };
}

Node *conversation(Node *source, const QString &identifier)
{
    for (Node *child : source->children) {
        auto *row = static_cast<_ChatSessionItemNode *>(child);
        if (!row->session.chats.isEmpty() && row->session.chats.first()->chat_identifier == identifier)
            return child;
    }
    return nullptr;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The lines of a text export after its header.
QList<QByteArray> bodyLines(const QString &path)
{
    QList<QByteArray> lines = readAll(path).split('\n');
    if (!lines.isEmpty())
        lines.removeFirst();
    lines.removeAll(QByteArray());
    return lines;
}

const QByteArray kTxtHeader = "Date                          Flag  Name                                    Message";
const QByteArray kCsvHeader = "date,send,person,number,content";

} // namespace

class TestExportPrint : public QObject
{
    Q_OBJECT

    HttpRecorder server;
    FakeAdb adb;
    IdsTranslator translator;
    QTemporaryDir phones;
    // One window for all cases: the device subscription is made once a process.
    std::unique_ptr<MainWindow> window;
    QList<QList<_MsgMessage *>> printed;

    void select(Node *node)
    {
        window->widgets()->treeViewDS->setCurrentIndex(window->treeModel()->indexOf(node));
        QCoreApplication::processEvents();
    }
    Node *database(const QString &name) { return childNamed(window->treeModel()->rootLocalDB, name); }

    void selectRows(const QStringList &words)
    {
        QItemSelectionModel *selection = window->widgets()->treeViewSMS->selectionModel();
        selection->clearSelection();
        const QList<_MsgMessage *> shown = window->messageModel()->messages;
        for (int row = 0; row < shown.size(); ++row) {
            for (const QString &word : words) {
                if (displayText(*shown.at(row)).contains(word))
                    selection->select(window->messageModel()->index(row, 0),
                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
            }
        }
    }

private slots:
    void initTestCase()
    {
        const QString error = prepareWindowTests(server.url(), adb, translator, phones.path());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        MainWindow::setPrintHook([this](const QList<_MsgMessage *> &list) { printed.append(list); });

        const QString data = appDataDir().absolutePath();
        clearWindowData(data);
        QVERIFY(markUpdateCheckDone(data));
        writeWindowDb(data, "local_databases", "archive", typicalConversations());
        writeWindowDb(data, "local_databases", "empty", MsgFixtureContent());
        window = std::make_unique<MainWindow>();
        QVERIFY(database("archive"));
    }
    void cleanupTestCase()
    {
        window.reset();
        MainWindow::setPrintHook({});
    }
    void init()
    {
        printed.clear();
        window->widgets()->treeViewSMS->header()->setSortIndicator(0, Qt::AscendingOrder);
        select(database("archive"));
        QCOMPARE(window->messageModel()->rowCount(), 8);
    }

    // ---- export ----------------------------------------------------------------

    // The filter decides the format; the name typed decides the target, with
    // the suffix Qt's dialog appends for the file formats.
    void targetFollowsFilterAndTypedName_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("filter");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("written"); // "txt", "csv", "pdf" or "html"
        QTest::newRow("TXT, bare name") << "plain" << int(Txt) << "plain.txt" << "txt";
        QTest::newRow("DOC is the text under .doc") << "notes" << int(Doc) << "notes.doc" << "txt";
        QTest::newRow("CSV, bare name") << "table" << int(Csv) << "table.csv" << "csv";
        QTest::newRow("CSV keeps another suffix") << "list.pdf" << int(Csv) << "list.pdf" << "csv";
        QTest::newRow("PDF folder") << "report" << int(Pdf) << "report-pdf" << "pdf";
        QTest::newRow("HTML folder from a dotted name") << "report.2014.txt" << int(Html) << "report-html" << "html";
    }
    void targetFollowsFilterAndTypedName()
    {
        QFETCH(QString, typed);
        QFETCH(int, filter);
        QFETCH(QString, target);
        QFETCH(QString, written);
        QTemporaryDir out;
        DialogDriver driver;
        driver.then(saveAs(filter, out.filePath(typed)));
        driver.thenPress(QMessageBox::Ok);
        window->miExportAll();
        QCoreApplication::processEvents();

        QCOMPARE(driver.seen().first().className, QString("QFileDialog"));
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QString("Successfully exported 8 SMS."));
        QCOMPARE(entries(out.path()), QStringList({target}));
        const QString path = out.filePath(target);
        if (written == "txt" || written == "csv") {
            const QList<QByteArray> lines = readAll(path).split('\n');
            QCOMPARE(lines.first(), written == "txt" ? kTxtHeader : kCsvHeader);
            QCOMPARE(bodyLines(path).size(), 8);
            QVERIFY(readAll(path).contains("Hallo! Kommst du heute Abend?"));
        } else {
            // One file a conversation: Anna, Bernd and the group.
            QStringList pages = QDir(path).entryList({"*." + written}, QDir::Files);
            QCOMPARE(pages.size(), 3);
            for (const QString &page : pages) {
                const QByteArray bytes = readAll(QDir(path).filePath(page));
                if (written == "pdf")
                    QVERIFY(bytes.startsWith("%PDF"));
                else
                    QVERIFY(bytes.contains("<html"));
            }
        }
    }

    void orderFollowsTheListHeader_data()
    {
        QTest::addColumn<bool>("ascending");
        QTest::newRow("oldest first") << true;
        QTest::newRow("newest first") << false;
    }
    void orderFollowsTheListHeader()
    {
        QFETCH(bool, ascending);
        window->widgets()->treeViewSMS->header()->setSortIndicator(0, ascending ? Qt::AscendingOrder
                                                                                 : Qt::DescendingOrder);
        QTemporaryDir out;
        DialogDriver driver;
        driver.then(saveAs(Csv, out.filePath("ordered")));
        driver.thenPress(QMessageBox::Ok);
        window->miExportAll();
        const QList<QByteArray> lines = bodyLines(out.filePath("ordered.csv"));
        QCOMPARE(lines.size(), 8);
        QStringList dates;
        for (const QByteArray &line : lines)
            dates << QString::fromUtf8(line.left(19));
        QStringList sorted = dates;
        std::sort(sorted.begin(), sorted.end());
        if (!ascending)
            std::reverse(sorted.begin(), sorted.end());
        QCOMPARE(dates, sorted);
        QVERIFY(lines.first().contains(ascending ? "Hallo!" : "Super, bis"));
    }

    // Qt's dialog asks about the name with the suffix it appends, so an
    // existing notes.doc is never replaced without a word.
    void existingFileBringsTheReplaceQuestion_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::newRow("No, then Cancel") << false;
        QTest::newRow("Yes") << true;
    }
    void existingFileBringsTheReplaceQuestion()
    {
        QFETCH(bool, replace);
        QTemporaryDir out;
        QFile existing(out.filePath("notes.doc"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("minutes of the meeting\n");
        existing.close();

        DialogDriver driver;
        driver.then(saveAs(Doc, out.filePath("notes")));
        driver.thenBox([replace](QWidget *box) {
            QPointer<QWidget> files = box->parentWidget();
            DialogDriver::press(box, replace ? QMessageBox::Yes : QMessageBox::No);
            if (!replace) {
                QTimer::singleShot(0, files, [files]() {
                    if (auto *dialog = qobject_cast<QDialog *>(files.data()))
                        dialog->reject();
                });
            }
        });
        if (replace)
            driver.thenPress(QMessageBox::Ok);
        window->miExportAll();
        QCoreApplication::processEvents();

        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), replace ? 2 : 1);
        QVERIFY2(boxes[0].text.startsWith("notes.doc already exists."), qPrintable(boxes[0].text));
        QCOMPARE(entries(out.path()), QStringList({"notes.doc"}));
        if (replace) {
            QVERIFY(readAll(out.filePath("notes.doc")).startsWith(kTxtHeader));
        } else {
            QCOMPARE(readAll(out.filePath("notes.doc")), QByteArray("minutes of the meeting\n"));
            QCOMPARE(driver.seen().size(), 2); // no progress form
        }
    }

    void unknownFilterWritesNothing()
    {
        QTemporaryDir out;
        DialogDriver driver;
        driver.then([&out](QWidget *w) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            QVERIFY(dialog);
            dialog->setNameFilters(dialog->nameFilters() << "Word Files(*.docx)");
            dialog->selectNameFilter("Word Files(*.docx)");
            dialog->findChild<QLineEdit *>("fileNameEdit")->setText(out.filePath("memo"));
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        });
        driver.thenPress(QMessageBox::Ok);
        window->miExportAll();
        QCoreApplication::processEvents();
        const QList<DialogDriver::Seen> boxes = driver.seenBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].icon, int(QMessageBox::Critical));
        QVERIFY2(boxes[0].text.contains("unknown export format."), qPrintable(boxes[0].text));
        QVERIFY(entries(out.path()).isEmpty());
    }

    void cancelledDialogWritesNothing()
    {
        QTemporaryDir out;
        DialogDriver driver;
        driver.then([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
        window->miExportAll();
        QCoreApplication::processEvents();
        QCOMPARE(driver.seen().size(), 1);
        QVERIFY(driver.seenBoxes().isEmpty());
        QVERIFY(entries(out.path()).isEmpty());
    }

    // ---- print and about ------------------------------------------------------------

    void printHandsTheListToThePrinter()
    {
        selectRows({"Hallo", "samedi"});
        QCOMPARE(window->widgets()->treeViewSMS->selectionModel()->selectedRows().size(), 2);
        window->miPrintSel();
        window->widgets()->treeViewSMS->selectionModel()->clearSelection();
        window->miPrintSel();
        window->miPrintAll();
        select(conversation(database("archive"), "chat493827164503921876"));
        window->miPrintChat();
        QCOMPARE(printed.size(), 4);

        QStringList texts;
        for (_MsgMessage *m : printed[0])
            texts << displayText(*m).left(12);
        QCOMPARE(texts, QStringList({"Hallo! Komms", "On part same"}));
        QVERIFY(printed[1].isEmpty()); // an empty preview
        QCOMPARE(printed[2].size(), 8);
        QCOMPARE(printed[3], window->messageModel()->messages);
        QCOMPARE(printed[3].size(), 3);

        // A database without messages: neither command starts.
        select(database("empty"));
        DialogDriver driver;
        window->miPrintAll();
        window->miExportAll();
        QCoreApplication::processEvents();
        QCOMPARE(printed.size(), 4);
        QVERIFY(driver.seen().isEmpty());
    }

    void aboutOpens()
    {
        DialogDriver driver;
        driver.then([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
        window->miAbout();
        QCOMPARE(driver.seen().size(), 1);
        QCOMPARE(driver.seen()[0].className, QString("AboutUsForm"));
    }

    // ---- the road from a phone's conversation row ---------------------------------------

    void phoneConversationToHtmlFolder()
    {
        VirtualIPhoneSetup setup = typicalIPhone("exporter", "7.1.2");
        setup.values["UniqueDeviceID"] = "00008030-001A35E22E38807E";
        setup.messages = typicalConversations();
        QCOMPARE(setup.messageLayout, MsgDbLayout::LaterPhone);
        DialogDriver arrival;
        arrival.thenPress(QMessageBox::Ok);
        const QString folder = writeVirtualIPhone(phones.path(), setup);
        Node *phone = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((phone = childNamed(window->treeModel()->rootDevice,
                                                     setup.values["DeviceName"].toString())),
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window->isDeviceBusy("00008030-001A35E22E38807E"), 20000);
        QCoreApplication::processEvents();

        Node *group = conversation(phone, "chat493827164503921876");
        QVERIFY(group);
        select(group);
        QCOMPARE(window->messageModel()->rowCount(), 3);

        QTemporaryDir out;
        DialogDriver driver;
        driver.then(saveAs(Html, out.filePath("bergtour")));
        driver.thenPress(QMessageBox::Ok);
        QTimer menuPoll;
        menuPoll.setInterval(10);
        connect(&menuPoll, &QTimer::timeout, this, [&menuPoll]() {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            menuPoll.stop();
            for (QAction *action : menu->actions()) {
                if (action->text() == "Export SMS with this contact to File") {
                    menu->setActiveAction(action);
                    QTest::keyClick(menu, Qt::Key_Return);
                    return;
                }
            }
            menu->close();
        });
        menuPoll.start();
        window->onMainTreeContextMenu();
        QTRY_COMPARE_WITH_TIMEOUT(driver.seenBoxes().size(), 1, 20000);
        QCOMPARE(driver.seenBoxes()[0].text, QString("Successfully exported 3 SMS."));

        const QString html = out.filePath("bergtour-html");
        QCOMPARE(entries(out.path()), QStringList({"bergtour-html"}));
        const QStringList pages = QDir(html).entryList({"*.html"}, QDir::Files);
        QCOMPARE(pages.size(), 1);
        const QString page = QString::fromUtf8(readAll(QDir(html).filePath(pages.first())));
        QVERIFY(page.contains("On part samedi"));
        // Stored only in attributedBody on the phone.
        QVERIFY(page.contains("Wegbeschreibung"));
        // Stored in nanoseconds on the phone: the day is the right one.
        const QDateTime sent = QDateTime::fromSecsSinceEpoch(978307200LL + 600000000 + 4 * 3600).toLocalTime();
        QVERIFY2(page.contains(QLocale::system().toString(sent, QLocale::ShortFormat)), qPrintable(page.left(2000)));

        removeVirtualIPhone(folder);
        QTRY_VERIFY_WITH_TIMEOUT(!childNamed(window->treeModel()->rootDevice, setup.values["DeviceName"].toString()),
                                 20000);
    }
};

QP_TEST_MAIN(TestExportPrint)

} // namespace tst_exportprint

#include "tst_exportprint.moc"
