#include "ios/itunescachedb.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

constexpr int kOpenReadWrite = 2;
constexpr int kOpenCreate = 6;

const char *const kSelectDate = "select last_date from manifest where file_name = ?";

} // namespace

ITunesCacheDb::ITunesCacheDb(const QString &path) : path(path)
{
}

ITunesCacheDb::~ITunesCacheDb()
{
    if (!db.isOpen())
        return;
    try {
        if (db.inTransaction())
            db.commitTran();
    } catch (const std::exception &) {
        // The dates are lost; the files are only copied once more next time.
    }
    db.close();
}

void ITunesCacheDb::open()
{
    if (db.isOpen())
        return;
    if (QFileInfo::exists(path))
        db.openThrow(path, kOpenReadWrite);
    else
        create();
    try {
        db.beginTran();
    } catch (const std::exception &) {
        // Each date is then written on its own.
    }
}

void ITunesCacheDb::create()
{
    db.openThrow(path, kOpenCreate);
    try {
        QFile script(QStringLiteral(":/res/cache_db.sql"));
        if (!script.open(QIODevice::ReadOnly))
            throw std::runtime_error(script.errorString().toUtf8().toStdString());
        QByteArray text = script.readAll();
        const qsizetype nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        QString error;
        if (db.exec(QString::fromUtf8(text), error) != 0)
            throw std::runtime_error(error.toUtf8().toStdString());
    } catch (...) {
        // A file without its table would be opened as it is by every later
        // run, and no date could ever be stored in it.
        db.close();
        QFile::remove(path);
        throw;
    }
}

std::optional<qint32> ITunesCacheDb::lastDate(const QString &fileId)
{
    try {
        open();
        Sqlite3Cursor rows = db.queryThrow(Sqlite3Sql(kSelectDate).addTextParam(fileId));
        if (rows.moveNext())
            return qint32(rows.getInt64(QStringLiteral("last_date")));
    } catch (const std::exception &) {
    }
    return std::nullopt;
}

void ITunesCacheDb::setLastDate(const QString &fileId, qint32 date)
{
    try {
        open();
        Sqlite3Cursor rows = db.queryThrow(Sqlite3Sql(kSelectDate).addTextParam(fileId));
        if (rows.moveNext()) {
            const qint32 stored = qint32(rows.getInt64(QStringLiteral("last_date")));
            rows = Sqlite3Cursor(); // the statement goes back before the next one runs
            if (stored != date)
                db.executeThrow(Sqlite3Sql("update manifest set last_date=? where file_name = ?")
                                    .addIntParam(date)
                                    .addTextParam(fileId));
        } else {
            rows = Sqlite3Cursor();
            db.executeThrow(Sqlite3Sql("insert into manifest(file_name,last_date) values(?,?)")
                                .addTextParam(fileId)
                                .addIntParam(date));
        }
    } catch (const std::exception &) {
    }
}

void ITunesCacheDb::close()
{
    db.close(); // rolls back the open transaction first
}
