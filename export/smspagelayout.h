#pragma once
// Paints messages down the pages of a printer, for the PDF export and for
// printing. Coordinates are device pixels from the top-left corner of the
// printer's page rectangle; the content area lies a further margin inside it
// (the page margins in points, used as pixels), and the page number sits in an
// 18-pixel band just below it, right-aligned.
//
// A message block, as wide as the content area, in the application font at
// 12 points, wrapped at word boundaries (inside a word only when it is wider
// than a line):
//
//   date    locale short date and time   green (0,128,64) sent, blue (0,0,255) received
//   header  "To: " / "From: " + chat title with numbers, same colour
//   body    displayText                   black
//
// with 5 pixels after the date and the header and 30 after the body. A block
// goes on the current page when its three lines and the two small gaps fit
// (the trailing gap may run past the bottom), else it starts the next page. A
// block taller than a whole page starts on a fresh page and runs on over as
// many pages as it needs, breaking between lines; a page is never left blank.
#include "store/msgrecords.h"

#include <QPainter>
#include <QRect>
#include <QString>

class QPrinter;
class QTextLayout;

class SMSPageLayout
{
public:
    SMSPageLayout();
    ~SMSPageLayout(); // ends painting when still active

    // Takes the printer's margins and page rectangle, begins painting and
    // numbers page 1. False when the painter cannot begin (a PDF file that
    // cannot be created): nothing is painted then.
    bool begin(QPrinter *printer);
    bool isActive() const { return painter.isActive(); }
    // Starts a new page when fewer than need pixels are left on this one and
    // something is painted on it already.
    void ensureSpace(int need);
    void drawMessage(const _MsgMessage &message);
    // Ends painting, which finishes the document; QPainter's answer.
    bool end();

    // Height of text wrapped at width, in the block font on the printer.
    int textHeight(const QString &text, int width) const;

    QRect contentRect() const { return content; }
    int currentY() const { return y; }
    int pageNumber() const { return page; }

private:
    int layoutText(QTextLayout &layout, int width) const;
    void paintText(QTextLayout &layout, int height, const QColor &color, int gapAfter);
    void startPage();
    void paintPageNumber();

    QPrinter *printer = nullptr;
    QPainter painter;
    QRect content;
    int y = 0;
    int page = 0;
};
