#include "recovery/carvelayouts.h"

#include <QtGlobal>

namespace {

enum Flag { None = 0, NotNull = 1, HasDefault = 2, PrimaryKey = 4 };

struct Column
{
    const char *name;
    const char *type;
    int flags;
};

// The aggregate's order is notNull, primaryKey, hasDefault: set them by name.
_SqliteCol column(const Column &c)
{
    _SqliteCol col;
    col.name = QString::fromLatin1(c.name);
    col.type = QString::fromLatin1(c.type);
    col.notNull = (c.flags & NotNull) != 0;
    col.hasDefault = (c.flags & HasDefault) != 0;
    col.primaryKey = (c.flags & PrimaryKey) != 0;
    return col;
}

const Column kHandle[] = {
    {"ROWID", "INTEGER", PrimaryKey},   {"id", "TEXT", NotNull},
    {"country", "TEXT", None},          {"service", "TEXT", NotNull},
    {"uncanonicalized_id", "TEXT", None},
};

const Column kMessage[] = {
    {"ROWID", "INTEGER", PrimaryKey},
    {"guid", "TEXT", NotNull},
    {"text", "TEXT", None},
    {"replace", "INTEGER", HasDefault},
    {"service_center", "TEXT", None},
    {"handle_id", "INTEGER", HasDefault},
    {"subject", "TEXT", None},
    {"country", "TEXT", None},
    {"attributedBody", "BLOB", None},
    {"version", "INTEGER", HasDefault},
    {"type", "INTEGER", HasDefault},
    {"service", "TEXT", None},
    {"account", "TEXT", None},
    {"account_guid", "TEXT", None},
    {"error", "INTEGER", HasDefault},
    {"date", "INTEGER", None},
    {"date_read", "INTEGER", None},
    {"date_delivered", "INTEGER", None},
    {"is_delivered", "INTEGER", HasDefault},
    {"is_finished", "INTEGER", HasDefault},
    {"is_emote", "INTEGER", HasDefault},
    {"is_from_me", "INTEGER", HasDefault},
    {"is_empty", "INTEGER", HasDefault},
    {"is_delayed", "INTEGER", HasDefault},
    {"is_auto_reply", "INTEGER", HasDefault},
    {"is_prepared", "INTEGER", HasDefault},
    {"is_read", "INTEGER", HasDefault},
    {"is_system_message", "INTEGER", HasDefault},
    {"is_sent", "INTEGER", HasDefault},
    {"has_dd_results", "INTEGER", HasDefault},
    {"is_service_message", "INTEGER", HasDefault},
    {"is_forward", "INTEGER", HasDefault},
    {"was_downgraded", "INTEGER", HasDefault},
    {"is_archive", "INTEGER", HasDefault},
    {"cache_has_attachments", "INTEGER", HasDefault},
    {"cache_roomnames", "TEXT", None},
    {"was_data_detected", "INTEGER", HasDefault},
    {"was_deduplicated", "INTEGER", HasDefault},
    {"is_audio_message", "INTEGER", HasDefault},
    {"is_played", "INTEGER", HasDefault},
    {"date_played", "INTEGER", None},
    {"item_type", "INTEGER", HasDefault},
    {"other_handle", "INTEGER", HasDefault},
    {"group_title", "TEXT", None},
    {"group_action_type", "INTEGER", HasDefault},
    {"share_status", "INTEGER", None},
    {"share_direction", "INTEGER", None},
    {"is_expirable", "INTEGER", HasDefault},
    {"expire_state", "INTEGER", HasDefault},
    {"message_action_type", "INTEGER", HasDefault},
    {"message_source", "INTEGER", HasDefault},
};

const Column kIos5Message[] = {
    {"ROWID", "INTEGER", PrimaryKey},
    {"address", "TEXT", None},
    {"date", "INTEGER", None},
    {"text", "TEXT", None},
    {"flags", "INTEGER", None},
    {"replace", "INTEGER", None},
    {"svc_center", "TEXT", None},
    {"group_id", "INTEGER", None},
    {"association_id", "INTEGER", None},
    {"height", "INTEGER", None},
    {"UIFlags", "INTEGER", None},
    {"version", "INTEGER", None},
    {"subject", "TEXT", None},
    {"country", "TEXT", None},
    {"headers", "BLOB", None},
    {"recipients", "BLOB", None},
    {"read", "INTEGER", None},
    {"madrid_attributedBody", "BLOB", None},
    {"madrid_handle", "TEXT", None},
    {"madrid_version", "INTEGER", None},
    {"madrid_guid", "TEXT", None},
    {"madrid_type", "INTEGER", None},
    {"madrid_roomname", "TEXT", None},
    {"madrid_service", "TEXT", None},
    {"madrid_account", "TEXT", None},
    {"madrid_flags", "INTEGER", None},
    {"madrid_attachmentInfo", "BLOB", None},
    {"madrid_url", "TEXT", None},
    {"madrid_error", "INTEGER", None},
    {"is_madrid", "INTEGER", None},
    {"madrid_date_read", "INTEGER", None},
    {"madrid_date_delivered", "INTEGER", None},
    {"madrid_account_guid", "TEXT", None},
};

template <size_t N>
QList<_SqliteCol> firstColumns(const Column (&table)[N], int columnCount)
{
    const int count = qBound(2, columnCount, int(N));
    QList<_SqliteCol> layout;
    layout.reserve(count);
    for (int i = 0; i < count; ++i)
        layout.append(column(table[i]));
    return layout;
}

} // namespace

QList<_SqliteCol> carveHandleLayout()
{
    QList<_SqliteCol> layout;
    for (const Column &c : kHandle)
        layout.append(column(c));
    return layout;
}

QList<_SqliteCol> carveMessageLayout(int columnCount)
{
    return firstColumns(kMessage, columnCount);
}

QList<_SqliteCol> carveIos5MessageLayout(int columnCount)
{
    return firstColumns(kIos5Message, columnCount);
}
