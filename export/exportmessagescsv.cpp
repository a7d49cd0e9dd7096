#include "export/exportmessagescsv.h"

#include "export/exporttextfile.h"
#include "export/msglocaltime.h"
#include "store/msgtext.h"

ExportMessagesCsv::ExportMessagesCsv(const QString &path) : file(path) {}

ExportMessagesCsv::~ExportMessagesCsv() = default;

void ExportMessagesCsv::begin()
{
    openExportTextFile(file, stream);
    stream << "date" << ",send" << ",person" << ",number" << ",content" << '\n';
}

void ExportMessagesCsv::write(const _MsgMessage &m)
{
    QString person, number;
    if (const _MsgChat *chat = m.chat) {
        if (chat->isGroup()) {
            person = number = chat->chat_identifier;
        } else if (!chat->members.isEmpty()) {
            const _MsgHandle *h = *chat->members.cbegin(); // the only member
            person = h->_ct_name;
            number = h->id;
        }
    }
    // Lines end with a plain line feed: flushing every line (as endl does)
    // would cost a system call per message on large exports.
    stream << MsgLocalTime::isoText(m.date) << ','
           << (m.is_from_me ? '1' : '0') << ',' << csvField(person) << ',' << csvField(number) << ','
           << csvField(displayText(m)) << '\n';
}

void ExportMessagesCsv::end()
{
    closeExportTextFile(file, stream);
}

QString ExportMessagesCsv::csvField(const QString &text)
{
    bool quote = false;
    QString out;
    out.reserve(text.size() + 2);
    for (const QChar c : text) {
        if (c == QLatin1Char('"')) {
            out += QLatin1String("\"\"");
            quote = true;
        } else {
            // A lone CR is a line break to spreadsheet programs and csv
            // readers as well: unquoted it would split the row.
            if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char(','))
                quote = true;
            out += c;
        }
    }
    if (!quote)
        return out;
    return QLatin1Char('"') + out + QLatin1Char('"');
}
