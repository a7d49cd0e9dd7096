// Recovering deleted handles and messages of a database in the iOS 6 layout:
// the members of IOS6MessageDb that read its file raw.
#include "store/ios6messagedb.h"

#include "recovery/carvelayouts.h"
#include "recovery/deletedrowscan.h"
#include "recovery/sqlite3file.h"
#include "store/attributedbodytext.h"

#include <QHash>
#include <QRegularExpression>

#include <utility>

namespace {

bool isService(const QVariant &value)
{
    const QString s = value.toString();
    return s.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0 ||
           s.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

// A carved row's rowid where the carver found one; the cell's own for an
// intact row.
using Collected = QList<std::pair<_MsgMessage, qint64>>;

// Holds one read transaction on a connection for as long as it lives, so
// that each of the many lookups does not take and drop the file's lock
// again. Nothing is written through it; a connection already in a
// transaction is left as it is.
class ReadTransaction
{
public:
    explicit ReadTransaction(Sqlite3DB &db) : m_db(db), m_own(!db.inTransaction())
    {
        if (m_own)
            m_db.beginTran();
    }
    ~ReadTransaction()
    {
        if (m_own)
            m_db.rollbackTran();
    }
    ReadTransaction(const ReadTransaction &) = delete;
    ReadTransaction &operator=(const ReadTransaction &) = delete;

private:
    Sqlite3DB &m_db;
    bool m_own;
};

} // namespace

// A row cut at the end of its range lost its last values to whatever was
// written after it: it is no longer the row that was deleted.
bool IOS6MessageDb::filterCarvedHandle(_SqliteCarvedRow *row)
{
    return !row->cut && row->values.size() > 4 && isService(row->values.at(3));
}

// The carver tries every byte position, and a position inside a record can
// line the layout up with bytes that are no row (serial types read as text,
// another row's service where this one's should be). Every phone writes a
// guid of the 8-4-4-4-12 shape into the column that comes first: a row
// without one is no row of the table, and would only be stored again under a
// fresh guid on every run.
bool IOS6MessageDb::filterCarvedMessage(_SqliteCarvedRow *row)
{
    static const QRegularExpression guidShape(QRegularExpression::anchoredPattern(
        QStringLiteral("[a-zA-Z0-9]{8}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{12}")));
    return !row->cut && row->values.size() > 37 && isService(row->values.at(11)) &&
           guidShape.match(row->values.at(1).toString()).hasMatch();
}

bool IOS6MessageDb::carvedRowToHandle(const _SqliteCarvedRow &row, _MsgHandle *out)
{
    const QList<QVariant> &v = row.values;
    if (v.size() <= 4)
        return false;
    *out = _MsgHandle();
    out->rowid = row.rowid;
    // The service first: it costs no query, and the cells of every freed
    // table page (messages, chats) come here and fail on it.
    out->service = v.at(3).toString();
    if (!isService(out->service))
        return false;
    out->id = v.at(1).toString();
    out->country = v.at(2).toString();
    bool found = false;
    const _CountryInfo country = countryDb.countryBySn(out->country, &found);
    if (!out->country.isEmpty() && !found)
        return false;
    out->id = CountryLibDb::normalizeNumber(country, out->id);
    out->uncanonicalized_id = v.at(4).toString();
    return true;
}

bool IOS6MessageDb::carvedRowToMessage(const _SqliteCarvedRow &row, _MsgMessage *out)
{
    const QList<QVariant> &v = row.values;
    if (v.size() < 38)
        return false;
    *out = _MsgMessage();
    _MsgMessage &m = *out;
    m.rowid = row.rowid;
    m.guid = v.at(1).toString();
    m.text = v.at(2).toString();
    // Gathered here, kept only when one is not at its default.
    _MsgMessageRare rare = m.rare();
    rare.replace = v.at(3).toInt();
    m.service_center = v.at(4).toString();
    m.handle_id = v.at(5).toLongLong();
    rare.subject = v.at(6).toString();
    m.country = v.at(7).toString();
    rare.attributedBody = v.at(8).toByteArray();
    m.version = v.at(9).toInt();
    m.type = v.at(10).toInt();
    m.service = v.at(11).toString();
    if (!isService(m.service.str()))
        return false;
    m.account = v.at(12).toString();
    m.account_guid = v.at(13).toString();
    m.error = v.at(14).toInt();
    // Intact rows of later phones count in nanoseconds: read as the live
    // reader reads them, not cut to an int.
    m.date = recordDate(v.at(15).toLongLong());
    m.date_read = recordDate(v.at(16).toLongLong());
    m.date_delivered = recordDate(v.at(17).toLongLong());
    m.is_delivered = v.at(18).toInt();
    m.is_finished = v.at(19).toInt();
    rare.is_emote = v.at(20).toInt();
    m.is_from_me = v.at(21).toInt();
    m.is_empty = v.at(22).toInt();
    rare.is_delayed = v.at(23).toInt();
    rare.is_auto_reply = v.at(24).toInt();
    m.is_prepared = v.at(25).toInt();
    m.is_read = v.at(26).toInt();
    rare.is_system_message = v.at(27).toInt();
    m.is_sent = v.at(28).toInt();
    m.has_dd_results = v.at(29).toInt();
    rare.is_service_message = v.at(30).toInt();
    rare.is_forward = v.at(31).toInt();
    rare.was_downgraded = v.at(32).toInt();
    rare.is_archive = v.at(33).toInt();
    m.cache_has_attachments = v.at(34).toInt();
    m.cache_roomnames = v.at(35).toString();
    m.was_data_detected = v.at(36).toInt();
    m.was_deduplicated = v.at(37).toInt();
    if (v.size() >= 50) {
        rare.is_audio_message = v.at(38).toInt();
        rare.is_played = v.at(39).toInt();
        rare.date_played = recordDate(v.at(40).toLongLong());
        m.item_type = v.at(41).toInt();
        m.other_handle = int(v.at(42).toLongLong());
        rare.group_title = v.at(43).toString();
        rare.group_action_type = v.at(44).toInt();
        rare.share_status = v.at(45).toInt();
        rare.share_direction = v.at(46).toInt();
        rare.is_expirable = v.at(47).toInt();
        rare.expire_state = v.at(48).toInt();
        rare.message_action_type = v.at(49).toInt();
    }
    m.setRare(rare);
    // Later phones keep the words of many messages only in the archive.
    if (m.text.isEmpty() && !m.rare().attributedBody.isEmpty()) {
        const QString words = attributedBodyText(m.rare().attributedBody);
        if (!words.isEmpty())
            m.text = words;
    }
    return true;
}

void IOS6MessageDb::recoverDeletedHandles(ProgressForm *progress)
{
    Sqlite3File file(dbPath);
    DeletedRowScan::openCheckpointed(*this, file);

    DeletedRowScan scan(file, progress);
    DeletedRowScan::inTransaction(recycle, [&] {
        auto store = [this](const _MsgHandle &h, qint64 srcRowid) {
            if (recycle.findHandle(h) == 0)
                recycle.insertHandle(h, srcRowid);
        };
        scan.walkFreelist([&](const _SqliteCarvedRow &row) {
            _MsgHandle h;
            if (carvedRowToHandle(row, &h))
                store(h, row.rowid);
        });

        const QList<_SqliteCol> layout = carveHandleLayout();
        qint64 root = 0;
        if (!DeletedRowScan::rootPage(*this, "select rootpage from sqlite_master where type='table' and name='handle'",
                                      &root))
            return;
        scan.queueLeaves(root);
        scan.carveQueued([&](const _SqlitePage &page) {
            QList<_MsgHandle> collected;
            for (const _SqliteCarvedRow &row : DeletedRowScan::carve(file, page, layout, filterCarvedHandle)) {
                _MsgHandle h;
                if (carvedRowToHandle(row, &h))
                    collected.append(h);
            }
            for (const _MsgHandle &h : std::as_const(collected)) {
                if (scan.cancelled())
                    break;
                store(h, h.rowid);
            }
        });
    });
}

void IOS6MessageDb::recoverDeletedMessages(const QList<_MsgChat *> &chats, ProgressForm *progress)
{
    Sqlite3File file(dbPath);
    DeletedRowScan::openCheckpointed(*this, file);

    // A handle's one-to-one chat wins (the last one of the list); a handle in
    // group chats only keeps the first of them.
    QHash<qint64, _MsgChat *> chatOfHandle;
    for (_MsgChat *chat : chats) {
        for (const _MsgHandle *h : std::as_const(chat->members)) {
            if (!h)
                continue;
            if (!chat->isGroup())
                chatOfHandle.insert(h->rowid, chat);
            else if (!chatOfHandle.contains(h->rowid))
                chatOfHandle.insert(h->rowid, chat);
        }
    }

    DeletedRowScan scan(file, progress);
    const ReadTransaction reading(*this);
    DeletedRowScan::inTransaction(recycle, [&] {
        // carved: the row came out of free space, where a live row's old copy
        // may lie too; an intact cell of a freed page is taken as it is.
        auto store = [&](const _MsgMessage &m, qint64 srcRowid, bool carved) {
            if (m.item_type != 0 || recycle.findMessage(m) != 0)
                return;
            if (carved && messageRowid(m.guid) != 0)
                return;
            QString chatIdentifier;
            QString handle;
            if (_MsgChat *chat = chatOfHandle.value(m.handle_id)) {
                chatIdentifier = chat->chat_identifier;
                // The sender by its rowid: in a group, any other member would
                // be shown as the one who wrote it.
                for (const _MsgHandle *h : std::as_const(chat->members)) {
                    if (h && h->rowid == m.handle_id) {
                        handle = h->id;
                        break;
                    }
                }
            } else {
                handle = recycle.handleBySrcRowid(m.handle_id).id;
                chatIdentifier = handle;
            }
            recycle.insertMessage(m, chatIdentifier, handle, srcRowid);
        };
        scan.walkFreelist([&](const _SqliteCarvedRow &row) {
            _MsgMessage m;
            if (carvedRowToMessage(row, &m))
                store(m, row.rowid, false);
        });

        const QList<QList<_SqliteCol>> layouts = {carveMessageLayout(38), carveMessageLayout(51)};
        qint64 root = 0;
        if (!DeletedRowScan::rootPage(*this, "select rootpage from sqlite_master where type='table' and name='message'",
                                      &root))
            return;
        scan.queueLeaves(root);
        scan.carveQueued([&](const _SqlitePage &page) {
            Collected collected;
            for (const QList<_SqliteCol> &layout : layouts) {
                for (const _SqliteCarvedRow &row : DeletedRowScan::carve(file, page, layout, filterCarvedMessage)) {
                    _MsgMessage m;
                    if (carvedRowToMessage(row, &m))
                        collected.append({m, row.rowid});
                }
            }
            for (const auto &[m, srcRowid] : std::as_const(collected)) {
                if (scan.cancelled())
                    break;
                store(m, srcRowid, true);
            }
        });
    });
}
