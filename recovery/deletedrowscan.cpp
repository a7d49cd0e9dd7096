#include "recovery/deletedrowscan.h"

#include "app/progressform.h"
#include "platform/sqlite_qt/sqlite3db.h"
#include "store/absdb.h"

#include <QString>

#include <vector>

DeletedRowScan::DeletedRowScan(const Sqlite3File &file, ProgressForm *progress) : m_file(file), m_progress(progress)
{
}

bool DeletedRowScan::cancelled() const
{
    return m_progress && m_progress->failed;
}

void DeletedRowScan::walkFreelist(const RowSink &intact)
{
    const int count = m_file.pageCount();
    // One mark per page for trunks and freed pages alike: a trunk listed as
    // a leaf of another, or a page listed twice, is walked once.
    std::vector<bool> seen(size_t(count) + 1, false);
    quint32 t = m_file.firstFreelistTrunk();
    while (t >= 1 && t <= quint32(count) && !seen[t] && !cancelled()) {
        seen[t] = true;
        m_pages.append(int(t));
        const _SqliteFreelistTrunk trunk = m_file.freelistTrunk(int(t));
        t = trunk.nextTrunk;
        for (quint32 leaf : trunk.leaves) {
            if (cancelled())
                break;
            if (leaf < 1 || leaf > quint32(count) || seen[leaf])
                continue;
            const _SqlitePage page = m_file.page(int(leaf));
            if (!page.isBtreePage()) {
                seen[leaf] = true;
                m_pages.append(int(leaf));
                continue;
            }
            // Depth first, left to right: the leaves in key order. A freed
            // interior page may still point at pages now used elsewhere;
            // they are read, but never twice.
            std::vector<quint32> stack{leaf};
            while (!stack.empty() && !cancelled()) {
                const quint32 n = stack.back();
                stack.pop_back();
                if (seen[n])
                    continue;
                seen[n] = true;
                const _SqlitePage p = n == leaf ? page : m_file.page(int(n));
                if (!p.isBtreePage())
                    continue;
                if (p.isLeafPage()) {
                    m_pages.append(int(n));
                    if (p.type == 13) {
                        for (const uchar *cell : p.cells)
                            intact(m_file.rowData(_SqliteCell::parse(m_file, p, cell)));
                    }
                    continue;
                }
                if (p.rightMostPointer >= 1 && p.rightMostPointer <= quint32(count))
                    stack.push_back(p.rightMostPointer);
                for (qsizetype i = p.cells.size() - 1; i >= 0; --i) {
                    const quint32 child = _SqliteCell::parse(m_file, p, p.cells.at(i)).leftChild;
                    if (child >= 1 && child <= quint32(count))
                        stack.push_back(child);
                }
            }
        }
    }
}

void DeletedRowScan::queueLeaves(qint64 rootPage)
{
    if (rootPage < 1 || rootPage > m_file.pageCount())
        return;
    for (const _SqlitePage &leaf : m_file.leafPages(m_file.page(int(rootPage))))
        m_pages.append(int(leaf.number));
}

void DeletedRowScan::carveQueued(const PageSink &carve)
{
    const qsizetype total = m_pages.size();
    qsizetype processed = 0;
    for (int n : std::as_const(m_pages)) {
        if (cancelled())
            break;
        ++processed;
        if (m_progress)
            m_progress->postUpdateProgress(QString(), int(double(processed) / double(total) * 100.0), QString());
        carve(m_file.page(n));
    }
}

QList<_SqliteCarvedRow> DeletedRowScan::carve(const Sqlite3File &file, const _SqlitePage &page,
                                              const QList<_SqliteCol> &layout, SqliteRowFilter filter)
{
    if (page.isBtreePage())
        return file.carveFreeSpace(layout, 0, page, filter);
    return file.carvePage(layout, 0, int(page.number), 0, filter);
}

bool DeletedRowScan::rootPage(Sqlite3DB &db, const char *sql, qint64 *root)
{
    Sqlite3Cursor cursor = db.queryThrow(Sqlite3Sql(sql));
    if (!cursor.moveNext())
        return false;
    *root = cursor.getInt64(QStringLiteral("rootpage"));
    return true;
}

void DeletedRowScan::openCheckpointed(AbsDb &db, Sqlite3File &file)
{
    db.open();
    QString error;
    db.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE);"), error);
    file.open();
}

void DeletedRowScan::inTransaction(AbsDb &db, const std::function<void()> &body)
{
    db.beginTransaction();
    try {
        body();
    } catch (...) {
        // A transaction left open would make every later begin on this
        // connection fail, and would hold the file's lock until it closes.
        db.endTransaction(false);
        throw;
    }
    db.endTransaction(true);
}
