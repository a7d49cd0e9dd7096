#include "tests/support/rawdbfixture.h"

#include "tests/support/messagedbfixture.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sqlite3.h>

#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

[[noreturn]] void failWith(const QString &what)
{
    throw std::runtime_error(what.toStdString());
}

} // namespace

std::unique_ptr<SqliteFixture> createRawDb(const QString &path, int pageSize)
{
    QFile::remove(path);
    QFile::remove(path + "-journal");
    auto db = std::make_unique<SqliteFixture>(path);
    db->exec(QString("PRAGMA page_size=%1; PRAGMA auto_vacuum=NONE; PRAGMA secure_delete=OFF;").arg(pageSize));
    return db;
}

std::unique_ptr<SqliteFixture> openRawDb(const QString &path)
{
    if (!QFileInfo::exists(path))
        failWith(QString("no database %1").arg(path));
    auto db = std::make_unique<SqliteFixture>(path);
    db->exec("PRAGMA secure_delete=OFF;");
    return db;
}

void deleteRows(const QString &path, const QString &table, const QList<qint64> &rowids, DeleteMode mode)
{
    auto db = openRawDb(path);
    const QString quoted = QString("\"%1\"").arg(table);
    if (mode == DeleteMode::OneByOne) {
        // One transaction leaves the pages as so many would, only sooner.
        db->exec("BEGIN");
        for (qint64 rowid : rowids)
            db->run(QString("DELETE FROM %1 WHERE ROWID = ?").arg(quoted), {rowid});
        db->exec("COMMIT");
        return;
    }
    // One statement however many rows: the rowids go in as one JSON array.
    QStringList numbers;
    for (qint64 rowid : rowids)
        numbers << QString::number(rowid);
    db->run(QString("DELETE FROM %1 WHERE ROWID IN (SELECT value FROM json_each(?))").arg(quoted),
            {QString("[%1]").arg(numbers.join(','))});
}

std::unique_ptr<SqliteFixture> openWalWriter(const QString &path)
{
    auto db = openRawDb(path);
    db->exec("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    return db;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        failWith(QString("read %1: %2").arg(path, f.errorString()));
    return f.readAll();
}

void patchFile(const QString &path, qint64 offset, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(offset) || f.write(bytes) != bytes.size())
        failWith(QString("patch %1: %2").arg(path, f.errorString()));
}

QByteArray sqliteVarint(qint64 value)
{
    quint64 v = quint64(value);
    if (v >> 56) {
        QByteArray b(9, '\0');
        b[8] = char(v & 0xFF);
        v >>= 8;
        for (int i = 7; i >= 0; --i) {
            b[i] = char((v & 0x7F) | 0x80);
            v >>= 7;
        }
        return b;
    }
    QByteArray b;
    do {
        b.prepend(char(v & 0x7F));
        v >>= 7;
    } while (v);
    for (int i = 0; i + 1 < b.size(); ++i)
        b[i] = char(b[i] | 0x80);
    return b;
}

QByteArray sqliteRecord(const QVariantList &values)
{
    QByteArray types;
    QByteArray body;
    for (const QVariant &v : values) {
        switch (v.typeId()) {
        case QMetaType::UnknownType:
            types += sqliteVarint(0);
            break;
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::Bool: {
            const qint64 n = v.toLongLong();
            static const struct { int type; int bytes; qint64 limit; } widths[] = {
                {1, 1, 0x7F}, {2, 2, 0x7FFF}, {3, 3, 0x7FFFFF}, {4, 4, 0x7FFFFFFF}, {5, 6, 0x7FFFFFFFFFFFLL}};
            int type = 6;
            int bytes = 8;
            for (const auto &w : widths) {
                if (n <= w.limit && n >= -w.limit - 1) {
                    type = w.type;
                    bytes = w.bytes;
                    break;
                }
            }
            types += sqliteVarint(type);
            for (int i = bytes - 1; i >= 0; --i)
                body += char(quint64(n) >> (8 * i));
            break;
        }
        case QMetaType::Double: {
            const double d = v.toDouble();
            quint64 bits;
            std::memcpy(&bits, &d, sizeof(bits));
            types += sqliteVarint(7);
            for (int i = 7; i >= 0; --i)
                body += char(bits >> (8 * i));
            break;
        }
        case QMetaType::QByteArray: {
            const QByteArray b = v.toByteArray();
            types += sqliteVarint(12 + 2 * qint64(b.size()));
            body += b;
            break;
        }
        default: {
            const QByteArray t = v.toString().toUtf8();
            types += sqliteVarint(13 + 2 * qint64(t.size()));
            body += t;
        }
        }
    }
    // The header size counts itself.
    qint64 size = types.size() + 1;
    while (sqliteVarint(size).size() + types.size() != size)
        ++size;
    return sqliteVarint(size) + types + body;
}

