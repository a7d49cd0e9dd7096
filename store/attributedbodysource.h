#pragma once
// Where the attributedBody bytes of loaded messages can be read again. The
// reader keeps no archive whose words it has put into the message's text (it
// would cost as much memory as the text); whatever writes a message into
// another database reads the bytes back from the file the message came from,
// so the rows it writes keep them.
#include "platform/sqlite_qt/sqlite3db.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

struct _MsgMessage;

class AttributedBodySource
{
public:
    explicit AttributedBodySource(const QString &dbPath);
    AttributedBodySource(const AttributedBodySource &) = delete;
    AttributedBodySource &operator=(const AttributedBodySource &) = delete;

    // The attributedBody of the message row with this rowid and guid (a file
    // copied anew since may hold another message there), opened read-only at
    // the first ask; empty when the file, the row or the value is gone (the
    // text still holds the words). Safe from any thread.
    QByteArray body(qint64 rowid, const QString &guid);

private:
    QMutex mutex;
    QString path;
    Sqlite3DB db;
    bool failed = false;
};

// The message's attributedBody: the bytes the record holds, else those its
// reader left in its source file. A copy given a new guid takes the bytes
// along first (they are found by the guid the file has).
QByteArray attributedBodyOf(const _MsgMessage &message);
