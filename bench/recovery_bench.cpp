// Reading deleted rows back out of a large iOS 6 message database.
//
//   recovery_bench [messages chats handles]   (default 200000 2000 500)
//
// Carving: the file is read into memory and every page is scanned
// from byte 0 with the 38-column message layout, keeping rows whose service
// (value 11) is "SMS" or "iMessage": every byte position is visited and every
// live row is decoded. Floor: the file read in 64 KiB blocks after a warm-up
// read. Prints both, their ratio, the rows found, and SQLite's own SELECT *.
//
// Recovery: every 20th message is deleted one by one, then 10,000 of
// the others in one statement (a range), and the recovery of deleted handles
// and messages runs into a fresh recycle.db. Floor, in the same run: the
// sequential read, plus as many prepared inserts of recycle.db's message
// columns, in one transaction, as messages were deleted. Prints both, their
// ratio, and how many deleted messages came back: of those whose text still
// lies in the file (found by searching the file's bytes for each one's unique
// text), and checks that every recovered row is exact and stored once.
#include "bench/benchsetup.h"
#include "recovery/carvelayouts.h"
#include "recovery/sqlite3file.h"
#include "store/ios6messagedb.h"
#include "store/messagerecycledb.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/rawdbfixture.h"

#include <QByteArrayMatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdio>
#include <exception>
#include <stdexcept>

