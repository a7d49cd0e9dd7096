#pragma once
// The course every recovery of deleted rows takes through a message database
// file read raw, whatever the table and its layouts:
//
//  1. the freelist: every trunk page, every freed page that is no b-tree page
//     and every leaf page under a freed b-tree page is queued for carving, and
//     the cells of freed table-leaf pages, still intact, are decoded on the
//     spot;
//  2. the leaf pages of the table itself are queued;
//  3. the queued pages are carved one by one, in order, with progress.
//
// A ProgressForm (may be null) gets the share of pages carved and asks for a
// stop through its failed flag, which is tested before each trunk, each freed
// page, each leaf under it and each page to carve; callers test cancelled()
// before each row they store. The scan only reads the file; what the rows
// become is up to the caller.
#include "recovery/sqlite3file.h"

#include <QList>

#include <functional>

class AbsDb;
class ProgressForm;
class Sqlite3DB;

class DeletedRowScan
{
public:
    using RowSink = std::function<void(const _SqliteCarvedRow &row)>;
    using PageSink = std::function<void(const _SqlitePage &page)>;

    // file: opened. Nothing is read yet.
    DeletedRowScan(const Sqlite3File &file, ProgressForm *progress);

    bool cancelled() const;

    // Step 1. Ends at a trunk outside the file or one met before, so a trunk
    // chain that loops takes at most page-count trunks; each freed page is
    // walked once, however many trunks list it.
    void walkFreelist(const RowSink &intact);
    // Step 2: the leaf pages of the b-tree whose root is rootPage (none for a
    // number outside the file).
    void queueLeaves(qint64 rootPage);
    // Step 3: hands each queued page, parsed, to carve after posting
    // processed / total * 100 (truncated) to the progress form.
    void carveQueued(const PageSink &carve);

    // The rows layout finds in page as the recovery carves a page: the free
    // space of a b-tree page, all of any other page.
    static QList<_SqliteCarvedRow> carve(const Sqlite3File &file, const _SqlitePage &page,
                                         const QList<_SqliteCol> &layout, SqliteRowFilter filter);

    // The root page of the table that sql ("select rootpage from
    // sqlite_master where ...") names on db; false when it answers no row.
    static bool rootPage(Sqlite3DB &db, const char *sql, qint64 *root);

    // Opens db, lets pages committed to its write-ahead log reach the main
    // file first (whatever the checkpoint answers, the file is then read as it
    // is), and opens file, which must name db's main file.
    static void openCheckpointed(AbsDb &db, Sqlite3File &file);

    // Runs body inside one transaction of db and commits it, also after a
    // cancel. When anything throws, the transaction is rolled back before the
    // exception goes on, so the next run can begin its own.
    static void inTransaction(AbsDb &db, const std::function<void()> &body);

private:
    const Sqlite3File &m_file;
    ProgressForm *m_progress;
    QList<int> m_pages;
};
