// Deleting chosen messages from a large local database through the delete
// path the worker runs (one transaction, IOS6MessageDb::deleteMessage per
// message), against the floor of plain prepared DELETE statements removing
// the same message and join rows in one transaction.
//
//   store_delete_bench [messages chats handles deletions]
//                      (default 200000 2000 500 10000)
//
// Prints the seconds of both (best of 3, each on a fresh copy of the file),
// their ratio, and what the orphaned-message trigger of earlier versions cost
// per deletion, measured on a few deletions only: it scans the whole message
// table for every one.
#include "bench/benchsetup.h"
#include "store/ios6messagedb.h"
#include "tests/support/messagedbfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace {

const char kSweepingTrigger[] =
    "CREATE TRIGGER clean_orphaned_messages AFTER DELETE ON chat_message_join BEGIN DELETE FROM message WHERE "
    "(SELECT 1 FROM chat_message_join WHERE message_id = message.ROWID LIMIT 1) IS NULL; END;";

// A fresh copy of the generated database folder's file in its own folder.
QDir copyOf(const QString &source, const QString &folder)
{
    const QString target = testsupport::messageDbPath(folder);
    QDir(folder).removeRecursively();
    QDir().mkpath(QFileInfo(target).absolutePath());
    if (!QFile::copy(source, target))
        throw std::runtime_error("cannot copy the database");
    return QDir(folder);
}

// Every step-th message of the file, read as the main window reads them, so
// the records carry their chats.
QList<_MsgMessage *> chosenMessages(IOS6MessageDb &db, QSharedPointer<_MsgStore> &store, int count, int step)
{
    newMsgStore(store);
    db.messages(store, 0);
    QList<qint64> rowids = store->messages.keys();
    std::stable_sort(rowids.begin(), rowids.end());
    QList<_MsgMessage *> chosen;
    for (int i = 0; i < rowids.size() && chosen.size() < count; i += step)
        chosen << store->messages.value(rowids[i]);
    return chosen;
}

// The worker's path: one transaction, deleteMessage per message.
double deleteSeconds(IOS6MessageDb &db, const QList<_MsgMessage *> &chosen)
{
    db.open();
    QElapsedTimer timer;
    timer.start();
    db.beginTransaction();
    for (const _MsgMessage *m : chosen)
        db.deleteMessage(m);
    db.endTransaction(true);
    return timer.nsecsElapsed() / 1e9;
}

void check(sqlite3 *db, int rc)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE)
        throw std::runtime_error(sqlite3_errmsg(db));
}

// The floor: the same message and join rows, three prepared statements, one
// transaction.
double plainSeconds(const QString &path, const QList<qint64> &rowids)
{
    sqlite3 *db = nullptr;
    check(db, sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr));
    const char *sql[] = {"DELETE FROM message WHERE rowid=?", "DELETE FROM chat_message_join WHERE message_id=?",
                         "DELETE FROM message_attachment_join WHERE message_id=?"};
    sqlite3_stmt *stmt[3] = {};
    for (int i = 0; i < 3; ++i)
        check(db, sqlite3_prepare_v2(db, sql[i], -1, &stmt[i], nullptr));
    QElapsedTimer timer;
    timer.start();
    check(db, sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr));
    for (qint64 rowid : rowids) {
        for (sqlite3_stmt *s : stmt) {
            sqlite3_bind_int64(s, 1, rowid);
            check(db, sqlite3_step(s));
            sqlite3_reset(s);
        }
    }
    check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
    const double seconds = timer.nsecsElapsed() / 1e9;
    for (sqlite3_stmt *s : stmt)
        sqlite3_finalize(s);
    sqlite3_close(db);
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    useBenchHome(home);
    QCoreApplication app(argc, argv);

    const BenchSizes sizes = benchSizes(app.arguments());
    const int deletions = app.arguments().size() > 4 ? app.arguments().at(4).toInt() : 10000;
    const int step = qMax(1, sizes.messages / qMax(1, deletions));

    try {
        QTemporaryDir work;
        QElapsedTimer timer;
        timer.start();
        const QString source = testsupport::writeMsgDb(
            work.filePath("source"), testsupport::MsgDbLayout::Local,
            testsupport::generateMsgContent(sizes.chats, sizes.messages, sizes.handles, 10));
        std::printf("generated %d messages, %d chats, %d handles in %.2f s (%.1f MB)\n", sizes.messages,
                    sizes.chats, sizes.handles, timer.nsecsElapsed() / 1e9, QFileInfo(source).size() / 1048576.0);

        double real = 0;
        double plain = 0;
        int deleted = 0;
        qint64 left = 0;
        for (int round = 0; round < 3; ++round) {
            const QDir dir = copyOf(source, work.filePath("real"));
            IOS6MessageDb db(dir, QString(), true);
            QSharedPointer<_MsgStore> store;
            const QList<_MsgMessage *> chosen = chosenMessages(db, store, deletions, step);
            deleted = int(chosen.size());
            const double seconds = deleteSeconds(db, chosen);
            real = round == 0 ? seconds : qMin(real, seconds);
            left = db.messageCount();
            db.close();

            QList<qint64> rowids;
            for (const _MsgMessage *m : chosen)
                rowids << m->rowid;
            const QDir plainDir = copyOf(source, work.filePath("plain"));
            const double floor = plainSeconds(testsupport::messageDbPath(plainDir.absolutePath()), rowids);
            plain = round == 0 ? floor : qMin(plain, floor);
        }

        // The earlier trigger, on a phone-style open that leaves it in place.
        const int sample = qMin(deleted, 100);
        const QDir oldDir = copyOf(source, work.filePath("old"));
        {
            sqlite3 *raw = nullptr;
            sqlite3_open_v2(QFile::encodeName(testsupport::messageDbPath(oldDir.absolutePath())).constData(), &raw,
                            SQLITE_OPEN_READWRITE, nullptr);
            check(raw, sqlite3_exec(raw, (QByteArray("DROP TRIGGER clean_orphaned_messages;") + kSweepingTrigger)
                                             .constData(),
                                    nullptr, nullptr, nullptr));
            sqlite3_close(raw);
        }
        IOS6MessageDb oldDb(oldDir, QString(), false);
        QSharedPointer<_MsgStore> oldStore;
        const double old = deleteSeconds(oldDb, chosenMessages(oldDb, oldStore, sample, step));

        std::printf("deleted %d messages, %lld left\n", deleted, static_cast<long long>(left));
        std::printf("delete path:      %.3f s (best of 3)\n", real);
        std::printf("plain DELETE:     %.3f s (best of 3)\n", plain);
        std::printf("ratio:            %.2f (target at most 3)\n", real / plain);
        std::printf("earlier trigger:  %.1f ms per deletion over %d (%.0f s projected for %d)\n",
                    old * 1000 / qMax(sample, 1), sample, old / qMax(sample, 1) * deleted, deleted);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "store_delete_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
