#include "store/messagerecycledb.h"

#include <stdexcept>

MessageRecycleDb::MessageRecycleDb(const QString &path) : m_recyclePath(path)
{
}

MessageRecycleDb::~MessageRecycleDb() = default;

void MessageRecycleDb::open()
{
    if (isOpen())
        return;
    // The recovery that fills this file is not part of this build; refuse
    // rather than leave an empty file its later schema code would trust.
    throw std::runtime_error("The recovery database is not available.");
}
