#include "export/smspagelayout.h"

#include "export/msglocaltime.h"
#include "store/msgtext.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLocale>
#include <QPrinter>
#include <QTextLayout>
#include <QtMath>

namespace {

constexpr int kSmallGap = 5;
constexpr int kMessageGap = 30;
constexpr int kPageNumberGap = 2;
constexpr int kPageNumberHeight = 18;

const QColor kSentColor(0, 128, 64);
const QColor kReceivedColor(0, 0, 255);

// The application font at 12 points, copied once: the export paints in a
// worker thread, which must not read the application's font while the GUI
// thread may change it.
const QFont &blockFont()
{
    static const QFont font = [] {
        QFont f = QGuiApplication::font();
        f.setPointSize(12);
        return f;
    }();
    return font;
}

// Line breaks as the painter's own text drawing makes them: a line feed ends
// a line, a carriage return shows as a blank.
QString forLayout(QString text)
{
    for (QChar &c : text) {
        if (c == QLatin1Char('\n'))
            c = QChar::LineSeparator;
        else if (c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace

SMSPageLayout::SMSPageLayout() = default;

SMSPageLayout::~SMSPageLayout() = default;

bool SMSPageLayout::begin(QPrinter *device)
{
    printer = device;
    const QMarginsF margins = printer->pageLayout().margins(QPageLayout::Point);
    const QRectF page = printer->pageRect(QPrinter::DevicePixel);
    const int left = int(margins.left());
    const int top = int(margins.top());
    // The margins in points serve as pixel offsets inside the page rectangle,
    // which already lies inside the same margins.
    content = QRect(QPoint(left, top),
                    QPoint(left + int(page.width() - margins.left() - margins.right()) - 1,
                           top + int(page.height() - margins.top() - margins.bottom()) - 1));
    y = content.top();
    this->page = 1;
    if (!painter.begin(printer))
        return false;
    painter.setFont(blockFont());
    paintPageNumber();
    return true;
}

void SMSPageLayout::ensureSpace(int need)
{
    // At the top of a page moving on gains nothing: it would only leave an
    // empty page behind.
    if (content.bottom() + 1 - y < need && y > content.top())
        startPage();
}

void SMSPageLayout::drawMessage(const _MsgMessage &m)
{
    const bool sent = m.is_from_me != 0;
    const QString date = MsgLocalTime::shortText(m.date);
    QString header = QLatin1String(sent ? "To: " : "From: ");
    if (m.chat)
        header += chatTitle(*m.chat, true, true);
    const int w = content.width();
    QTextLayout dateLayout(forLayout(date), blockFont(), printer);
    QTextLayout headerLayout(forLayout(header), blockFont(), printer);
    QTextLayout bodyLayout(forLayout(displayText(m)), blockFont(), printer);
    const int hD = layoutText(dateLayout, w);
    const int hH = layoutText(headerLayout, w);
    const int hB = layoutText(bodyLayout, w);

    ensureSpace(hD + hH + hB + 2 * kSmallGap);
    const QColor &color = sent ? kSentColor : kReceivedColor;
    paintText(dateLayout, hD, color, kSmallGap);
    paintText(headerLayout, hH, color, kSmallGap);
    paintText(bodyLayout, hB, Qt::black, kMessageGap);
}

bool SMSPageLayout::end()
{
    return painter.end();
}

int SMSPageLayout::textHeight(const QString &text, int width) const
{
    QTextLayout layout(forLayout(text), blockFont(), printer);
    return layoutText(layout, width);
}

int SMSPageLayout::layoutText(QTextLayout &layout, int width) const
{
    QTextOption option;
    // A word wider than the line (a long link) breaks inside rather than
    // running off the paper.
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const qreal leading = QFontMetricsF(blockFont(), printer).leading();
    // Lines sit on whole pixels, one leading apart, as the painter's wrapped
    // text drawing places them.
    qreal height = -leading;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        height = qCeil(height + leading);
        line.setPosition(QPointF(0, height));
        height += line.height();
    }
    layout.endLayout();
    return qMax(0, qCeil(height));
}

void SMSPageLayout::paintText(QTextLayout &layout, int height, const QColor &color, int gapAfter)
{
    const int lines = layout.lineCount();
    if (content.bottom() + 1 - y >= height) {
        painter.setPen(color);
        layout.draw(&painter, QPointF(content.left(), y));
        y += height + gapAfter;
        return;
    }
    // Too tall for what is left of the page: as many whole lines as fit go
    // here, the rest onto the following pages.
    int first = 0;
    while (first < lines) {
        const qreal base = layout.lineAt(first).y();
        int past = first;
        qreal usedBottom = 0;
        while (past < lines) {
            const QTextLine line = layout.lineAt(past);
            const qreal bottom = line.y() + line.height() - base;
            if (y + qCeil(bottom) > content.bottom() + 1)
                break;
            usedBottom = bottom;
            ++past;
        }
        if (past == first) {
            if (y > content.top()) {
                startPage();
                continue;
            }
            // A single line taller than a page: paint it and let it be cut,
            // rather than turn pages forever.
            usedBottom = layout.lineAt(first).height();
            past = first + 1;
        }
        painter.setPen(color);
        for (int i = first; i < past; ++i)
            layout.lineAt(i).draw(&painter, QPointF(content.left(), y - base));
        first = past;
        if (first < lines)
            startPage();
        else
            y += qCeil(usedBottom);
    }
    y += gapAfter;
}

void SMSPageLayout::startPage()
{
    printer->newPage();
    ++page;
    y = content.top();
    paintPageNumber();
}

void SMSPageLayout::paintPageNumber()
{
    painter.setPen(Qt::black);
    painter.drawText(QRect(content.left(), content.bottom() + kPageNumberGap, content.width(), kPageNumberHeight),
                     Qt::AlignRight, QString::number(page));
}
