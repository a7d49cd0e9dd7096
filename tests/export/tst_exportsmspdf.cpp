// The page layout behind the PDF export and printing, read back from the PDF
// files with poppler's tools: page numbers, page breaks, colours, long
// conversations and bodies taller than a page, and files that cannot be made.
#include "app/idstranslator.h"
#include "export/exportsmspdf.h"
#include "export/smspagelayout.h"
#include "export/smsprinter.h"
#include "store/msgtext.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/pdftools.h"
#include "tests/support/testmain.h"

#include <QFile>
#include <QPageSize>
#include <QPrinter>
#include <QTemporaryDir>

#include <algorithm>
#include <stdexcept>

namespace tst_exportsmspdf {

using namespace testsupport;

namespace {

// 2013-09-04 17:06:40 in Berlin (summer time).
constexpr int kDate = 400000000;
// Device pixels of the screen-resolution printer to points.
constexpr qreal kPt = 72.0 / 96.0;

void writePdf(const QString &path, const QList<_MsgMessage *> &messages)
{
    ExportSMSPdf writer(path);
    QCOMPARE(writer.device().resolution(), 96); // what pins the page breaks below
    writer.begin();
    for (const _MsgMessage *m : messages)
        writer.write(*m);
    writer.end();
}

// One line of words as pdftotext places them.
struct Line
{
    int page = 0;
    QString text;
    QRectF box;
};

// A message block found on the pages: its date line, its header line (the one
// starting "To:" or "From:") and the body lines up to the next date line.
struct Block
{
    QList<Line> lines;
    int bodyStart = 2;
    QString body() const
    {
        QStringList b;
        for (qsizetype i = bodyStart; i < lines.size(); ++i)
            b << lines[i].text;
        return b.join('\n');
    }
    int firstPage() const { return lines.first().page; }
    int lastPage() const { return lines.last().page; }
};

struct Layout
{
    int pages = 0;
    QList<QPair<QString, QRectF>> numbers; // per page: the page-number text and box
    QList<Block> blocks;
    qreal contentEnd = 0; // points: the lower edge of the content area
    qreal contentRight = 0;
};

Layout readLayout(const QString &pdf)
{
    Layout out;
    out.pages = pdfPageCount(pdf);
    QList<Line> lines;
    for (const PdfWord &w : pdfWords(pdf)) {
        if (!lines.isEmpty() && lines.last().page == w.page && qAbs(lines.last().box.top() - w.box.top()) < 1) {
            lines.last().text += ' ' + w.text;
            lines.last().box |= w.box;
        } else {
            lines.append({w.page, w.text, w.box});
        }
    }
    // The page number is the lowest line of its page.
    out.numbers.resize(out.pages);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const bool lastOfPage = i + 1 == lines.size() || lines[i + 1].page != lines[i].page;
        if (lastOfPage && lines[i].page >= 1 && lines[i].page <= out.pages)
            out.numbers[lines[i].page - 1] = {lines[i].text, lines[i].box};
    }
    if (!out.numbers.isEmpty()) {
        // The number's band starts two pixels below the content area.
        out.contentEnd = out.numbers[0].second.top() - 1 * kPt;
        out.contentRight = out.numbers[0].second.right();
    }
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Line &l = lines[i];
        if (l.box.top() >= out.contentEnd)
            continue; // a page number
        const bool header = l.text.startsWith("To:") || l.text.startsWith("From:");
        if (i + 1 < lines.size() && (lines[i + 1].text.startsWith("To:") || lines[i + 1].text.startsWith("From:"))
            && !header) {
            out.blocks.append(Block());
        }
        if (!out.blocks.isEmpty())
            out.blocks.last().lines.append(l);
    }
    return out;
}

QString dump(const Layout &l)
{
    QStringList s;
    for (const Block &b : l.blocks)
        s << QString("p%1-%2 %3").arg(b.firstPage()).arg(b.lastPage()).arg(b.body().left(20));
    return s.join(" | ");
}

// Pixels in box (points) of the page image whose colour lies near colour.
int pixelsNear(const QImage &page, int dpi, const QRectF &box, const QColor &colour)
{
    const qreal f = dpi / 72.0;
    const QRect r = QRectF(box.topLeft() * f, box.bottomRight() * f).toAlignedRect() & page.rect();
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c = page.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) + qAbs(c.blue() - colour.blue()) < 60)
                ++n;
        }
    return n;
}

