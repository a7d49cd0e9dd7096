#include "store/msgrecords.h"

#include <algorithm>

_MsgStore::~_MsgStore()
{
    // Attachments and messages first: they are what points at handles and chats.
    qDeleteAll(attachments);
    qDeleteAll(messages);
    qDeleteAll(handles);
    qDeleteAll(chats);
}

// A store's messages are its largest part: at 232 bytes a message takes a
// 240-byte heap chunk, one byte more and it takes 256.
static_assert(sizeof(void *) != 8 || sizeof(_MsgMessage) <= 232, "a message outgrew its heap chunk");

const _MsgMessageRare &_MsgMessage::noRare()
{
    static const _MsgMessageRare defaults;
    return defaults;
}

void newMsgStore(QSharedPointer<_MsgStore> &store)
{
    store.reset(new _MsgStore);
}

_MsgStore *storeOf(const QSharedPointer<_MsgStore> &store)
{
    return store.data();
}

QList<_MsgChat *> allChats(const QSharedPointer<_MsgStore> &store)
{
    return store ? store->chats.values() : QList<_MsgChat *>();
}

QList<_MsgMessage *> allMessages(const QSharedPointer<_MsgStore> &store)
{
    return store ? store->messages.values() : QList<_MsgMessage *>();
}

QList<_MsgMessage *> messagesOfChats(const QList<_MsgChat *> &chats)
{
    QList<_MsgMessage *> result;
    for (const _MsgChat *chat : chats)
        result += chat->messages.values();
    return result;
}

QList<_ChatSession> chatSessions(const QSharedPointer<_MsgStore> &store)
{
    QHash<QString, _ChatSession> sessions;
    for (_MsgChat *chat : allChats(store)) {
        auto it = sessions.find(chat->chat_identifier);
        if (it == sessions.end()) {
            _ChatSession session;
            session.chats.append(chat);
            session.last = chat->_last;
            sessions.insert(chat->chat_identifier, session);
        } else {
            it->chats.append(chat);
            if (it->last < chat->_last)
                it->last = chat->_last;
        }
    }
    return sessions.values();
}

QList<_MsgAttachment *> sortedAttachments(const _MsgMessage &message)
{
    QList<_MsgAttachment *> list = message.attachments.values();
    std::stable_sort(list.begin(), list.end(), attachmentLessThan);
    return list;
}

namespace {

quint64 distance(qint64 a, qint64 b)
{
    // Unsigned arithmetic: no overflow even for rowids of opposite extremes.
    return a >= b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
}

} // namespace

bool messageLessThan(const _MsgMessage *a, const _MsgMessage *b)
{
    // Rows stored close together and written within two minutes of each other
    // keep their database order; everything else goes by date.
    if (distance(a->srcRowid, b->srcRowid) > 20)
        return a->date < b->date;
    if (distance(a->date, b->date) > 120)
        return a->date < b->date;
    return a->srcRowid < b->srcRowid;
}

bool messageGreaterThan(const _MsgMessage *a, const _MsgMessage *b)
{
    return messageLessThan(b, a);
}

bool sessionNewerThan(const _ChatSession &a, const _ChatSession &b)
{
    return a.last > b.last;
}

bool attachmentLessThan(const _MsgAttachment *a, const _MsgAttachment *b)
{
    return a->rowid < b->rowid;
}
