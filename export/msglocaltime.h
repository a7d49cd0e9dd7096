#pragma once
// Message dates in local time for the writers, which convert one per message.
// msgDateTime answers the same instants, but each local QDateTime makes glibc
// check the time-zone file again (a stat per call), which is most of the time a
// large export spends. localtime_r reads the zone once; the result carries its
// offset from UTC, so formats show the same date and time.
#include <QDateTime>
#include <QLocale>
#include <QString>

class MsgLocalTime
{
public:
    // The local date and time of a message date, as a date-time with its
    // offset from UTC.
    static QDateTime dateTime(int date);
    // The date and time as lists, views and writers show them: the locale's
    // short format. Writers that convert many dates pass their own copy of
    // the system locale.
    static QString shortText(int date, const QLocale &locale = QLocale::system());
    // "yyyy-MM-dd hh:mm:ss" of the local date and time.
    static QString isoText(int date);
};