struct Conversation
{
    MsgStoreBuilder b;
    _MsgHandle *anna;
    _MsgChat *chat;
    Conversation()
    {
        anna = b.handle("+4917012345");
        anna->_ct_name = QString::fromUtf8("Anna M\xC3\xBCller");
        chat = b.chat({anna});
    }
    // Bodies start with "m<i>" so their order can be read back.
    _MsgMessage *add(int i, const QString &rest = "with some words")
    {
        return b.message(chat, i % 2 ? nullptr : anna, QString("m%1 %2").arg(i, 2, 10, QChar('0')).arg(rest),
                         kDate + i * 60);
    }
};

} // namespace

class TestExportSMSPdf : public QObject
{
    Q_OBJECT
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;

    QString pdfPath() const { return dir->filePath("out.pdf"); }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void anEmptyExportIsOneNumberedA4Page()
    {
        writePdf(pdfPath(), {});
        QList<PdfPage> pages;
        const QList<PdfWord> words = pdfWords(pdfPath(), &pages);
        QCOMPARE(pages.size(), 1);
        QCOMPARE(qRound(pages[0].width), 595);
        QCOMPARE(qRound(pages[0].height), 842);
        QCOMPARE(words.size(), 1);
        QCOMPARE(words[0].text, "1");
        // Right-aligned in the band below the content area: 20 points of page
        // margin and 20 pixels of content margin from the right and the bottom.
        QVERIFY2(qAbs(words[0].box.right() - (595 - 20 - 20 * kPt)) < 1, qPrintable(QString::number(words[0].box.right())));
        QVERIFY2(words[0].box.top() > 842 - 20 - 20 * kPt && words[0].box.top() < 842 - 20 - 10 * kPt,
                 qPrintable(QString::number(words[0].box.top())));
    }

