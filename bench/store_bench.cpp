// Loading a large later-iOS message database into a store, against the floor
// of plain SQLite statements reading the same rows with the same joins.
//
//   store_bench [messages chats handles]   (default 200000 2000 500)
//
// Prints the seconds of both, their ratio, and the memory the load added per
// message (peak resident set, and heap still held by the store).
#include "bench/benchmeasure.h"
#include "bench/benchsetup.h"
#include "store/ios6messagedb.h"
#include "tests/support/messagedbfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <malloc.h>
#include <sqlite3.h>

#include <cstdio>
#include <exception>

namespace {

// The statements the reader runs on a later phone's file.
double floorSeconds(const QString &path, quint64 *checksum)
{
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    quint64 sum = 0;
    sum += drain(db, "select * from sqlite_master where type='table'");
    sum += drain(db, "select * from chat");
    sum += drain(db, "select chat_id, max(date) as last from ( select cm.chat_id, m.date from chat_message_join as "
                     "cm inner join message as m on cm.message_id=m.rowid ) as tmp group by chat_id");
    sum += drain(db, "select j.chat_id, h.* from chat_handle_join as j inner join handle as h on j.handle_id = "
                     "h.rowid");
    sum += drain(db, "select j.chat_id, m.* from chat_message_join as j inner join message as m on j.message_id = "
                     "m.rowid and m.item_type <> 4");
    sqlite3_close(db);
    *checksum = sum;
    return timer.nsecsElapsed() / 1e9;
}

double loadSeconds(const QDir &cacheDir, QSharedPointer<_MsgStore> &store)
{
    QElapsedTimer timer;
    timer.start();
    IOS6MessageDb db(cacheDir, QStringLiteral("404"), false);
    newMsgStore(store);
    db.messages(store, 0);
    return timer.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    // The country database is copied into the temporary data folder.
    QTemporaryDir home;
    useBenchHome(home);
    QCoreApplication app(argc, argv);

    const BenchSizes sizes = benchSizes(app.arguments());
    const int messages = sizes.messages;
    const int chats = sizes.chats;
    const int handles = sizes.handles;

    try {
        QTemporaryDir cache;
        QElapsedTimer timer;
        timer.start();
        const QString path = testsupport::writeMsgDb(
            cache.path(), testsupport::MsgDbLayout::LaterPhone,
            testsupport::generateMsgContent(chats, messages, handles, 10));
        std::printf("generated %d messages, %d chats, %d handles in %.2f s (%.1f MB)\n", messages, chats, handles,
                    timer.nsecsElapsed() / 1e9, QFileInfo(path).size() / 1048576.0);

        quint64 checksum = 0;
        floorSeconds(path, &checksum); // the file into the page cache

        // Memory the generation freed goes back to the system first, or the
        // load would reuse it unseen and the peak would read too low.
        malloc_trim(0);
        const qint64 rssBefore = statusKb("VmRSS");
        const bool peakReset = resetPeak();
        const size_t heapBefore = mallinfo2().uordblks;
        QSharedPointer<_MsgStore> store;
        double load = loadSeconds(QDir(cache.path()), store);
        const qint64 peak = statusKb("VmHWM");
        const size_t heapAfter = mallinfo2().uordblks;
        const int loaded = int(store->messages.size());
        store.reset();

        double floor = floorSeconds(path, &checksum);
        for (int round = 0; round < 2; ++round) {
            floor = qMin(floor, floorSeconds(path, &checksum));
            QSharedPointer<_MsgStore> again;
            load = qMin(load, loadSeconds(QDir(cache.path()), again));
        }

        std::printf("loaded %d messages into the store\n", loaded);
        std::printf("load into store:  %.3f s (best of 3)\n", load);
        std::printf("plain SQLite:     %.3f s (best of 3, checksum %llu)\n", floor,
                    static_cast<unsigned long long>(checksum));
        std::printf("ratio:            %.2f (target at most 1.15)\n", load / floor);
        if (peakReset && rssBefore >= 0 && peak >= 0)
            std::printf("peak memory added: %.0f bytes per message\n",
                        (peak - rssBefore) * 1024.0 / qMax(loaded, 1));
        else
            std::printf("peak memory added: not measurable here\n");
        std::printf("heap held by the store: %.0f bytes per message (target at most 700)\n",
                    double(heapAfter - heapBefore) / qMax(loaded, 1));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "store_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
