// The conversation view: pages of 50 messages and their links, page turns and
// where they leave the view, scrolling to a message, link handling, escaping
// of texts and labels, and how sent and received messages are laid out.
#include "platform/desktop/desktopopener.h"
#include "store/msgtext.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/testmain.h"
#include "tests/support/viewshot.h"
#include "ui/smsbrowser.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextTable>

namespace tst_smsbrowser {

using testsupport::MsgStoreBuilder;

namespace {

// n messages between me and one contact, alternating sent and received,
// one minute apart, emoji and line breaks here and there.
struct Conversation
{
    MsgStoreBuilder b;
    QList<_MsgMessage *> messages;

    explicit Conversation(int n)
    {
        _MsgHandle *tom = b.handle("+4915112345678");
        tom->_ct_name = "Tom";
        _MsgChat *chat = b.chat({tom});
        for (int i = 0; i < n; ++i)
            messages << b.message(chat, i % 2 ? tom : nullptr,
                                  i % 7 == 3 ? QStringLiteral("message %1 \U0001F600\nsecond line").arg(i)
                                             : QStringLiteral("message %1").arg(i),
                                  600000000 + i * 60);
    }
};

QList<QTextTable *> tables(QTextDocument *document)
{
    QList<QTextTable *> out;
    for (QTextFrame *frame : document->rootFrame()->childFrames())
        if (auto *table = qobject_cast<QTextTable *>(frame))
            out << table;
    return out;
}

// Every link target in the document, in order.
QStringList hrefs(QTextDocument *document)
{
    QStringList out;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor() && !it.fragment().charFormat().anchorHref().isEmpty())
                out << it.fragment().charFormat().anchorHref();
    out.removeDuplicates();
    return out;
}

// The message anchors ("sms_<rowid>") in the document, in order.
QStringList messageAnchors(QTextDocument *document)
{
    QStringList out;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            for (const QString &name : it.fragment().charFormat().anchorNames())
                if (name.startsWith("sms_"))
                    out << name;
    return out;
}

QString cellText(QTextTable *table, int row, int column)
{
    const QTextTableCell cell = table->cellAt(row, column);
    QTextCursor c = cell.firstCursorPosition();
    c.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
    return c.selectedText();
}

QColor textColour(QTextTable *table, int row, int column)
{
    QTextCursor c = table->cellAt(row, column).firstCursorPosition();
    c.movePosition(QTextCursor::NextCharacter);
    return c.charFormat().foreground().color();
}

// Whether the head line of table k of the page is inside the viewport.
bool tableOnScreen(SmsBrowser &view, int k)
{
    const QList<QTextTable *> all = tables(&view.document);
    if (k >= all.size())
        return false;
    QTextTable *t = all.at(k);
    const int head = cellText(t, 0, 0).isEmpty() ? 1 : 0;
    const QRect r = view.cursorRect(t->cellAt(0, head).firstCursorPosition());
    return r.top() >= 0 && r.bottom() <= view.viewport()->height();
}

} // namespace

class TestSmsBrowser : public QObject
{
    Q_OBJECT

    QList<QUrl> opened;

private slots:
    void initTestCase()
    {
        desktop::setOpener([this](const QUrl &url) {
            opened << url;
            return true;
        });
    }

    void cleanupTestCase() { desktop::setOpener({}); }

