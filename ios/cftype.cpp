#include "ios/cftype.h"

#include "ios/applelibs.h"
#include "platform/plist/plistparse.h"

#include <atomic>
#include <limits>
#include <vector>

namespace {

std::atomic<CFType::Resolver> s_resolver{nullptr};

template <typename T>
T callbackTable(const char *name)
{
    return static_cast<T>(CFType::resolve<void *>(name));
}

} // namespace

CFType::CFType(CFTypeRef ref, bool owned) : holder(QSharedPointer<_CFRefHolder>::create(ref, owned))
{
}

CFType::~CFType() = default;

void *CFType::lookUp(const char *name)
{
    const Resolver resolver = s_resolver.load();
    return resolver ? resolver(name) : apple_cf_resolve(name);
}

CFType::Resolver CFType::setResolver(Resolver resolver)
{
    return s_resolver.exchange(resolver);
}

CFTypeID CFType::typeId() const
{
    if (isEmpty()) {
        auto nullTypeId = resolve<decltype(&CFNullGetTypeID)>("CFNullGetTypeID");
        return nullTypeId ? nullTypeId() : 0;
    }
    auto getTypeId = resolve<decltype(&CFGetTypeID)>("CFGetTypeID");
    return getTypeId ? getTypeId(ref()) : 0;
}

bool CFType::hasType(const char *typeIdFunction) const
{
    if (isEmpty())
        return false;
    auto typeIdOf = resolve<CFTypeID (*)()>(typeIdFunction);
    auto getTypeId = resolve<decltype(&CFGetTypeID)>("CFGetTypeID");
    return typeIdOf && getTypeId && getTypeId(ref()) == typeIdOf();
}

bool CFType::isNumber() const { return hasType("CFNumberGetTypeID"); }
bool CFType::isBoolean() const { return hasType("CFBooleanGetTypeID"); }
bool CFType::isString() const { return hasType("CFStringGetTypeID"); }
bool CFType::isData() const { return hasType("CFDataGetTypeID"); }
bool CFType::isDictionary() const { return hasType("CFDictionaryGetTypeID"); }
bool CFType::isArray() const { return hasType("CFArrayGetTypeID"); }

int CFType::toInt32(int def) const
{
    if (!isNumber())
        return def;
    auto getValue = resolve<decltype(&CFNumberGetValue)>("CFNumberGetValue");
    int32_t v = 0;
    return getValue && getValue(ref(), kCFNumberSInt32Type, &v) ? int(v) : def;
}

qint64 CFType::toInt64(qint64 def) const
{
    if (!isNumber())
        return def;
    auto getValue = resolve<decltype(&CFNumberGetValue)>("CFNumberGetValue");
    int64_t v = 0;
    return getValue && getValue(ref(), kCFNumberSInt64Type, &v) ? qint64(v) : def;
}

double CFType::toDouble(double def) const
{
    if (!isNumber())
        return def;
    auto getValue = resolve<decltype(&CFNumberGetValue)>("CFNumberGetValue");
    double v = 0;
    return getValue && getValue(ref(), kCFNumberFloat64Type, &v) ? v : def;
}

bool CFType::toBool(bool def) const
{
    if (!isBoolean())
        return def;
    auto getValue = resolve<decltype(&CFNumberGetValue)>("CFNumberGetValue");
    // The library stores 1 or 0 into the byte; its answer is not needed.
    char b = def ? 1 : 0;
    if (getValue)
        getValue(ref(), kCFNumberSInt8Type, &b);
    return b != 0;
}

int CFType::stringLength() const
{
    if (!isString())
        return 0;
    auto length = resolve<decltype(&CFStringGetLength)>("CFStringGetLength");
    return length ? int(length(ref())) : 0;
}

