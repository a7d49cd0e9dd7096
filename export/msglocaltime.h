#pragma once
// Message dates in local time for the writers, which convert one per message.
// msgDateTime answers the same instants, but each local QDateTime makes glibc
// check the time-zone file again (a stat per call), which is most of the time a
// large export spends. localtime_r reads the zone once; the result carries its
// offset from UTC, so formats show the same date and time.
#include <QDateTime>
#include <QString>

class MsgLocalTime
{
public:
    // The local date and time of a message date, as a date-time with its
    // offset from UTC.
    static QDateTime dateTime(int date);
    // "yyyy-MM-dd hh:mm:ss" of the local date and time.
    static QString isoText(int date);
};
