#include "export/msglocaltime.h"

#include "store/msgtext.h"

#include <ctime>

namespace {

bool localParts(int date, std::tm &parts)
{
    const std::time_t t = std::time_t(qint64(date) + MSG_EPOCH_OFFSET);
    return localtime_r(&t, &parts) != nullptr;
}

char *digits(char *out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

} // namespace

QDateTime MsgLocalTime::dateTime(int date)
{
    std::tm p{};
    if (!localParts(date, p))
        return msgDateTime(date);
    return QDateTime(QDate(p.tm_year + 1900, p.tm_mon + 1, p.tm_mday), QTime(p.tm_hour, p.tm_min, p.tm_sec),
                     Qt::OffsetFromUTC, int(p.tm_gmtoff));
}

QString MsgLocalTime::shortText(int date, const QLocale &locale)
{
    return locale.toString(dateTime(date), QLocale::ShortFormat);
}

QString MsgLocalTime::isoText(int date)
{
    std::tm p{};
    const int year = localParts(date, p) ? p.tm_year + 1900 : -1;
    if (year < 0 || year > 9999)
        return msgDateTime(date).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    char text[19];
    char *c = digits(text, year, 4);
    *c++ = '-';
    c = digits(c, p.tm_mon + 1, 2);
    *c++ = '-';
    c = digits(c, p.tm_mday, 2);
    *c++ = ' ';
    c = digits(c, p.tm_hour, 2);
    *c++ = ':';
    c = digits(c, p.tm_min, 2);
    *c++ = ':';
    digits(c, p.tm_sec, 2);
    return QString::fromLatin1(text, sizeof text);
}