QString CFType::toQString() const
{
    if (!isString())
        return QStringLiteral("");
    auto getBytes = resolve<decltype(&CFStringGetBytes)>("CFStringGetBytes");
    if (!getBytes)
        return QStringLiteral("");
    const CFRange all{0, stringLength()};
    CFIndex used = 0;
    if (getBytes(ref(), all, kCFStringEncodingUTF8, '?', false, nullptr, 0, &used) == 0 || used <= 0)
        return QStringLiteral("");
    QByteArray buffer(qsizetype(used), Qt::Uninitialized);
    if (getBytes(ref(), all, kCFStringEncodingUTF8, '?', false, reinterpret_cast<uint8_t *>(buffer.data()), used,
                 &used) == 0)
        return QStringLiteral("");
    return QString::fromUtf8(buffer.constData(), qsizetype(used));
}

int CFType::dataLength() const
{
    if (!isData())
        return 0;
    auto length = resolve<decltype(&CFDataGetLength)>("CFDataGetLength");
    return length ? int(length(ref())) : 0;
}

QByteArray CFType::toByteArray() const
{
    if (!isData())
        return QByteArray();
    auto length = resolve<decltype(&CFDataGetLength)>("CFDataGetLength");
    auto getBytes = resolve<decltype(&CFDataGetBytes)>("CFDataGetBytes");
    if (!length || !getBytes)
        return QByteArray();
    const CFIndex size = length(ref());
    if (size <= 0)
        return QByteArray("", 0);
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    getBytes(ref(), CFRange{0, size}, reinterpret_cast<uint8_t *>(bytes.data()));
    return bytes;
}

CFType CFType::fromBool(bool value)
{
    // The variable holds the reference; both values belong to the library.
    auto variable = resolve<const CFBooleanRef *>(value ? "kCFBooleanTrue" : "kCFBooleanFalse");
    return CFType(variable ? *variable : nullptr, false);
}

CFType CFType::fromInt32(int value)
{
    auto create = resolve<decltype(&CFNumberCreate)>("CFNumberCreate");
    const int32_t v = value;
    return CFType(create ? create(nullptr, kCFNumberSInt32Type, &v) : nullptr, true);
}

CFType CFType::fromDouble(double value)
{
    auto create = resolve<decltype(&CFNumberCreate)>("CFNumberCreate");
    return CFType(create ? create(nullptr, kCFNumberFloat64Type, &value) : nullptr, true);
}

CFType CFType::fromString(const QString &text)
{
    auto create = resolve<decltype(&CFStringCreateWithBytes)>("CFStringCreateWithBytes");
    const QByteArray utf8 = text.toUtf8();
    return CFType(create ? create(nullptr, reinterpret_cast<const uint8_t *>(utf8.constData()), CFIndex(utf8.size()),
                                  kCFStringEncodingUTF8, false)
                         : nullptr,
                  true);
}

CFType CFType::fromByteArray(const QByteArray &bytes)
{
    auto create = resolve<decltype(&CFDataCreate)>("CFDataCreate");
    return CFType(create ? create(nullptr, reinterpret_cast<const uint8_t *>(bytes.constData()), CFIndex(bytes.size()))
                         : nullptr,
                  true);
}

CFType CFType::newDictionary()
{
    // The tables are data of the library and never move: looked up once.
    static const auto keyCallBacks = callbackTable<const CFDictionaryKeyCallBacks *>("kCFTypeDictionaryKeyCallBacks");
    static const auto valueCallBacks =
        callbackTable<const CFDictionaryValueCallBacks *>("kCFTypeDictionaryValueCallBacks");
    auto create = resolve<decltype(&CFDictionaryCreateMutable)>("CFDictionaryCreateMutable");
    if (!create || !keyCallBacks || !valueCallBacks)
        return CFType();
    return CFType(create(nullptr, 0, keyCallBacks, valueCallBacks), true);
}

CFType CFType::newArray()
{
    static const auto callBacks = callbackTable<const CFArrayCallBacks *>("kCFTypeArrayCallBacks");
    auto create = resolve<decltype(&CFArrayCreateMutable)>("CFArrayCreateMutable");
    if (!create || !callBacks)
        return CFType();
    return CFType(create(nullptr, 0, callBacks), true);
}

