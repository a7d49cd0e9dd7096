#pragma once
// Converts the local databases of the old single-file format, plain files in
// "local_databases", into current database folders of the same names.
#include <QFileInfoList>
#include <QThread>

class ProgressForm;

class LocalDbUpdateThread : public QThread
{
    Q_OBJECT

public:
    LocalDbUpdateThread(ProgressForm *form, QObject *parent = nullptr);
    ~LocalDbUpdateThread() override;

    // The old databases waiting in "local_databases": its plain files, without
    // hidden ones and without SQLite's side files of a database beside them
    // (its name followed by "-journal", "-wal" or "-shm").
    static QFileInfoList oldDatabaseFiles();

    // The fixed key of the old bodies' cipher.
    static const char *const kBodyKey;

protected:
    void run() override;

private:
    // Converts one old file; throws std::exception on failure.
    void convert(const QFileInfo &file);

    ProgressForm *form;
};
