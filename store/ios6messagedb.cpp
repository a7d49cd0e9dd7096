#include "store/ios6messagedb.h"

#include "app/failure.h"
#include "platform/sqlite_qt/sqlite3cursor.h"
#include "platform/sqlite_qt/sqlite3sql.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <stdexcept>

namespace {

const char kSchemaResource[] = ":/res/localmsgdb_ddl.sql";

// The orphaned-message trigger exactly as the schema script writes it (and
// as sqlite_master keeps it: without the final semicolon). It looks only at
// the message of the join row that went.
const char kOrphanTrigger[] =
    "CREATE TRIGGER clean_orphaned_messages AFTER DELETE ON chat_message_join BEGIN DELETE FROM message WHERE "
    "message.ROWID = old.message_id AND (SELECT 1 FROM chat_message_join WHERE message_id = old.message_id LIMIT "
    "1) IS NULL; END";

// Phone databases carry triggers that call these when attachment rows go; the
// program keeps no attachment files of the phone's own, so they do nothing.
void answerZero(sqlite3_context *context, int, sqlite3_value **)
{
    sqlite3_result_int(context, 0);
}

void registerTriggerFunctions(sqlite3 *db)
{
    // Innocuous: the functions have no side effects, and triggers may call
    // them even where the schema is not trusted (trusted_schema off).
    const int flags = SQLITE_ANY | SQLITE_INNOCUOUS;
    sqlite3_create_function_v2(db, "delete_attachment_path", 1, flags, nullptr, answerZero, nullptr, nullptr,
                               nullptr);
    sqlite3_create_function_v2(db, "before_delete_attachment_path", 2, flags, nullptr, answerZero, nullptr,
                               nullptr, nullptr);
}

struct UpgradeStep
{
    const char *column;
    const char *sql;
    int number;
};

// Columns that later versions of the program added to the message table, in
// the order they were added. Each runs only when its column is missing.
const UpgradeStep kMessageSteps[] = {
    {"is_audio_message", "ALTER TABLE message ADD COLUMN is_audio_message INTEGER DEFAULT 0;", 127},
    {"is_played", "ALTER TABLE message ADD COLUMN is_played INTEGER DEFAULT 0;", 130},
    {"date_played", "ALTER TABLE message ADD COLUMN date_played INTEGER;", 133},
    {"item_type", "ALTER TABLE message ADD COLUMN item_type INTEGER DEFAULT 0;", 136},
    {"other_handle", "ALTER TABLE message ADD COLUMN other_handle INTEGER DEFAULT -1;", 139},
    {"group_title", "ALTER TABLE message ADD COLUMN group_title TEXT;", 142},
    {"group_action_type", "ALTER TABLE message ADD COLUMN group_action_type INTEGER DEFAULT 0;", 145},
    {"share_status", "ALTER TABLE message ADD COLUMN share_status INTEGER;", 148},
    {"share_direction", "ALTER TABLE message ADD COLUMN share_direction INTEGER;", 151},
    {"is_expirable", "ALTER TABLE message ADD COLUMN is_expirable INTEGER DEFAULT 0;", 154},
    {"expire_state", "ALTER TABLE message ADD COLUMN expire_state INTEGER DEFAULT 0;", 157},
    {"message_action_type", "ALTER TABLE message ADD COLUMN message_action_type INTEGER DEFAULT 0;", 160},
    {"logic_hash", "ALTER TABLE message ADD COLUMN logic_hash TEXT;", 163},
};

} // namespace

IOS6MessageDb::IOS6MessageDb(const QDir &cacheDir, const QString &mcc, bool upgradeSchema)
    : cacheDir(cacheDir),
      fileRelayDir(cacheDir.absoluteFilePath(QStringLiteral("file-relay"))),
      contactsDb(cacheDir, mcc),
      recycle(recyclePath(cacheDir)),
      countryDb(mcc),
      dbPath(fileRelayDir.absoluteFilePath(QStringLiteral("var/mobile/Library/SMS/sms.db"))),
      upgradeSchema(upgradeSchema)
{
}

IOS6MessageDb::~IOS6MessageDb() = default;

QString IOS6MessageDb::databasePath(const QDir &cacheDir)
{
    return QDir(cacheDir.absoluteFilePath(QStringLiteral("file-relay")))
        .absoluteFilePath(QStringLiteral("var/mobile/Library/SMS/sms.db"));
}

