#pragma once
// One value of the CoreFoundation stand-in. Every CFTypeRef the library hands
// out points at a CFValue: a reference count, a type and the payload of that
// type. Containers keep their elements through the callback tables they were
// made with (the kCFType tables retain and release them).
#include "platform/appleapi/appleapi.h"

#include <atomic>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class CFValue
{
public:
    // Our own type ids; they only need to differ from each other.
    enum Type : CFTypeID {
        Null = 1,
        Bool = 2,
        Number = 3,
        String = 4,
        Data = 5,
        Date = 6,
        Array = 7,
        Dictionary = 8,
    };

    // A new value with one reference. A constant (the booleans and null)
    // lives for the whole process and ignores retain and release.
    explicit CFValue(Type type, bool constant = false);
    ~CFValue();
    CFValue(const CFValue &) = delete;
    CFValue &operator=(const CFValue &) = delete;

    // The process-wide constants: the two booleans and null.
    static CFValue *constantOf(Type type, bool boolean);
    static CFValue *from(CFTypeRef ref) { return const_cast<CFValue *>(static_cast<const CFValue *>(ref)); }
    // ref as a value of that type, or nullptr.
    static CFValue *as(CFTypeRef ref, Type type);

    void retain();
    // Destroys the value when the last reference goes. Containers that die
    // with it release their elements without recursing, so a deep tree cannot
    // exhaust the stack.
    void release();
    CFIndex retainCount() const;

    // Values alive now, constants left out.
    static int64_t live();

    bool equals(const CFValue &other) const;
    CFHashCode hash() const;

    // Containers: elements go through the value's callback tables.
    void append(const void *item);
    const void *find(const void *key) const;
    void set(const void *key, const void *value);
    void remove(const void *key);

    const Type type;
    const bool constant;

    bool boolean = false;
    // Numbers: an integer unless isFloat.
    bool isFloat = false;
    int64_t integer = 0;
    double real = 0;
    std::u16string text;
    std::vector<uint8_t> bytes;
    CFAbsoluteTime date = 0;
    // Parsed property lists are immutable; setters leave them alone.
    bool isMutable = false;

    // Arrays hold items; dictionaries hold entries in the order their keys
    // were first set, with an index from key hash to position.
    CFDictionaryKeyCallBacks keyCallBacks{};
    CFDictionaryValueCallBacks valueCallBacks{};
    std::vector<const void *> items;
    std::vector<std::pair<const void *, const void *>> entries;

private:
    CFHashCode keyHash(const void *key) const;
    bool keyEquals(const void *a, const void *b) const;
    void reindex();
    void dropElements();

    std::atomic<int64_t> refs{1};
    // The next value waiting in this thread's queue of values to destroy.
    CFValue *nextDying = nullptr;
    std::unordered_multimap<CFHashCode, size_t> index;
};
