// Carving a whole iOS 6 message database the way the recovery reads free
// space, against the floor of reading the same file sequentially.
//
//   recovery_bench [messages chats handles]   (default 200000 2000 500)
//
// The carve reads the file into memory and scans every page from byte 0 with
// the 38-column message layout, keeping rows whose service (value 11) is
// "SMS" or "iMessage": every byte position is visited and every live row is
// decoded. The floor reads the file in 64 KiB blocks after a warm-up read.
// Prints both, their ratio, the rows found, and SQLite's own SELECT * time.
#include "bench/benchsetup.h"
#include "recovery/carvelayouts.h"
#include "recovery/sqlite3file.h"
#include "tests/support/messagedbfixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
        const QString path = testsupport::writeMsgDb(
            cache.path(), testsupport::MsgDbLayout::Ios6Phone,
            testsupport::generateMsgContent(sizes.chats, sizes.messages, sizes.handles, 10));
        const double megabytes = QFileInfo(path).size() / 1048576.0;
        std::printf("generated %d messages in %.2f s (%.1f MB)\n", sizes.messages, timer.nsecsElapsed() / 1e9,
                    megabytes);

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
    } catch (const std::exception &e) {
        std::fprintf(stderr, "recovery_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
