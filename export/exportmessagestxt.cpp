#include "export/exportmessagestxt.h"

#include "export/exporttextfile.h"
#include "export/msglocaltime.h"
#include "store/msgtext.h"

namespace {
constexpr int kDateWidth = 30;
constexpr int kFlagWidth = 6;
constexpr int kNameWidth = 40;
} // namespace

ExportMessagesTxt::ExportMessagesTxt(const QString &path) : file(path), locale(QLocale::system()) {}

ExportMessagesTxt::~ExportMessagesTxt() = default;

void ExportMessagesTxt::begin()
{
    openExportTextFile(file, stream);
    stream.setFieldAlignment(QTextStream::AlignLeft);
    stream.setPadChar(QLatin1Char(' '));
    stream << qSetFieldWidth(kDateWidth) << "Date" << qSetFieldWidth(kFlagWidth) << "Flag"
           << qSetFieldWidth(kNameWidth) << "Name" << qSetFieldWidth(0) << "Message" << '\n';
}

void ExportMessagesTxt::write(const _MsgMessage &m)
{
    const char *flag = "";
    if (m.item_type == 0)
        flag = m.is_from_me ? "To" : "From";
    if (!m.chat) {
        titleChat = nullptr;
        title = QStringLiteral("Unknown");
    } else if (m.chat != titleChat) {
        titleChat = m.chat;
        title = chatTitle(*m.chat, false);
    }
    QString text = displayText(m);
    text.remove(QLatin1Char('\r'));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    stream << qSetFieldWidth(kDateWidth) << MsgLocalTime::shortText(m.date, locale)
           << qSetFieldWidth(kFlagWidth) << flag << qSetFieldWidth(kNameWidth) << title
           << qSetFieldWidth(0) << text << '\n';
}

void ExportMessagesTxt::end()
{
    closeExportTextFile(file, stream);
}
