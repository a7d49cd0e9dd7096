#pragma once
// What the views and workers load messages through, whatever kind of message
// database (phone, local, iOS 5 or 6) stands behind it.
#include "store/absdb.h"
#include "store/msgrecords.h"

#include <QSharedPointer>

class AbsMessageDb : public AbsDb
{
public:
    ~AbsMessageDb() override;

    // Loads the chats and handles into the store, each chat with its members.
    virtual void chats(QSharedPointer<_MsgStore> &store) = 0;
    // Loads messages into the store and links them to their chats and handles:
    // chatId 0 for every chat, a positive chatId for that chat alone.
    virtual void messages(QSharedPointer<_MsgStore> &store, qint64 chatId) = 0;
};
