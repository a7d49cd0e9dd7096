#pragma once
// A CoreFoundation property-list value (number, boolean, string, data,
// dictionary or array) as the rest of the program sees it: built and read
// with Qt types, copied freely, never released by hand.
//
// Owned values hold a reference of their own, given back when the last copy
// goes: every factory's result except fromBool, parsed and serialised
// property lists, and what AMDeviceCopyValue answers. Borrowed values (taken
// out of a container, and the two booleans) are valid only while their
// container or the library holds them: keep the container's wrapper alive
// while reading from it.
//
// Each CoreFoundation function is looked up by name right before its call; a
// name the library lacks makes the member answer its empty result. No member
// throws.
#include "ios/cfrefholder.h"
#include "platform/appleapi/appleapi.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>

class CFType
{
public:
    using Resolver = void *(*)(const char *name);

    CFType() : CFType(nullptr, true) {}
    CFType(CFTypeRef ref, bool owned);
    virtual ~CFType();

    CFTypeRef ref() const { return holder->ref; }
    bool isEmpty() const { return !holder->ref; }
    // CFGetTypeID of the reference, or CFNullGetTypeID's answer when empty.
    CFTypeID typeId() const;

    bool isNumber() const;
    bool isBoolean() const;
    bool isString() const;
    bool isData() const;
    bool isDictionary() const;
    bool isArray() const;

    // Each getter answers its default, with no further CoreFoundation call,
    // when the value is not of its type.
    int toInt32(int def = 0) const;
    qint64 toInt64(qint64 def = 0) const;
    double toDouble(double def = 0) const;
    bool toBool(bool def = false) const;
    int stringLength() const;
    QString toQString() const;
    int dataLength() const;
    QByteArray toByteArray() const;

    static CFType fromBool(bool value);
    static CFType fromInt32(int value);
    static CFType fromDouble(double value);
    static CFType fromString(const QString &text);
    static CFType fromByteArray(const QByteArray &bytes);
    static CFType newDictionary();
    static CFType newArray();
    // A binary or XML property list; empty for bytes that do not parse or
    // nest deeper than any message of a device does.
    static CFType fromPropertyListData(const QByteArray &data);
    // A new value sharing nothing with source (through its XML form).
    static CFType deepCopy(const CFType &source);

    CFType value(const QString &key) const;
    CFType valueForCFKey(const CFType &key) const;
    // Keeps copies of key and value, so both live as long as this container.
    void setValue(const CFType &key, const CFType &value);
    // Empty outside the array: the index is checked against CFArrayGetCount
    // first, since Apple's library reads past the end of an array it is asked
    // to index there.
    CFType at(int index) const;
    void append(const CFType &item);
    // The items of an array or entries of a dictionary; 0 for anything else.
    int count() const;
    // A dictionary's keys (borrowed from it, in its own order); empty for
    // anything else.
    QList<CFType> keys() const;

    // 100: XML, 200: binary. Empty when the value has no property-list form.
    CFType toPropertyList(int format) const;
    QByteArray toPropertyListData(int format) const;

    // Orders kept keys by the identity of their shared holder.
    bool operator<(const CFType &other) const { return holder.data() < other.holder.data(); }

    // The address of name in the CoreFoundation library, as FunctionPointer,
    // or nullptr when it lacks it.
    template <typename FunctionPointer>
    static FunctionPointer resolve(const char *name)
    {
        return reinterpret_cast<FunctionPointer>(lookUp(name));
    }
    // Tests put a recorder (or a library lacking names) in between; nullptr
    // restores the loaded library. Answers the one in place before.
    static Resolver setResolver(Resolver resolver);

private:
    static void *lookUp(const char *name);
    bool hasType(const char *typeIdFunction) const;

    QSharedPointer<_CFRefHolder> holder;
    QMap<CFType, CFType> keptEntries;
    QList<CFType> keptItems;
};
