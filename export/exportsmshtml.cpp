#include "export/exportsmshtml.h"

#include "export/escapehtml.h"
#include "export/exporttextfile.h"
#include "export/msglocaltime.h"
#include "store/msgtext.h"

#include <QCoreApplication>

ExportSMSHtml::ExportSMSHtml(const QString &path) : file(path), locale(QLocale::system()) {}

ExportSMSHtml::~ExportSMSHtml() = default;

void ExportSMSHtml::begin()
{
    openExportTextFile(file, stream);
    stream.setFieldAlignment(QTextStream::AlignLeft);
    stream << "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
              "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
           << "<html xmlns=\"http://www.w3.org/1999/xhtml\">"
           << "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />"
           << "<title>" << QCoreApplication::translate("QObject", "Quillmarten Parlevane")
           << "</title></head><body>";
}

void ExportSMSHtml::write(const _MsgMessage &m)
{
    if (m.chat != titleChat || title.isNull()) {
        titleChat = m.chat;
        title = m.chat ? escapeHtml(chatTitle(*m.chat, true, true)) : QStringLiteral("");
    }
    const bool sent = m.is_from_me != 0;
    // Put together piece by piece rather than with chained arg() calls: a
    // filled-in value holding "%4" must stay text, not become a placeholder.
    QString block;
    block.reserve(256);
    block += QLatin1String("<a name=\"sms");
    block += QString::number(m.rowid);
    block += QLatin1String("\"></a><div style=\"color:");
    block += QLatin1String(sent ? "#008040" : "#0000FF");
    block += QLatin1String(";font-size:16px;\"><div>");
    block += MsgLocalTime::shortText(m.date, locale);
    block += QLatin1String("</div><div>");
    block += QLatin1String(sent ? "To: " : "From: ");
    block += title;
    block += QLatin1String("</div></div><div style=\"font-size:14px;\">");
    block += escapeHtml(displayText(m));
    block += QLatin1String("</div><br/><br/>\n");
    stream << block;
}

void ExportSMSHtml::end()
{
    stream << "</body></html>";
    closeExportTextFile(file, stream);
}
