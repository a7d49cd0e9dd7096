#include "platform/plist/plistnode.h"

#include "platform/plist/plistparse.h"

#include <cstdlib>
#include <limits>

namespace {

// 2001-01-01 00:00:00 UTC, the origin of property-list dates, in Unix milliseconds.
constexpr qint64 kPlistEpochMSecs = 978307200LL * 1000;

} // namespace

void _PlistRefHolder::release()
{
    if (owned && node) {
        plist_free(node);
        node = nullptr;
    }
}

PlistNode::PlistNode(plist_t node, bool owned)
    : m_holder(QSharedPointer<_PlistRefHolder>::create(node, owned))
{
}

PlistNode::PlistNode(QSharedPointer<_PlistRefHolder> holder) : m_holder(std::move(holder))
{
}

PlistNode PlistNode::parse(const QByteArray &data, bool owned)
{
    return PlistNode(parsePlistGuarded(data), owned);
}

PlistNode PlistNode::child(plist_t node) const
{
    if (!node)
        return PlistNode();
    QSharedPointer<_PlistRefHolder> root = m_holder->owned ? m_holder : m_holder->root;
    return PlistNode(QSharedPointer<_PlistRefHolder>::create(node, false, std::move(root)));
}

PlistNode PlistNode::value(const QString &key) const
{
    if (!isDictionary())
        return PlistNode();
    return child(plist_dict_get_item(node(), key.toUtf8().constData()));
}

PlistNode PlistNode::at(int index) const
{
    if (!isArray() || index < 0 || index >= arraySize())
        return PlistNode();
    return child(plist_array_get_item(node(), uint32_t(index)));
}

int PlistNode::arraySize() const
{
    if (!isArray())
        return 0;
    const uint32_t size = plist_array_get_size(node());
    return size > uint32_t(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                            : int(size);
}

QString PlistNode::toString() const
{
    if (!isString())
        return QString(QLatin1String(""));
    // Not plist_get_string_val: libplist asserts there that the text holds no
    // NUL, which a damaged or crafted list breaks, and the failed assertion
    // would end the program. The text is read up to its first NUL, as every
    // reader of C strings sees it.
    uint64_t length = 0;
    const char *value = plist_get_string_ptr(node(), &length);
    if (!value)
        return QString(QLatin1String(""));
    return QString::fromUtf8(value, qsizetype(qstrnlen(value, size_t(length))));
}

bool PlistNode::toBool() const
{
    if (!isBoolean())
        return false;
    uint8_t value = 0;
    plist_get_bool_val(node(), &value);
    return value != 0;
}

QByteArray PlistNode::toByteArray() const
{
    if (!isData())
        return QByteArray();
    char *value = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node(), &value, &length);
    QByteArray bytes;
    if (value && length <= quint64(std::numeric_limits<qsizetype>::max()))
        bytes = QByteArray(value, qsizetype(length));
    else
        bytes = QByteArray("");
    std::free(value);
    return bytes;
}

QDateTime PlistNode::toDateTime() const
{
    if (!isDate())
        return QDateTime();
    int32_t sec = 0;
    int32_t usec = 0;
    plist_get_date_val(node(), &sec, &usec);
    return QDateTime::fromMSecsSinceEpoch(kPlistEpochMSecs + qint64(sec) * 1000 + usec / 1000);
}

bool PlistNode::hasType(plist_type type) const
{
    return node() && plist_get_node_type(node()) == type;
}

bool PlistNode::isBoolean() const { return hasType(PLIST_BOOLEAN); }
bool PlistNode::isString() const { return hasType(PLIST_STRING); }
bool PlistNode::isArray() const { return hasType(PLIST_ARRAY); }
bool PlistNode::isDictionary() const { return hasType(PLIST_DICT); }
bool PlistNode::isDate() const { return hasType(PLIST_DATE); }
bool PlistNode::isData() const { return hasType(PLIST_DATA); }
