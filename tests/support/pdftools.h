#pragma once
// Reads back the PDF files the program writes through poppler's command-line
// tools (pdfinfo, pdftotext, pdftoppm), so tests check what a reader sees
// rather than what the writer meant to paint.
#include <QImage>
#include <QList>
#include <QRectF>
#include <QString>

namespace testsupport {

struct PdfWord
{
    int page = 0;      // from 1
    QString text;
    QRectF box;        // in points from the page's top-left corner
};

struct PdfPage
{
    qreal width = 0;   // points
    qreal height = 0;
};

// 0 when the file is no readable PDF.
int pdfPageCount(const QString &pdf);
// The text of one page (from 1), or of all pages for 0, in reading order.
QString pdfText(const QString &pdf, int page = 0);
// Every word with its page and box, page by page, top to bottom.
QList<PdfWord> pdfWords(const QString &pdf, QList<PdfPage> *pages = nullptr);
// One page rendered at dpi; a null image when that fails.
QImage pdfPageImage(const QString &pdf, int page, int dpi);

} // namespace testsupport
