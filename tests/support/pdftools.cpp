#include "tests/support/pdftools.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>

namespace testsupport {

namespace {

QByteArray run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
        return QByteArray();
    }
    return p.readAllStandardOutput();
}

} // namespace

int pdfPageCount(const QString &pdf)
{
    const QString info = QString::fromUtf8(run("pdfinfo", {pdf}));
    const QRegularExpressionMatch m = QRegularExpression("^Pages:\\s+(\\d+)$", QRegularExpression::MultilineOption)
                                          .match(info);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

QString pdfText(const QString &pdf, int page)
{
    QStringList args = {"-enc", "UTF-8"};
    if (page > 0)
        args << "-f" << QString::number(page) << "-l" << QString::number(page);
    args << pdf << "-";
    return QString::fromUtf8(run("pdftotext", args));
}

QList<PdfWord> pdfWords(const QString &pdf, QList<PdfPage> *pages)
{
    QXmlStreamReader xml(run("pdftotext", {"-enc", "UTF-8", "-bbox", pdf, "-"}));
    QList<PdfWord> words;
    int page = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == QLatin1String("page")) {
            ++page;
            if (pages)
                pages->append({a.value("width").toDouble(), a.value("height").toDouble()});
        } else if (xml.name() == QLatin1String("word")) {
            PdfWord w;
            w.page = page;
            w.box = QRectF(QPointF(a.value("xMin").toDouble(), a.value("yMin").toDouble()),
                           QPointF(a.value("xMax").toDouble(), a.value("yMax").toDouble()));
            w.text = xml.readElementText();
            words.append(w);
        }
    }
    return words;
}

QImage pdfPageImage(const QString &pdf, int page, int dpi)
{
    QTemporaryDir dir;
    const QString prefix = dir.filePath("page");
    run("pdftoppm", {"-png", "-r", QString::number(dpi), "-f", QString::number(page), "-l", QString::number(page),
                     "-singlefile", pdf, prefix});
    return QImage(prefix + ".png");
}

} // namespace testsupport
