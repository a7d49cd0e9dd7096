#pragma once
// Fills an in-memory message store the way a reader would, for tests of the
// code that writes records somewhere: handles, chats with their members,
// messages with their attachments. Rowids count up from 1 per kind unless
// given; guids are made from a per-builder counter, so two builders make the
// same guids in the same order.
#include "store/msgrecords.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

namespace testsupport {

class MsgStoreBuilder
{
public:
    MsgStoreBuilder();

    _MsgHandle *handle(const QString &id, const QString &service = QStringLiteral("SMS"));
    // A one-to-one chat has one member and the member's id as identifier; a
    // group gets "chat" + its rowid. rowid 0 takes the next free one.
    _MsgChat *chat(const QList<_MsgHandle *> &members, const QString &service = QStringLiteral("SMS"),
                   qint64 rowid = 0);
    // from: the sender, or nullptr for a message sent by me.
    _MsgMessage *message(_MsgChat *chat, _MsgHandle *from, const QString &text, int date);
    _MsgAttachment *attachment(_MsgMessage *message, const QString &filename,
                               const QString &localPath = QString());

    // Every message in the order made.
    QList<_MsgMessage *> messages() const { return made; }
    QSharedPointer<_MsgStore> store;

private:
    qint64 nextHandle = 1, nextChat = 1, nextMessage = 1, nextAttachment = 1;
    QList<_MsgMessage *> made;
};

} // namespace testsupport
