#include "tests/support/msgstorebuilder.h"

namespace testsupport {

MsgStoreBuilder::MsgStoreBuilder()
{
    newMsgStore(store);
}

_MsgHandle *MsgStoreBuilder::handle(const QString &id, const QString &service)
{
    auto *h = new _MsgHandle;
    h->rowid = nextHandle++;
    h->id = id;
    h->service = service;
    h->country = QStringLiteral("de");
    store->handles.insert(h->rowid, h);
    return h;
}

_MsgChat *MsgStoreBuilder::chat(const QList<_MsgHandle *> &members, const QString &service, qint64 rowid)
{
    auto *c = new _MsgChat;
    c->rowid = rowid ? rowid : nextChat++;
    c->service_name = service;
    for (_MsgHandle *h : members)
        c->members.insert(QString::number(h->rowid), h);
    if (members.size() == 1) {
        c->chat_identifier = members.first()->id;
        c->style = 45;
    } else {
        c->chat_identifier = QStringLiteral("chat%1").arg(c->rowid);
        c->style = 43;
    }
    c->guid = QStringLiteral("%1;%2;%3").arg(service, c->style == 43 ? "+" : "-", c->chat_identifier);
    store->chats.insert(c->rowid, c);
    return c;
}

_MsgMessage *MsgStoreBuilder::message(_MsgChat *chat, _MsgHandle *from, const QString &text, int date)
{
    auto *m = new _MsgMessage;
    m->rowid = nextMessage++;
    m->srcRowid = m->rowid;
    m->guid = QStringLiteral("00000000-0000-0000-0000-%1").arg(m->rowid, 12, 10, QLatin1Char('0'));
    m->text = text;
    m->date = date;
    m->service = chat ? chat->service_name : QStringLiteral("SMS");
    m->chat = chat;
    m->handle = from;
    m->handle_id = from ? from->rowid : 0;
    m->is_from_me = from ? 0 : 1;
    m->is_sent = m->is_from_me;
    m->is_read = 1;
    if (chat)
        chat->messages.insert(m->rowid, m);
    store->messages.insert(m->rowid, m);
    made.append(m);
    return m;
}

_MsgAttachment *MsgStoreBuilder::attachment(_MsgMessage *message, const QString &filename,
                                            const QString &localPath)
{
    auto *a = new _MsgAttachment;
    a->rowid = nextAttachment++;
    a->guid = QStringLiteral("AT-%1").arg(a->rowid);
    a->filename = filename;
    a->transfer_name = filename.mid(filename.lastIndexOf(QLatin1Char('/')) + 1);
    a->mime_type = QStringLiteral("image/jpeg");
    a->uti = QStringLiteral("public.jpeg");
    a->localPath = localPath;
    message->attachments.insert(QString::number(a->rowid), a);
    message->cache_has_attachments = 1;
    store->attachments.insert(a->rowid, a);
    return a;
}

} // namespace testsupport