CFType CFType::fromPropertyListData(const QByteArray &data)
{
    // Whichever library answers, it gets only what the property-list guard
    // passes: some parsers recurse through nesting without a bound.
    const QByteArray guarded = guardedPlistBytes(data);
    if (guarded.isEmpty())
        return CFType();
    auto create = resolve<decltype(&CFPropertyListCreateWithData)>("CFPropertyListCreateWithData");
    if (!create)
        return CFType();
    const CFType bytes = fromByteArray(guarded);
    if (bytes.isEmpty())
        return CFType();
    CFPropertyListFormat format = 0;
    CFErrorRef error = nullptr;
    const CFType parsed(create(nullptr, bytes.ref(), 0, &format, &error), true);
    const CFType dropped(error, true);
    return parsed;
}

CFType CFType::deepCopy(const CFType &source)
{
    return fromPropertyListData(source.toPropertyListData(kCFPropertyListXMLFormat_v1_0));
}

CFType CFType::value(const QString &key) const
{
    if (!isDictionary())
        return CFType();
    return valueForCFKey(fromString(key));
}

CFType CFType::valueForCFKey(const CFType &key) const
{
    if (!isDictionary() || key.isEmpty())
        return CFType();
    auto get = resolve<decltype(&CFDictionaryGetValue)>("CFDictionaryGetValue");
    return CFType(get ? get(ref(), key.ref()) : nullptr, false);
}

void CFType::setValue(const CFType &key, const CFType &value)
{
    // An empty key or value would reach the library as NULL, which Apple's
    // does not survive.
    if (!isDictionary() || key.isEmpty() || value.isEmpty())
        return;
    auto set = resolve<decltype(&CFDictionarySetValue)>("CFDictionarySetValue");
    if (!set)
        return;
    keptEntries.insert(key, value);
    set(const_cast<void *>(ref()), key.ref(), value.ref());
}

CFType CFType::at(int index) const
{
    if (!isArray() || index < 0)
        return CFType();
    auto getCount = resolve<decltype(&CFArrayGetCount)>("CFArrayGetCount");
    if (!getCount || CFIndex(index) >= getCount(ref()))
        return CFType();
    auto get = resolve<decltype(&CFArrayGetValueAtIndex)>("CFArrayGetValueAtIndex");
    return CFType(get ? get(ref(), CFIndex(index)) : nullptr, false);
}

int CFType::count() const
{
    CFIndex n = 0;
    if (isArray()) {
        auto getCount = resolve<decltype(&CFArrayGetCount)>("CFArrayGetCount");
        n = getCount ? getCount(ref()) : 0;
    } else if (isDictionary()) {
        auto getCount = resolve<decltype(&CFDictionaryGetCount)>("CFDictionaryGetCount");
        n = getCount ? getCount(ref()) : 0;
    }
    return int(qBound(CFIndex(0), n, CFIndex(std::numeric_limits<int>::max())));
}

QList<CFType> CFType::keys() const
{
    QList<CFType> out;
    const int n = isDictionary() ? count() : 0;
    auto getEntries = resolve<decltype(&CFDictionaryGetKeysAndValues)>("CFDictionaryGetKeysAndValues");
    if (n <= 0 || !getEntries)
        return out;
    std::vector<const void *> refs(size_t(n), nullptr);
    getEntries(ref(), refs.data(), nullptr);
    out.reserve(n);
    for (const void *key : refs)
        out.append(CFType(key, false));
    return out;
}

void CFType::append(const CFType &item)
{
    if (!isArray() || item.isEmpty())
        return;
    auto add = resolve<decltype(&CFArrayAppendValue)>("CFArrayAppendValue");
    if (!add)
        return;
    keptItems.append(item);
    add(const_cast<void *>(ref()), item.ref());
}

CFType CFType::toPropertyList(int format) const
{
    if (isEmpty())
        return CFType();
    auto create = resolve<decltype(&CFPropertyListCreateData)>("CFPropertyListCreateData");
    if (!create)
        return CFType();
    CFErrorRef error = nullptr;
    const CFType data(create(nullptr, ref(), CFPropertyListFormat(format), 0, &error), true);
    const CFType dropped(error, true);
    return data;
}

QByteArray CFType::toPropertyListData(int format) const
{
    return toPropertyList(format).toByteArray();
}
