#pragma once
// One message row of the recovery database "recycle.db": the message and the
// two texts the carving stored beside it, which tell the merge into a store
// which conversation and which correspondent it belonged to.
#include "store/msgrecords.h"

#include <QString>

struct _RecycleMessage : _MsgMessage
{
    // A chat's chat_identifier, a group's room name, or the correspondent's
    // normalised address; empty when the carving could not tell.
    QString chat_identifier;
    // The correspondent's address (normalised number or e-mail address).
    QString handle;
};
