// The raw SQLite reader and the carver of deleted rows, over a phone's
// message database given as bytes: every page, cell, payload and record, the
// b-tree walks from every page, the freelist, and the carving of each page's
// free space and whole pages with the phone's message and handle layouts.
#include "fuzz/fuzzenv.h"
#include "recovery/carvelayouts.h"
#include "recovery/sqlite3file.h"

#include <QSet>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

// The layouts a recovery carves with; made once, as a recovery makes them
// once per run.
const QList<_SqliteCol> &handleLayout()
{
    static const QList<_SqliteCol> layout = carveHandleLayout();
    return layout;
}

const QList<_SqliteCol> &messageLayout(int columns)
{
    static const QList<_SqliteCol> ios6 = carveMessageLayout(38);
    static const QList<_SqliteCol> later = carveMessageLayout(51);
    return columns == 38 ? ios6 : later;
}

bool isService(const QVariant &v)
{
    const QString s = v.toString();
    return s.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0
        || s.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

// A check of the kind a recovery makes of a carved handle: rejected
// candidates make the scan go on byte by byte.
bool handleFilter(_SqliteCarvedRow *row)
{
    return row->values.size() > 4 && isService(row->values.at(3));
}

[[noreturn]] void fault(const char *what)
{
    std::fprintf(stderr, "rawsqlite: %s\n", what);
    std::abort();
}

quint64 sumOf(const QList<_SqliteCarvedRow> &rows, int columns)
{
    quint64 sum = 0;
    for (const _SqliteCarvedRow &row : rows) {
        if (row.values.size() != columns)
            fault("a carved row without one value per column");
        sum += quint64(row.rowid);
        for (const QVariant &v : row.values)
            sum += quint64(v.toByteArray().size());
    }
    return sum;
}

// A walk must visit each page at most once.
void checkWalk(const QList<_SqlitePage> &walk, int pageCount)
{
    if (walk.size() > pageCount)
        fault("a b-tree walk longer than the file");
    QSet<quint32> seen;
    for (const _SqlitePage &p : walk) {
        if (p.number < 1 || p.number > quint32(pageCount) || seen.contains(p.number))
            fault("a b-tree walk outside the file or through a page twice");
        seen.insert(p.number);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzenv::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Sqlite3File file(QStringLiteral("fuzz.db"));
    try {
        file.openData(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    } catch (const std::runtime_error &) {
        return 0;
    }
    const int count = file.pageCount();
    quint64 sum = 0;
    for (int n = 0; n <= count + 1; ++n) {
        const _SqlitePage page = file.page(n);
        if (page.number == 0)
            continue;
        for (const uchar *cell : page.cells) {
            const _SqliteCell c = _SqliteCell::parse(file, page, cell);
            sum += quint64(file.payload(c).size());
            const _SqliteCarvedRow row = file.rowData(c);
            sum += quint64(row.values.size());
        }
        const QList<_SqlitePage> all = file.allPages(page);
        const QList<_SqlitePage> leaves = file.leafPages(page);
        checkWalk(all, count);
        checkWalk(leaves, count);
        sum += quint64(all.size() + leaves.size());
        sum += sumOf(file.carveFreeSpace(handleLayout(), 0, page, handleFilter), 5);
        sum += sumOf(file.carveFreeSpace(messageLayout(38), 0, page, nullptr), 38);
        sum += sumOf(file.carvePage(messageLayout(51), 0, n, 0, nullptr), 51);
    }
    // Freelist pages hold whole deleted pages: a recovery carves them from
    // their first byte, with a key stored as bytes too.
    const QList<_SqliteFreelistTrunk> trunks = file.freelistTrunks();
    if (trunks.size() > count)
        fault("a freelist trunk chain longer than the file");
    // A trunk may name a leaf many times over: each is carved once.
    QSet<quint32> carved;
    for (const _SqliteFreelistTrunk &trunk : trunks) {
        sum += sumOf(file.carvePage(handleLayout(), 0, int(trunk.number), 8, nullptr), 5);
        for (quint32 leaf : trunk.leaves) {
            if (leaf > quint32(count) || carved.contains(leaf))
                continue;
            carved.insert(leaf);
            sum += quint64(file.page(int(leaf)).cells.size());
            sum += sumOf(file.carvePage(handleLayout(), 16, int(leaf), 0, handleFilter), 5);
        }
    }
    fuzzenv::keep(sum);
    return 0;
}