    void aConversationFillsPagesInOrder_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("varied"); // bodies of one to six lines
        QTest::addColumn<int>("pages");
        QTest::newRow("one page") << 10 << false << 1;
        QTest::newRow("one more") << 11 << false << 2;
        QTest::newRow("forty") << 40 << false << 4;
        QTest::newRow("varied bodies") << 60 << true << 0; // pages not fixed here
    }
    void aConversationFillsPagesInOrder()
    {
        QFETCH(int, count);
        QFETCH(bool, varied);
        QFETCH(int, pages);
        Conversation c;
        for (int i = 0; i < count; ++i) {
            QString rest = "with some words";
            if (varied)
                for (int k = 0; k < i % 6; ++k)
                    rest += QString("\nline %1 of a longer text, long enough to wrap once it is repeated "
                                    "a few times over the width of the page and more")
                                .arg(k);
            c.add(i, rest);
        }
        writePdf(pdfPath(), c.b.messages());
        const Layout l = readLayout(pdfPath());
        if (pages)
            QCOMPARE(l.pages, pages);
        QCOMPARE(l.blocks.size(), count);
        for (int p = 1; p <= l.pages; ++p)
            QCOMPARE(l.numbers[p - 1].first, QString::number(p));
        int page = 1;
        for (int i = 0; i < count; ++i) {
            const Block &b = l.blocks[i];
            QVERIFY2(b.body().startsWith(QString("m%1 ").arg(i, 2, 10, QChar('0'))), qPrintable(dump(l)));
            QCOMPARE(b.lines[1].text.startsWith("To:"), i % 2 == 1);
            // A block that fits a page is never split; pages follow each other.
            QCOMPARE(b.firstPage(), b.lastPage());
            QVERIFY(b.firstPage() == page || b.firstPage() == page + 1);
            if (b.firstPage() != page) {
                // Greedy: the block did not fit below the one before it.
                const Block &before = l.blocks[i - 1];
                const qreal height = b.lines.last().box.bottom() - b.lines.first().box.top();
                QVERIFY2(before.lines.last().box.bottom() + 30 * kPt + height > l.contentEnd - 1, qPrintable(dump(l)));
                page = b.firstPage();
            }
            QVERIFY(b.lines.last().box.bottom() <= l.contentEnd + 1);
        }
        QCOMPARE(page, l.pages); // no empty page at the end
    }

    void aBodyTallerThanAPageRunsOnWhole_data()
    {
        QTest::addColumn<bool>("shortFirst");
        QTest::newRow("first on its page") << false;
        QTest::newRow("after a short message") << true;
    }
    void aBodyTallerThanAPageRunsOnWhole()
    {
        QFETCH(bool, shortFirst);
        Conversation c;
        if (shortFirst)
            c.add(0, "short");
        QStringList lines;
        for (int k = 1; k <= 130; ++k)
            lines << QString("line %1").arg(k, 3, 10, QChar('0'));
        c.add(1, lines.join('\n'));
        c.add(2, "after");
        writePdf(pdfPath(), c.b.messages());
        const Layout l = readLayout(pdfPath());
        QCOMPARE(l.blocks.size(), shortFirst ? 3 : 2);
        const Block &tall = l.blocks[shortFirst ? 1 : 0];
        QCOMPARE(tall.body(), "m01 " + lines.join('\n'));
        // It starts at the top of a page (page 1 when nothing comes before,
        // never behind an empty page) and ends pages later, then the next
        // message follows it on its last page.
        QCOMPARE(tall.firstPage(), shortFirst ? 2 : 1);
        QCOMPARE(tall.lines.first().box.top(), l.blocks[0].lines.first().box.top());
        QVERIFY(tall.lastPage() >= tall.firstPage() + 2);
        QCOMPARE(l.blocks.last().firstPage(), tall.lastPage());
        QCOMPARE(l.pages, tall.lastPage());
        for (const Line &line : tall.lines)
            QVERIFY2(line.box.bottom() <= l.contentEnd + 1, qPrintable(line.text));
        for (int p = 1; p <= l.pages; ++p)
            QCOMPARE(l.numbers[p - 1].first, QString::number(p));
    }

    void aWordWiderThanThePageWrapsInside()
    {
        Conversation c;
        QString link = "https://example.com/";
        for (int k = 0; k < 40; ++k)
            link += QString("segment%1_").arg(k);
        c.add(0, link);
        writePdf(pdfPath(), c.b.messages());
        const Layout l = readLayout(pdfPath());
        QCOMPARE(l.blocks.size(), 1);
        QVERIFY(l.blocks[0].lines.size() > 3);
        QCOMPARE(l.blocks[0].body().remove('\n').remove(' '), "m00" + link);
        for (const Line &line : l.blocks[0].lines)
            QVERIFY2(line.box.right() <= l.contentRight + 1, qPrintable(line.text));
    }

    void headsAreColouredByDirection()
    {
        Conversation c;
        c.add(0, "received body");
        c.add(1, "sent body");
        writePdf(pdfPath(), c.b.messages());
        const Layout l = readLayout(pdfPath());
        QCOMPARE(l.blocks.size(), 2);
        const int dpi = 150;
        const QImage page = pdfPageImage(pdfPath(), 1, dpi);
        QVERIFY(!page.isNull());
        const QColor green(0, 128, 64), blue(0, 0, 255), black(0, 0, 0);
        for (int i = 0; i < 2; ++i) {
            const QColor &own = i == 0 ? blue : green;
            const QColor &other = i == 0 ? green : blue;
            for (int k = 0; k < 2; ++k) { // date and header
                QVERIFY2(pixelsNear(page, dpi, l.blocks[i].lines[k].box, own) > 10, qPrintable(l.blocks[i].lines[k].text));
                QCOMPARE(pixelsNear(page, dpi, l.blocks[i].lines[k].box, other), 0);
                QCOMPARE(pixelsNear(page, dpi, l.blocks[i].lines[k].box, black), 0);
            }
            const QRectF body = l.blocks[i].lines[2].box;
            QVERIFY(pixelsNear(page, dpi, body, black) > 10);
            QCOMPARE(pixelsNear(page, dpi, body, own), 0);
        }
        QVERIFY(pixelsNear(page, dpi, l.numbers[0].second, black) > 3);
    }

    void aRightToLeftNameKeepsItsNumberInOrder()
    {
        // The number in parentheses after an Arabic name reads left to right,
        // to the right of the name, as printed.
        MsgStoreBuilder b;
        _MsgHandle *muhammad = b.handle("+971501234567");
        muhammad->_ct_name = QString::fromUtf8("\xD9\x85\xD8\xAD\xD9\x85\xD8\xAF");
        b.message(b.chat({muhammad}), muhammad, "salam", kDate);
        writePdf(pdfPath(), b.messages());
        // pdftotext gives the name glyph by glyph, in Arabic presentation forms.
        const auto arabic = [](const QString &text) {
            return std::any_of(text.begin(), text.end(), [](QChar c) {
                return (c.unicode() >= 0x0600 && c.unicode() <= 0x06FF) || c.unicode() >= 0xFB50;
            });
        };
        QRectF from, name, number;
        QString numberText;
        QStringList seen;
        for (const PdfWord &w : pdfWords(pdfPath())) {
            seen << QString("%1@%2-%3").arg(w.text).arg(w.box.left()).arg(w.box.right());
            if (w.text == "From:") {
                from = w.box;
            } else if (arabic(w.text)) {
                name = name.isNull() ? w.box : name | w.box;
            } else if (w.text.contains("97150")) {
                number = w.box;
                numberText = w.text;
            }
        }
        QVERIFY2(!from.isNull() && !name.isNull() && !number.isNull(), qPrintable(seen.join(" | ")));
        QCOMPARE(numberText, "(+971501234567)");
        QVERIFY(from.right() < name.left());
        QVERIFY(name.right() < number.left());
    }

    void aMessageWithoutChatHasABareHeader()
    {
        MsgStoreBuilder b;
        b.message(nullptr, b.handle("+4917012345"), "lost", kDate);
        writePdf(pdfPath(), b.messages());
        const Layout l = readLayout(pdfPath());
        QCOMPARE(l.blocks.size(), 1);
        QCOMPARE(l.blocks[0].lines[1].text, "From:");
        QCOMPARE(l.blocks[0].body(), "lost");
    }

    void spaceOnAPage_data()
    {
        QTest::addColumn<int>("messagesFirst");
        QTest::addColumn<int>("extra"); // need = space left + extra
        QTest::addColumn<int>("page");
        QTest::newRow("exactly the space left") << 1 << 0 << 1;
        QTest::newRow("one pixel more") << 1 << 1 << 2;
        QTest::newRow("less") << 1 << -1 << 1;
        QTest::newRow("more than a page on an empty page") << 0 << 5000 << 1;
    }
    void spaceOnAPage()
    {
        QFETCH(int, messagesFirst);
        QFETCH(int, extra);
        QFETCH(int, page);
        QPrinter printer(QPrinter::ScreenResolution);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdfPath());
        printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
        SMSPageLayout layout;
        QVERIFY(layout.begin(&printer));
        const QRect content = layout.contentRect();
        QCOMPARE(content.topLeft(), QPoint(20, 20));
        Conversation c;
        for (int i = 0; i < messagesFirst; ++i) {
            _MsgMessage *m = c.add(i, "two\nlines");
            const int before = layout.currentY();
            layout.drawMessage(*m);
            // The block's three lines, two gaps of 5 and 30 below the body: in
            // 12-point DejaVu Sans at 96 dpi a line is 19 pixels high, so the
            // date, the header and the two body lines take 19 + 19 + 38.
            QCOMPARE(layout.currentY() - before, 19 + 5 + 19 + 5 + 38 + 30);
        }
        const int left = content.bottom() + 1 - layout.currentY();
        layout.ensureSpace(left + extra);
        QCOMPARE(layout.pageNumber(), page);
        if (page == 2)
            QCOMPARE(layout.currentY(), content.top());
        QVERIFY(layout.end());
        QCOMPARE(pdfPageCount(pdfPath()), page);
    }

    void aPdfThatCannotBeCreatedIsAnError()
    {
        const QString path = dir->filePath("missing/out.pdf");
        QTest::ignoreMessage(QtWarningMsg, "QPainter::begin(): Returned false");
        ExportSMSPdf writer(path);
        try {
            writer.begin();
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()), "Cannot create a PDF file in the folder " + dir->filePath("missing") + ".");
        }
        QVERIFY(!QFile::exists(path));
    }

    // ---- printing -------------------------------------------------------------

    void printingLaysOutTheWholeListOnEveryRequest()
    {
        Conversation c;
        for (int i = 0; i < 15; ++i)
            c.add(i);
        SMSPrinter printer(nullptr);
        printer.setMessages(c.b.messages());
        QStringList texts;
        for (int run = 0; run < 2; ++run) {
            // What the preview hands over for each repaint and for printing.
            QPrinter device(QPrinter::ScreenResolution);
            device.setPageSize(QPageSize(QPageSize::A4));
            device.setOutputFormat(QPrinter::PdfFormat);
            device.setOutputFileName(dir->filePath(QString("print%1.pdf").arg(run)));
            device.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
            printer.onPaintRequested(&device);
            const Layout l = readLayout(device.outputFileName());
            QCOMPARE(l.pages, 2);
            QCOMPARE(l.blocks.size(), 15);
            QVERIFY(l.blocks.first().body().startsWith("m00 "));
            QCOMPARE(l.numbers[0].first, "1");
            texts << pdfText(device.outputFileName());
        }
        QCOMPARE(texts[1], texts[0]);
    }

    void printingNothingGivesOneNumberedPage()
    {
        SMSPrinter printer(nullptr);
        QPrinter device(QPrinter::ScreenResolution);
        device.setOutputFormat(QPrinter::PdfFormat);
        device.setOutputFileName(pdfPath());
        printer.onPaintRequested(&device);
        QCOMPARE(pdfPageCount(pdfPath()), 1);
        QCOMPARE(pdfText(pdfPath()).simplified(), "1");
    }
};

QP_TEST_MAIN(TestExportSMSPdf)

} // namespace tst_exportsmspdf

#include "tst_exportsmspdf.moc"
