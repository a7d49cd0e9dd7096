#include "store/attributedbodysource.h"

#include "store/msgrecords.h"

#include <QMutexLocker>

#include <exception>

AttributedBodySource::AttributedBodySource(const QString &dbPath) : path(dbPath) {}

QByteArray AttributedBodySource::body(qint64 rowid, const QString &guid)
{
    QMutexLocker lock(&mutex);
    if (failed)
        return QByteArray();
    try {
        if (!db.isOpen())
            db.openThrow(path, 1);
        Sqlite3Cursor cursor = db.queryThrow(
            Sqlite3Sql("select attributedBody from message where rowid=? and guid=?").addInt64Param(rowid).addTextParam(guid));
        return cursor.moveNext() ? cursor.getBlob(QStringLiteral("attributedBody")) : QByteArray();
    } catch (const std::exception &e) {
        // One warning, then the words alone: the file went with its phone or
        // its cache.
        qWarning("AttributedBodySource: %s", e.what());
        failed = true;
        db.close();
        return QByteArray();
    }
}

QByteArray attributedBodyOf(const _MsgMessage &message)
{
    if (!message.rare().attributedBody.isEmpty() || !message.attributedBodyLeftInSource || !message.chat
        || !message.chat->bodySource)
        return message.rare().attributedBody;
    return message.chat->bodySource->body(message.srcRowid, message.guid);
}