QString IOS6MessageDb::recyclePath(const QDir &cacheDir)
{
    return cacheDir.absoluteFilePath(QStringLiteral("recycle.db"));
}

void IOS6MessageDb::open()
{
    if (isOpen())
        return;
    const bool exists = QFileInfo::exists(dbPath);
    if (exists) {
        openThrow(dbPath, 2);
    } else {
        QDir().mkpath(QFileInfo(dbPath).absolutePath());
        openThrow(dbPath, 6);
    }
    // A half-built or half-upgraded file must not stay open: the next open
    // would return at once and every later operation would work on it with
    // an empty column map. Close, drop what this call created, and let the
    // next open run the whole road again.
    try {
        registerTriggerFunctions(handle());
        // A local database without a single schema object is one whose
        // creation was cut off (the rollback of its journal empties it) or an
        // empty file: it is built as a new one. A phone's file stays as it is.
        if (!exists || (upgradeSchema && hasNoSchema()))
            createFromScript(); // already holds every column: no upgrade
        else if (upgradeSchema)
            upgrade();
        readTableSql();
        dateScale = 0;
        // Writes made while opening (an upgrade) asked about the columns
        // before the map above was read.
        plan.reset();
    } catch (...) {
        close();
        if (!exists) {
            QFile::remove(dbPath);
            QFile::remove(dbPath + QStringLiteral("-journal"));
        }
        throw;
    }
}

void IOS6MessageDb::createFromScript()
{
    QFile script(QString::fromLatin1(kSchemaResource));
    if (!script.open(QIODevice::ReadOnly))
        throwError(QStringLiteral("read IOS6MessageDb ddl error. %1").arg(script.errorString()));
    QByteArray text = script.readAll();
    const qsizetype zero = text.indexOf('\0');
    if (zero >= 0)
        text.truncate(zero);
    createInTransaction(QString::fromUtf8(text), QStringLiteral("create IOS6MessageDb error. %1"));
}

void IOS6MessageDb::upgrade()
{
    // All steps or none, for the same reason as the creation.
    beginTran();
    try {
        upgradeSteps();
        commitTran();
    } catch (...) {
        rollbackTran();
        throw;
    }
}

void IOS6MessageDb::upgradeSteps()
{
    auto run = [this](const char *sql, int number) {
        QString error;
        if (exec(QString::fromLatin1(sql), error) != 0)
            throwError(QStringLiteral("line:%1, sql:%2, error:%3").arg(number).arg(QString::fromLatin1(sql), error));
    };

    if (!tbInfo(QStringLiteral("chat")).contains(QStringLiteral("group_id")))
        run("ALTER TABLE chat ADD COLUMN group_id TEXT;", 122);

    // Taken once: what the statements below add does not change which of
    // them run.
    const QHash<QString, _SqliteCol> columns = tbInfo(QStringLiteral("message"));
    for (const UpgradeStep &step : kMessageSteps) {
        if (columns.contains(QString::fromLatin1(step.column)))
            continue;
        run(step.sql, step.number);
        // A file that already had the column keeps whatever indexes it has.
        if (step.number == 163)
            run("CREATE INDEX message_idx_logic_hash ON message(logic_hash);", 164);
    }

    // Earlier versions made the trigger sweep the whole message table for
    // every join row deleted, which makes deleting many messages quadratic.
    // Only a trigger that is there is replaced: a file without one gets none.
    bool replace = false;
    {
        Sqlite3Cursor trigger = queryThrow(Sqlite3Sql("select sql from sqlite_master where type='trigger' and name=?")
                                               .addTextParam(QStringLiteral("clean_orphaned_messages")));
        replace = trigger.moveNext() && trigger.getText(QStringLiteral("sql")) != QLatin1String(kOrphanTrigger);
    }
    if (replace) {
        run("DROP TRIGGER clean_orphaned_messages;", 166);
        run(kOrphanTrigger, 167);
    }
}

void IOS6MessageDb::readTableSql()
{
    // Cleared: a map left over from another file would answer for tables
    // this one lacks.
    tableSql.clear();
    tableSql = tableStatements(*this);
}

bool IOS6MessageDb::tableSqlContains(const QString &table, const QString &text, Qt::CaseSensitivity cs) const
{
    return tableSql.value(table).contains(text, cs);
}

bool IOS6MessageDb::hasItemType() const
{
    return tableSqlContains(QStringLiteral("message"), QStringLiteral("item_type"), Qt::CaseSensitive);
}
