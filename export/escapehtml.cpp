#include "export/escapehtml.h"

QString escapeHtml(const QString &text)
{
    // One scan instead of four replacements: the export runs this twice per
    // message. No replacement makes a character another step would change,
    // so one pass gives what the replacements in turn would.
    QString out;
    out.reserve(text.size() + text.size() / 8);
    const qsizetype n = text.size();
    const QChar *s = text.constData();
    for (qsizetype i = 0; i < n; ++i) {
        switch (s[i].unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '\r':
            if (i + 1 < n && s[i + 1] == QLatin1Char('\n')) {
                out += QLatin1String("<br/>");
                ++i;
            } else {
                out += s[i];
            }
            break;
        case '\n':
            out += QLatin1String("<br/>");
            break;
        default: {
            // Control characters (other than tab and line breaks) and the
            // code points XML has no place for make the page no XML at all:
            // they go. A surrogate stays only as half of a whole pair.
            const char16_t c = s[i].unicode();
            if (c < 0x20 ? c != '\t' : (c >= 0x7F && c <= 0x9F) || c == 0xFFFE || c == 0xFFFF)
                break;
            if (QChar::isHighSurrogate(c)) {
                if (i + 1 < n && s[i + 1].isLowSurrogate()) {
                    out += s[i];
                    out += s[++i];
                }
                break;
            }
            if (QChar::isLowSurrogate(c))
                break;
            out += s[i];
        }
        }
    }
    return out;
}