    void pages_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("pages");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("exactly a page") << 50 << 1;
        QTest::newRow("one over") << 51 << 2;
        QTest::newRow("three pages") << 120 << 3;
        QTest::newRow("five thousand") << 5000 << 100;
    }

    void pages()
    {
        QFETCH(int, n);
        QFETCH(int, pages);
        Conversation c(n);
        SmsBrowser view;
        view.setMessages(c.messages);
        QCOMPARE(view.pageCount, pages);
        QCOMPARE(view.currentPage, n ? 1 : 0);
        if (n == 0) {
            QVERIFY(view.document.isEmpty());
            QVERIFY(hrefs(&view.document).isEmpty());
            return;
        }
        QSet<int> shown{1, 2, pages};
        for (int page : shown) {
            if (page > pages)
                continue;
            view.showPage(page);
            const int first = (page - 1) * 50;
            const int count = qMin(50, n - first);
            QCOMPARE(int(tables(&view.document).size()), count);
            QStringList links;
            if (page > 1)
                links << "/pre_page";
            if (page < pages)
                links << "/next_page";
            QCOMPARE(hrefs(&view.document), links);
            // Every message of the page can be scrolled to, the first included.
            QStringList anchors;
            for (int i = first; i < first + count; ++i)
                anchors << QStringLiteral("sms_%1").arg(c.messages.at(i)->rowid);
            QCOMPARE(messageAnchors(&view.document), anchors);
            QCOMPARE(cellText(tables(&view.document).last(), 1, (first + count - 1) % 2 ? 0 : 1),
                     escapeHtmlFree(displayText(*c.messages.at(first + count - 1))));
        }
        // Pages that do not exist leave the page shown as it is.
        const QString before = view.toHtml();
        view.showPage(0);
        view.showPage(pages + 1);
        QCOMPARE(view.toHtml(), before);
        QCOMPARE(view.currentPage, 1);
    }

    void pageTurnsLeaveTheViewAtTheTopOrBottom()
    {
        Conversation c(120);
        SmsBrowser view;
        view.resize(500, 400);
        view.show();
        view.setMessages(c.messages);
        QScrollBar *bar = view.verticalScrollBar();

        view.previousPage();
        QCOMPARE(view.currentPage, 1);
        view.onAnchorClicked(QUrl("/next_page"));
        QCOMPARE(view.currentPage, 2);
        QCOMPARE(bar->value(), 0);
        view.nextPage();
        QCOMPARE(view.currentPage, 3);
        view.nextPage();
        QCOMPARE(view.currentPage, 3);
        QCOMPARE(int(tables(&view.document).size()), 20);

        view.onAnchorClicked(QUrl("/pre_page"));
        QCOMPARE(view.currentPage, 2);
        QCOMPARE(int(tables(&view.document).size()), 50);
        QVERIFY(bar->maximum() > 0);
        QVERIFY(bar->value() > bar->maximum() - 20);
        QVERIFY(tableOnScreen(view, 49));
        QVERIFY(!tableOnScreen(view, 0));

        view.lastPage();
        QCOMPARE(view.currentPage, 3);
        QVERIFY(bar->value() > bar->maximum() - 20);
        QVERIFY(tableOnScreen(view, 19));
    }

    void aClickOnNextPageTurnsThePage()
    {
        Conversation c(120);
        SmsBrowser view;
        view.resize(500, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.setMessages(c.messages);
        view.moveCursor(QTextCursor::End);
        QTextCursor link = view.document.find("Next Page");
        QVERIFY(!link.isNull());
        link.setPosition(link.selectionStart() + 3);
        const QPoint at = view.cursorRect(link).center() + QPoint(1, 0);
        QVERIFY(view.viewport()->rect().contains(at));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QCOMPARE(view.currentPage, 2);
        QVERIFY(!view.document.isEmpty());
        QVERIFY(hrefs(&view.document).contains("/pre_page"));
    }

    void scrollToMessage_data()
    {
        QTest::addColumn<int>("startPage");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("page");
        QTest::newRow("49 stays on page 1") << 1 << 49 << 1;
        QTest::newRow("49 returns to page 1") << 2 << 49 << 1;
        QTest::newRow("50 turns to page 2") << 1 << 50 << 2;
        QTest::newRow("the last of page 2") << 3 << 99 << 2;
        QTest::newRow("the very last") << 1 << 119 << 3;
    }

    void scrollToMessage()
    {
        QFETCH(int, startPage);
        QFETCH(int, index);
        QFETCH(int, page);
        Conversation c(120);
        SmsBrowser view;
        view.resize(500, 300);
        view.show();
        view.setMessages(c.messages);
        while (view.currentPage < startPage)
            view.nextPage();
        view.scrollToMessage(index);
        QCOMPARE(view.currentPage, page);
        QCoreApplication::processEvents(); // the queued scroll
        QVERIFY(tableOnScreen(view, index % 50));
    }

    void scrollToMessageOutOfRangeChangesNothing()
    {
        Conversation c(120);
        SmsBrowser view;
        view.resize(500, 300);
        view.show();
        view.setMessages(c.messages);
        view.nextPage();
        view.verticalScrollBar()->setValue(200);
        const QString before = view.toHtml();
        for (int index : {-1, 120}) {
            view.scrollToMessage(index);
            QCoreApplication::processEvents();
            QCOMPARE(view.currentPage, 2);
            QCOMPARE(view.verticalScrollBar()->value(), 200);
            QCOMPARE(view.toHtml(), before);
        }
    }

    void linksOtherThanPagesAndFiles()
    {
        Conversation c(120);
        SmsBrowser view;
        view.setMessages(c.messages);
        view.nextPage();
        opened.clear();
        const QString before = view.toHtml();
        for (const char *link : {"http://example.org/x", "/Next_Page", "mailto:tom@example.org", "sms_3",
                                 "#end", "javascript:alert(1)"})
            view.onAnchorClicked(QUrl(QString::fromLatin1(link)));
        QCOMPARE(view.currentPage, 2);
        QCOMPARE(view.toHtml(), before);
        QVERIFY(opened.isEmpty());

        QTemporaryDir dir;
        const QString file = dir.filePath("photo.jpg");
        QFile(file).open(QIODevice::WriteOnly);
        view.onAnchorClicked(QUrl::fromLocalFile(file));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().toLocalFile(), QFileInfo(dir.path()).absoluteFilePath());
        QCOMPARE(view.currentPage, 2);
    }

    void textsAndLabelsAreShownLiterally()
    {
        MsgStoreBuilder b;
        _MsgHandle *mum = b.handle("+4917000000001");
        mum->_ct_name = "<3 Mum";
        _MsgHandle *tom = b.handle("tom@example.org", "iMessage");
        tom->_ct_name = "Tom & Jerry";
        _MsgHandle *ann = b.handle("+4917000000002");
        _MsgChat *mumChat = b.chat({mum});
        _MsgChat *tomChat = b.chat({tom}, "iMessage");
        _MsgChat *group = b.chat({tom, ann}, "iMessage");
        group->display_name = "<a href=\"file:///etc/passwd\">party</a>";
        QList<_MsgMessage *> list{
            b.message(mumChat, mum, "a < b > c & d &lt; e\r\nnext line", 600000000),
            b.message(tomChat, nullptr, "<b>not bold</b> <a href=\"file:///tmp\">x</a>", 600000060),
            b.message(group, tom, "hi all", 600000120),
        };
        SmsBrowser view;
        view.setMessages(list);

        QCOMPARE(hrefs(&view.document), QStringList());
        const QString text = view.document.toPlainText();
        for (const char *shown : {"a < b > c & d &lt; e", "next line", "From: <3 Mum (+4917000000001)",
                                  "<b>not bold</b> <a href=\"file:///tmp\">x</a>", "To: Tom & Jerry (tom@example.org)",
                                  "From: <a href=\"file:///etc/passwd\">party</a> (Tom & Jerry)"})
            QVERIFY2(text.contains(QString::fromUtf8(shown)), shown);
        QVERIFY(!text.contains(QLatin1Char('\r')));
        QVERIFY(text.contains(QRegularExpression("&lt; e[\\n\\x{2028}]next line")));
        const QList<QTextTable *> all = tables(&view.document);
        QCOMPARE(all.size(), 3);
        for (QTextTable *table : all)
            QCOMPARE(table->rows(), 2);
    }

    void sentOnTheRightReceivedOnTheLeft()
    {
        Conversation c(2); // sent, then received
        SmsBrowser view;
        view.setMessages(c.messages);
        const QList<QTextTable *> all = tables(&view.document);
        QCOMPARE(all.size(), 2);
        const QString date0 = QLocale::system().toString(msgDateTime(c.messages.at(0)->date), QLocale::ShortFormat);
        const QString date1 = QLocale::system().toString(msgDateTime(c.messages.at(1)->date), QLocale::ShortFormat);
        struct Expect
        {
            int headColumn;
            QString head;
            QColor colour;
        } expect[2] = {{1, date0 + QChar(QChar::LineSeparator) + "To: Tom (+4915112345678)", QColor("#008040")},
                       {0, date1 + QChar(QChar::LineSeparator) + "From: Tom (+4915112345678)", QColor("#0000FF")}};
        for (int i = 0; i < 2; ++i) {
            QTextTable *t = all.at(i);
            QCOMPARE(t->columns(), 2);
            const int head = expect[i].headColumn;
            QCOMPARE(cellText(t, 0, head), expect[i].head);
            QCOMPARE(cellText(t, 0, 1 - head), QString());
            QCOMPARE(cellText(t, 1, head), QStringLiteral("message %1").arg(i));
            QCOMPARE(cellText(t, 1, 1 - head), QString());
            QCOMPARE(textColour(t, 0, head), expect[i].colour);
            for (int col = 0; col < 2; ++col) {
                QCOMPARE(t->cellAt(1, col).format().background().color(), QColor("#EEEEEE"));
                QCOMPARE(t->cellAt(0, col).format().background().style(), Qt::NoBrush);
            }
        }
    }

    void screenshotOfAPage()
    {
        Conversation c(6);
        c.messages.at(1)->handle->_ct_name = "Tom & Jerry";
        SmsBrowser view;
        view.setMessages(c.messages);
        const QImage shot = testsupport::renderWidget(&view, QSize(600, 420));
        testsupport::saveShot(shot, "conversation_page");
        QCOMPARE(shot.size(), QSize(600, 420));
        QVERIFY(testsupport::notBlank(shot, shot.rect()));
        const int mid = shot.width() / 2;
        auto green = [](QColor p) { return p.green() > 90 && p.red() < 90 && p.blue() < 120 && p.green() > p.blue(); };
        auto blue = [](QColor p) { return p.blue() > 150 && p.red() < 90 && p.green() < 90; };
        auto grey = [](QColor p) { return testsupport::near(p, QColor(0xEE, 0xEE, 0xEE), 3); };
        const QRect left(0, 0, mid - 5, shot.height()), right(mid + 5, 0, mid - 5, shot.height());
        QVERIFY(testsupport::countPixels(shot, right, green) > 30);
        QCOMPARE(testsupport::countPixels(shot, left, green), 0);
        QVERIFY(testsupport::countPixels(shot, left, blue) > 30);
        QCOMPARE(testsupport::countPixels(shot, right, blue), 0);
        // Grey text bands span both halves, row after row.
        int bands = 0;
        bool inBand = false;
        for (int y = 0; y < shot.height(); ++y) {
            const bool band = grey(shot.pixelColor(20, y)) && grey(shot.pixelColor(shot.width() - 30, y));
            bands += band && !inBand ? 1 : 0;
            inBand = band;
        }
        QVERIFY2(bands >= 4, qPrintable(QString::number(bands)));
    }

private:
    static QString escapeHtmlFree(const QString &text)
    {
        QString t = text;
        t.replace(QLatin1Char('\n'), QChar(QChar::LineSeparator));
        return t;
    }
};

QP_TEST_MAIN(TestSmsBrowser)

} // namespace tst_smsbrowser

#include "tst_smsbrowser.moc"