QByteArray tableLeafCell(qint64 rowid, const QByteArray &record)
{
    return sqliteVarint(record.size()) + sqliteVarint(rowid) + record;
}

QByteArray tableLeafPage(int pageSize, const QList<QByteArray> &cells)
{
    QByteArray page(pageSize, '\0');
    int content = pageSize;
    page[0] = char(13);
    page.replace(3, 2, bigEndian16(quint16(cells.size())));
    for (int i = 0; i < cells.size(); ++i) {
        content -= int(cells.at(i).size());
        page.replace(content, cells.at(i).size(), cells.at(i));
        page.replace(8 + 2 * i, 2, bigEndian16(quint16(content)));
    }
    page.replace(5, 2, bigEndian16(quint16(content)));
    return page;
}

CarveHandleRow carveHandleRow(qint64 rowid)
{
    CarveHandleRow h;
    h.rowid = rowid;
    h.id = QString("+49151000000%1").arg(rowid, 3, 10, QLatin1Char('0'));
    h.country = "de";
    h.service = "SMS";
    h.uncanonicalizedId = QString("row %1").arg(rowid);
    return h;
}

void insertHandle(SqliteFixture &db, const CarveHandleRow &row)
{
    db.run("INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) VALUES (?, ?, ?, ?, ?)",
           {row.rowid, row.id, row.country, row.service, row.uncanonicalizedId});
}

int writeHandlePageDb(const QString &path, int rowCount, const QList<qint64> &deleteInOrder)
{
    {
        auto db = createRawDb(path, 1024);
        db->exec(ios6PhoneTableSql("handle"));
        db->exec("BEGIN");
        for (int i = 1; i <= rowCount; ++i)
            insertHandle(*db, carveHandleRow(i));
        db->exec("COMMIT");
        for (qint64 rowid : deleteInOrder)
            db->run("DELETE FROM handle WHERE ROWID = ?", {rowid});
    }
    return queryValue(path, "SELECT rootpage FROM sqlite_master WHERE name = 'handle'").toInt();
}

CarveMessageRow carveMessageRow(qint64 rowid, const QString &text)
{
    CarveMessageRow m;
    m.rowid = rowid;
    m.guid = QString("0C3B7A21-5D4E-4F60-8A9B-%1").arg(rowid, 12, 10, QLatin1Char('0'));
    m.text = text;
    m.handleId = 3;
    m.service = rowid % 2 ? "SMS" : "iMessage";
    m.account = rowid % 2 ? "e:" : "e:someone@example.com";
    m.accountGuid = "E3A1C1F2-7B1D-4C55-9E0A-55AA66BB77CC";
    m.date = 600000000 + rowid;
    m.isFromMe = int(rowid % 2);
    return m;
}

void insertMessage(SqliteFixture &db, const CarveMessageRow &row)
{
    db.run("INSERT INTO message (ROWID, guid, text, handle_id, service, account, account_guid, attributedBody, "
           "date, date_read, date_delivered, is_from_me, is_sent, is_finished, cache_roomnames) "
           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1, ?)",
           {row.rowid, row.guid, row.text, row.handleId, row.service, row.account, row.accountGuid,
            row.attributedBody.isEmpty() ? QVariant() : QVariant(row.attributedBody), row.date, row.date,
            row.isFromMe ? row.date : qint64(0), row.isFromMe, row.isFromMe,
            row.cacheRoomnames.isEmpty() ? QVariant() : QVariant(row.cacheRoomnames)});
}

QString rowidText(qint64 rowid, const QString &rest)
{
    return QString("msg %1: %2").arg(rowid).arg(rest);
}

void nameMessagesByRowid(MsgFixtureContent &content)
{
    for (MsgFixtureMessage &m : content.messages) {
        QString rest = m.text;
        if (m.rowid % 3 == 0)
            rest += QString::fromUtf8(" \xF0\x9F\x98\x8A"); // an emoji outside the BMP
        m.text = rowidText(m.rowid, rest);
    }
}

} // namespace testsupport
