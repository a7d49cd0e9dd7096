#pragma once
// Converts the local databases of the old single-file format, plain files in
// "local_databases", into current database folders of the same names.
#include <QFileInfoList>
#include <QThread>

#include <functional>

class ProgressForm;

class LocalDbUpdateThread : public QThread
{
    Q_OBJECT

public:
    LocalDbUpdateThread(ProgressForm *form, QObject *parent = nullptr);
    ~LocalDbUpdateThread() override;

    // The old databases waiting in "local_databases": its plain files that
    // begin with SQLite's header, without hidden ones and without SQLite's
    // side files of a database beside them (its name followed by "-journal",
    // "-wal" or "-shm"). Other files there are left alone.
    static QFileInfoList oldDatabaseFiles();

    // The fixed key of the old bodies' cipher.
    static const char *const kBodyKey;

    // Converts one old file into the database folder of its name: the file is
    // first renamed to "<name>.__tmp" (unless it carries that suffix from an
    // interrupted run) and removed once every row is stored; answers the
    // renamed path. progress(n, total) follows each row read. Throws
    // std::exception on failure; the renamed file then stays.
    static QString convert(const QFileInfo &file, const std::function<void(int n, int total)> &progress);

protected:
    void run() override;

private:
    ProgressForm *form;
};