namespace {

bool isService(_SqliteCarvedRow *row)
{
    if (row->values.size() <= 37)
        return false;
    const QString s = row->values.at(11).toString();
    return s.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0 ||
           s.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

double readSeconds(const QString &path, quint64 *checksum)
{
    QElapsedTimer timer;
    timer.start();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the database");
    QByteArray block(64 * 1024, '\0');
    quint64 sum = 0;
    qint64 n;
    while ((n = f.read(block.data(), block.size())) > 0)
        sum += quint8(block.at(int(n - 1)));
    *checksum += sum;
    return timer.nsecsElapsed() / 1e9;
}

double carveSeconds(const QString &path, const QList<_SqliteCol> &layout, qint64 *rows)
{
    QElapsedTimer timer;
    timer.start();
    Sqlite3File file(path);
    file.open();
    qint64 found = 0;
    for (int n = 1; n <= file.pageCount(); ++n)
        found += file.carvePage(layout, 0, n, 0, isService).size();
    *rows = found;
    return timer.nsecsElapsed() / 1e9;
}

void check(int rc, sqlite3 *db, const char *what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

double selectSeconds(const QString &path, quint64 *checksum)
{
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "select * from message", -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("select failed");
    }
    quint64 sum = 0;
    const int columns = sqlite3_column_count(stmt);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            if (sqlite3_column_type(stmt, i) == SQLITE_TEXT) {
                sqlite3_column_text(stmt, i);
                sum += quint64(sqlite3_column_bytes(stmt, i));
            } else {
                sum += quint64(sqlite3_column_int64(stmt, i));
            }
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    *checksum += sum;
    return timer.nsecsElapsed() / 1e9;
}

// count prepared inserts of recycle.db's message columns into a fresh file
// made by recycle.db's own script,
// in one transaction: what storing that many recovered rows costs at least.
double insertSeconds(const QString &path, const QList<testsupport::MsgFixtureMessage> &messages, int count)
{
    QFile::remove(path);
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    check(sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                          nullptr),
          db, "open");
    check(sqlite3_exec(db, MessageRecycleDb::createScript(), nullptr, nullptr, nullptr), db, "schema");
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_stmt *stmt = nullptr;
    check(sqlite3_prepare_v2(db,
                             "INSERT INTO message (guid, text, replace, handle_id, version, type, service, account, "
                             "account_guid, error, date, date_read, date_delivered, is_delivered, is_finished, "
                             "is_emote, is_from_me, is_empty, is_delayed, is_auto_reply, is_prepared, is_read, "
                             "is_system_message, is_sent, has_dd_results, is_service_message, is_forward, "
                             "was_downgraded, is_archive, cache_has_attachments, cache_roomnames, "
                             "was_data_detected, was_deduplicated, chat_identifier, handle, src_rowid) VALUES "
                             "(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                             -1, &stmt, nullptr),
          db, "prepare");
    for (int i = 0; i < count; ++i) {
        const testsupport::MsgFixtureMessage &m = messages.at(i % messages.size());
        const QByteArray guid = QString("F100%1-0000-4000-8000-000000000000").arg(i, 4, 16, QLatin1Char('0')).toUtf8();
        const QByteArray text = m.text.toUtf8();
        const QByteArray service = m.service.toUtf8();
        const QByteArray account = m.account.toUtf8();
        int k = 1;
        sqlite3_bind_text(stmt, k++, guid.constData(), int(guid.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, k++, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, k++, 0);
        sqlite3_bind_int64(stmt, k++, m.handleId);
        sqlite3_bind_int(stmt, k++, m.version);
        sqlite3_bind_int(stmt, k++, 0);
        sqlite3_bind_text(stmt, k++, service.constData(), int(service.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, k++, account.constData(), int(account.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, k++, "", 0, SQLITE_STATIC);
        sqlite3_bind_int(stmt, k++, 0);
        sqlite3_bind_int(stmt, k++, m.date);
        sqlite3_bind_int(stmt, k++, m.dateRead);
        sqlite3_bind_int(stmt, k++, m.dateDelivered);
        for (int flag = 0; flag < 16; ++flag)
            sqlite3_bind_int(stmt, k++, flag == 3 ? m.isFromMe : 0);
        sqlite3_bind_int(stmt, k++, 0);
        sqlite3_bind_null(stmt, k++);
        sqlite3_bind_int(stmt, k++, 0);
        sqlite3_bind_int(stmt, k++, 0);
        sqlite3_bind_text(stmt, k++, service.constData(), int(service.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, k++, account.constData(), int(account.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, k++, m.rowid);
        check(sqlite3_step(stmt), db, "insert");
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
    return timer.nsecsElapsed() / 1e9;
}

// The rowid a text names ("msg <rowid>: ..."), -1 for any other.
qint64 namedRowid(const QString &text)
{
    if (!text.startsWith(QLatin1String("msg ")))
        return -1;
    bool ok = false;
    const qint64 n = text.mid(4, text.indexOf(QLatin1Char(':')) - 4).toLongLong(&ok);
    return ok ? n : -1;
}

// The deleted messages whose whole text still stands somewhere in the file.
QSet<qint64> textsInFile(const QString &path, const QList<testsupport::MsgFixtureMessage> &messages,
                         const QSet<qint64> &deleted)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the database");
    const QByteArray bytes = f.readAll();
    const QByteArrayMatcher tag("msg ");
    QSet<qint64> found;
    for (qsizetype at = tag.indexIn(bytes); at >= 0; at = tag.indexIn(bytes, at + 1)) {
        const qsizetype colon = bytes.indexOf(':', at);
        if (colon < 0 || colon - at > 16)
            continue;
        bool ok = false;
        const qint64 n = bytes.mid(at + 4, colon - at - 4).toLongLong(&ok);
        if (!ok || !deleted.contains(n) || found.contains(n))
            continue;
        const QByteArray text = messages.at(int(n) - 1).text.toUtf8();
        if (bytes.mid(at, text.size()) == text)
            found.insert(n);
    }
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    useBenchHome(home);
    QCoreApplication app(argc, argv);
    const BenchSizes sizes = benchSizes(app.arguments());

    try {
        QTemporaryDir cache;
        QElapsedTimer timer;
        timer.start();
        testsupport::MsgFixtureContent content =
            testsupport::generateMsgContent(sizes.chats, sizes.messages, sizes.handles, 10);
        testsupport::nameMessagesByRowid(content);
        const QString path = testsupport::writeMsgDb(cache.path(), testsupport::MsgDbLayout::Ios6Phone, content);
        const double megabytes = QFileInfo(path).size() / 1048576.0;
        std::printf("generated %d messages in %.2f s (%.1f MB)\n", sizes.messages, timer.nsecsElapsed() / 1e9,
                    megabytes);

        // ---- Carving every page --------------------------------------------------
        const QList<_SqliteCol> layout = carveMessageLayout(38);
        quint64 checksum = 0;
        readSeconds(path, &checksum); // warm-up: the file into the page cache
        double floor = readSeconds(path, &checksum);
        qint64 rows = 0;
        double carve = carveSeconds(path, layout, &rows);
        double select = selectSeconds(path, &checksum);
        for (int round = 0; round < 2; ++round) {
            floor = qMin(floor, readSeconds(path, &checksum));
            carve = qMin(carve, carveSeconds(path, layout, &rows));
            select = qMin(select, selectSeconds(path, &checksum));
        }
        std::printf("rows carved:        %lld of %d messages\n", static_cast<long long>(rows), sizes.messages);
        std::printf("carve every page:   %.3f s (best of 3, %.0f MB/s)\n", carve, megabytes / carve);
        std::printf("read in 64 KiB:     %.4f s (best of 3, checksum %llu)\n", floor,
                    static_cast<unsigned long long>(checksum));
        std::printf("ratio:              %.1f (target at most 40)\n", carve / floor);
        std::printf("SQLite select *:    %.3f s (best of 3)\n", select);

        // ---- Recovering deleted messages -----------------------------------------
        timer.restart();
        QList<qint64> oneByOne;
        for (qint64 n = 20; n <= sizes.messages; n += 20)
            oneByOne << n;
        testsupport::deleteRows(path, "message", oneByOne, testsupport::DeleteMode::OneByOne);
        QSet<qint64> deleted(oneByOne.cbegin(), oneByOne.cend());
        // A range in the middle holding 10,000 of the messages still there.
        QList<qint64> range;
        for (qint64 n = sizes.messages / 2 + 1; n <= sizes.messages && range.size() < 10000; ++n)
            if (!deleted.contains(n))
                range << n;
        testsupport::deleteRows(path, "message", range, testsupport::DeleteMode::OneStatement);
        deleted.unite(QSet<qint64>(range.cbegin(), range.cend()));
        std::printf("\ndeleted %lld one by one and %lld in one range in %.2f s\n",
                    static_cast<long long>(oneByOne.size()), static_cast<long long>(range.size()),
                    timer.nsecsElapsed() / 1e9);

        IOS6MessageDb db(QDir(cache.path()), QStringLiteral("262"), false);
        QSharedPointer<_MsgStore> store;
        newMsgStore(store);
        db.chats(store);
        const QList<_MsgChat *> chats = allChats(store);
        readSeconds(path, &checksum);
        timer.restart();
        db.recoverDeletedHandles(nullptr);
        db.recoverDeletedMessages(chats, nullptr);
        const double recovery = timer.nsecsElapsed() / 1e9;

        const double read = readSeconds(path, &checksum);
        const double inserts = insertSeconds(cache.filePath("floor.db"), content.messages, int(deleted.size()));
        const double recoveryFloor = read + inserts;

        // What came back: every row exact, none twice.
        QHash<QString, const testsupport::MsgFixtureMessage *> byGuid;
        for (const testsupport::MsgFixtureMessage &m : std::as_const(content.messages))
            byGuid.insert(m.guid, &m);
        const QList<_RecycleMessage> back = db.recycleDb()->messages();
        QSet<qint64> seen;
        QSet<qint64> backDeleted;
        int inexact = 0;
        int twice = 0;
        for (const _RecycleMessage &r : back) {
            const testsupport::MsgFixtureMessage *m = byGuid.value(r.guid);
            const qint64 n = namedRowid(r.text);
            if (!m || n != m->rowid || r.text != m->text || r.date != m->date || r.date_read != m->dateRead ||
                r.date_delivered != m->dateDelivered || r.is_from_me != m->isFromMe ||
                r.handle_id != m->handleId || r.service != m->service || r.account != m->account ||
                r.cache_roomnames != m->cacheRoomnames)
                ++inexact;
            if (seen.contains(n))
                ++twice;
            seen.insert(n);
            if (deleted.contains(n))
                backDeleted.insert(n);
        }
        const QSet<qint64> inFile = textsInFile(path, content.messages, deleted);
        int backOfInFile = 0;
        for (qint64 n : inFile)
            backOfInFile += backDeleted.contains(n) ? 1 : 0;
        const double share = inFile.isEmpty() ? 0 : 100.0 * backOfInFile / inFile.size();

        std::printf("recover handles and messages: %.3f s\n", recovery);
        std::printf("floor: read %.4f s + %lld prepared inserts %.3f s = %.3f s\n", read,
                    static_cast<long long>(deleted.size()), inserts, recoveryFloor);
        std::printf("ratio:              %.1f (target at most 8)\n", recovery / recoveryFloor);
        std::printf("deleted messages:   %lld, text still in the file: %lld (%.1f%%)\n",
                    static_cast<long long>(deleted.size()), static_cast<long long>(inFile.size()),
                    100.0 * inFile.size() / deleted.size());
        std::printf("came back:          %lld of the deleted, %d of those in the file (%.1f%%, target at least 95%%)\n",
                    static_cast<long long>(backDeleted.size()), backOfInFile, share);
        std::printf("rows in recycle.db: %lld (old copies of live rows included), inexact %d, stored twice %d\n",
                    static_cast<long long>(back.size()), inexact, twice);
        if (inexact > 0 || twice > 0 || share < 95.0 || recovery / recoveryFloor > 8.0)
            std::printf("TARGET MISSED\n");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "recovery_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
