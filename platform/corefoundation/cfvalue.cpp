#include "platform/corefoundation/cfvalue.h"

#include <cmath>
#include <functional>
#include <string_view>

namespace {

std::atomic<int64_t> s_live{0};

// Values whose last reference went while another one was being destroyed on
// this thread, linked through nextDying; the outermost release destroys them
// one after the other. Plain pointers, never destroyed: a value may be
// released at thread or process exit after every thread-local object with a
// destructor (a static holder of a value, another thread-local) has gone.
thread_local CFValue *t_dying = nullptr;
thread_local bool t_draining = false;

CFHashCode mix(CFHashCode seed, CFHashCode value)
{
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

} // namespace

CFValue::CFValue(Type type, bool constant) : type(type), constant(constant)
{
    if (!constant)
        s_live.fetch_add(1, std::memory_order_relaxed);
}

CFValue::~CFValue()
{
    if (!constant)
        s_live.fetch_sub(1, std::memory_order_relaxed);
}

CFValue *CFValue::constantOf(Type type, bool boolean)
{
    // Never destroyed: other libraries may still hold them while the process ends.
    static CFValue *const yes = [] { auto *v = new CFValue(Bool, true); v->boolean = true; return v; }();
    static CFValue *const no = new CFValue(Bool, true);
    static CFValue *const null = new CFValue(Null, true);
    if (type == Null)
        return null;
    return boolean ? yes : no;
}

CFValue *CFValue::as(CFTypeRef ref, Type type)
{
    CFValue *value = from(ref);
    return value && value->type == type ? value : nullptr;
}

int64_t CFValue::live()
{
    return s_live.load(std::memory_order_relaxed);
}

void CFValue::retain()
{
    if (!constant)
        refs.fetch_add(1, std::memory_order_relaxed);
}

CFIndex CFValue::retainCount() const
{
    return constant ? CFIndex(INT64_MAX) : CFIndex(refs.load(std::memory_order_relaxed));
}

void CFValue::release()
{
    if (constant || refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    nextDying = t_dying;
    t_dying = this;
    if (t_draining)
        return;
    t_draining = true;
    while (t_dying) {
        CFValue *value = t_dying;
        t_dying = value->nextDying;
        value->dropElements();
        delete value;
    }
    t_draining = false;
}

void CFValue::dropElements()
{
    // The release callbacks come back into release(), which only queues while
    // this thread is draining.
    if (type == Array && valueCallBacks.release) {
        for (const void *item : items)
            valueCallBacks.release(nullptr, item);
    }
    if (type == Dictionary) {
        for (const auto &entry : entries) {
            if (keyCallBacks.release)
                keyCallBacks.release(nullptr, entry.first);
            if (valueCallBacks.release)
                valueCallBacks.release(nullptr, entry.second);
        }
    }
    items.clear();
    entries.clear();
    index.clear();
}

bool CFValue::equals(const CFValue &other) const
{
    if (this == &other)
        return true;
    if (type != other.type)
        return false;
    switch (type) {
    case Null:
        return true;
    case Bool:
        return boolean == other.boolean;
    case Number:
        if (isFloat || other.isFloat) {
            const double a = isFloat ? real : double(integer);
            const double b = other.isFloat ? other.real : double(other.integer);
            return a == b;
        }
        return integer == other.integer;
    case String:
        return text == other.text;
    case Data:
        return bytes == other.bytes;
    case Date:
        return date == other.date;
    case Array:
        if (items.size() != other.items.size())
            return false;
        for (size_t i = 0; i < items.size(); ++i) {
            const CFValue *a = from(items[i]);
            const CFValue *b = from(other.items[i]);
            if (a != b && (!a || !b || !a->equals(*b)))
                return false;
        }
        return true;
    case Dictionary:
        if (entries.size() != other.entries.size())
            return false;
        for (const auto &entry : entries) {
            const CFValue *mine = from(entry.second);
            const CFValue *theirs = from(other.find(entry.first));
            if (!theirs || (mine != theirs && (!mine || !mine->equals(*theirs))))
                return false;
        }
        return true;
    }
    return false;
}

CFHashCode CFValue::hash() const
{
    switch (type) {
    case Null:
        return 0;
    case Bool:
        return boolean ? 1 : 0;
    case Number:
        if (isFloat && !(std::floor(real) == real && std::fabs(real) < 9.2e18))
            return std::hash<double>()(real);
        return std::hash<int64_t>()(isFloat ? int64_t(real) : integer);
    case String:
        return std::hash<std::u16string>()(text);
    case Data:
        return std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
    case Date:
        return std::hash<double>()(date);
    case Array:
        return mix(Array, items.size());
    case Dictionary:
        return mix(Dictionary, entries.size());
    }
    return 0;
}

CFHashCode CFValue::keyHash(const void *key) const
{
    if (keyCallBacks.hash)
        return keyCallBacks.hash(key);
    return std::hash<const void *>()(key);
}

bool CFValue::keyEquals(const void *a, const void *b) const
{
    if (a == b)
        return true;
    return keyCallBacks.equal && keyCallBacks.equal(a, b);
}

void CFValue::append(const void *item)
{
    if (valueCallBacks.retain)
        item = valueCallBacks.retain(nullptr, item);
    items.push_back(item);
}

const void *CFValue::find(const void *key) const
{
    const auto range = index.equal_range(keyHash(key));
    for (auto it = range.first; it != range.second; ++it) {
        if (keyEquals(entries[it->second].first, key))
            return entries[it->second].second;
    }
    return nullptr;
}

void CFValue::set(const void *key, const void *value)
{
    // Retain the new value before releasing the old one: they may be the same.
    if (valueCallBacks.retain)
        value = valueCallBacks.retain(nullptr, value);
    const CFHashCode hash = keyHash(key);
    const auto range = index.equal_range(hash);
    for (auto it = range.first; it != range.second; ++it) {
        auto &entry = entries[it->second];
        if (keyEquals(entry.first, key)) {
            const void *old = entry.second;
            entry.second = value;
            if (valueCallBacks.release)
                valueCallBacks.release(nullptr, old);
            return;
        }
    }
    if (keyCallBacks.retain)
        key = keyCallBacks.retain(nullptr, key);
    entries.emplace_back(key, value);
    index.emplace(hash, entries.size() - 1);
}

void CFValue::remove(const void *key)
{
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!keyEquals(entries[i].first, key))
            continue;
        const auto entry = entries[i];
        entries.erase(entries.begin() + std::ptrdiff_t(i));
        reindex();
        if (keyCallBacks.release)
            keyCallBacks.release(nullptr, entry.first);
        if (valueCallBacks.release)
            valueCallBacks.release(nullptr, entry.second);
        return;
    }
}

void CFValue::reindex()
{
    index.clear();
    for (size_t i = 0; i < entries.size(); ++i)
        index.emplace(keyHash(entries[i].first), i);
}
