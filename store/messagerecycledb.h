#pragma once
// The store of deleted messages carved out of a phone's message database, the
// file "recycle.db" in the phone's cache folder. Every phone message database
// object holds one; building it opens and creates nothing.
#include "store/absdb.h"

#include <QString>

// Chats at or below this rowid are made up in memory for recovered messages
// whose chat cannot be told. They exist in no database file, and writers skip
// their messages.
constexpr qint64 UNKNOWN_CHAT_ID_BASE = -2047483647;

class MessageRecycleDb : public AbsDb
{
public:
    explicit MessageRecycleDb(const QString &path);
    ~MessageRecycleDb() override;

    void open() override;

    QString recyclePath() const { return m_recyclePath; }

private:
    QString m_recyclePath;
};
