// The exported functions of the CoreFoundation stand-in. Each one accepts a
// NULL or mistyped reference and answers its empty result instead of failing.
#include "platform/appleapi/appleapi.h"
#include "platform/corefoundation/cfpropertylist.h"
#include "platform/corefoundation/cftext.h"
#include "platform/corefoundation/cfvalue.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

const void *retainElement(CFAllocatorRef, const void *value)
{
    return CFRetain(value);
}

void releaseElement(CFAllocatorRef, const void *value)
{
    CFRelease(value);
}


// Writes number into out as T; false when it does not fit T without loss (a
// value out of T's range is written as 0, a fraction is cut off).
template <typename T>
bool store(bool isFloat, int64_t integer, double real, void *out)
{
    T converted = 0;
    bool exact = false;
    if constexpr (std::is_floating_point<T>::value) {
        const double source = isFloat ? real : double(integer);
        if (std::isfinite(source) && std::fabs(source) > double(std::numeric_limits<T>::max()))
            converted = source > 0 ? std::numeric_limits<T>::infinity() : -std::numeric_limits<T>::infinity();
        else
            converted = T(source);
        exact = isFloat ? (std::isnan(source) || double(converted) == source) : double(converted) == double(integer);
    } else {
        // [min, -min) is T's range for the signed kinds.
        const double low = double(std::numeric_limits<T>::min());
        if (!isFloat) {
            exact = integer >= int64_t(std::numeric_limits<T>::min()) && integer <= int64_t(std::numeric_limits<T>::max());
            converted = T(integer);
        } else if (std::isfinite(real) && real >= low && real < -low) {
            converted = T(std::trunc(real));
            exact = double(converted) == real;
        }
    }
    std::memcpy(out, &converted, sizeof(T));
    return exact;
}

bool knownKind(CFNumberType kind)
{
    return kind >= kCFNumberSInt8Type && kind <= kCFNumberFloat64Type;
}

} // namespace

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, retainElement, releaseElement, nullptr,
                                                               CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, retainElement, releaseElement, nullptr,
                                                                   CFEqual};
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retainElement, releaseElement, nullptr, CFEqual};
const CFBooleanRef kCFBooleanTrue = CFValue::constantOf(CFValue::Bool, true);
const CFBooleanRef kCFBooleanFalse = CFValue::constantOf(CFValue::Bool, false);
const CFNullRef kCFNull = CFValue::constantOf(CFValue::Null, false);

CFTypeRef CFRetain(CFTypeRef value)
{
    if (value)
        CFValue::from(value)->retain();
    return value;
}

void CFRelease(CFTypeRef value)
{
    if (value)
        CFValue::from(value)->release();
}

CFIndex CFGetRetainCount(CFTypeRef value)
{
    return value ? CFValue::from(value)->retainCount() : 0;
}

CFTypeID CFGetTypeID(CFTypeRef value)
{
    return value ? CFTypeID(CFValue::from(value)->type) : 0;
}

Boolean CFEqual(CFTypeRef value1, CFTypeRef value2)
{
    if (value1 == value2)
        return true;
    if (!value1 || !value2)
        return false;
    return CFValue::from(value1)->equals(*CFValue::from(value2));
}

CFHashCode CFHash(CFTypeRef value)
{
    return value ? CFValue::from(value)->hash() : 0;
}

CFTypeID CFNullGetTypeID(void) { return CFValue::Null; }
CFTypeID CFBooleanGetTypeID(void) { return CFValue::Bool; }
CFTypeID CFNumberGetTypeID(void) { return CFValue::Number; }
CFTypeID CFStringGetTypeID(void) { return CFValue::String; }
CFTypeID CFDataGetTypeID(void) { return CFValue::Data; }
CFTypeID CFDateGetTypeID(void) { return CFValue::Date; }
CFTypeID CFArrayGetTypeID(void) { return CFValue::Array; }
CFTypeID CFDictionaryGetTypeID(void) { return CFValue::Dictionary; }

Boolean CFBooleanGetValue(CFBooleanRef boolean)
{
    const CFValue *value = CFValue::as(boolean, CFValue::Bool);
    return value && value->boolean;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType kind, const void *in)
{
    if (!in || !knownKind(kind))
        return nullptr;
    auto *number = new CFValue(CFValue::Number);
    switch (kind) {
    case kCFNumberSInt8Type: { int8_t v; std::memcpy(&v, in, sizeof v); number->integer = v; break; }
    case kCFNumberSInt16Type: { int16_t v; std::memcpy(&v, in, sizeof v); number->integer = v; break; }
    case kCFNumberSInt32Type: { int32_t v; std::memcpy(&v, in, sizeof v); number->integer = v; break; }
    case kCFNumberSInt64Type: { int64_t v; std::memcpy(&v, in, sizeof v); number->integer = v; break; }
    case kCFNumberFloat32Type: { float v; std::memcpy(&v, in, sizeof v); number->isFloat = true; number->real = v; break; }
    default: { double v; std::memcpy(&v, in, sizeof v); number->isFloat = true; number->real = v; break; }
    }
    return number;
}

Boolean CFNumberGetValue(CFNumberRef ref, CFNumberType kind, void *out)
{
    if (!out || !knownKind(kind))
        return false;
    const CFValue *value = CFValue::from(ref);
    if (!value || (value->type != CFValue::Number && value->type != CFValue::Bool))
        return false;
    // A boolean reads as the integer 1 or 0.
    const bool isFloat = value->type == CFValue::Number && value->isFloat;
    const int64_t integer = value->type == CFValue::Bool ? (value->boolean ? 1 : 0) : value->integer;
    const double real = value->real;
    switch (kind) {
    case kCFNumberSInt8Type: return store<int8_t>(isFloat, integer, real, out);
    case kCFNumberSInt16Type: return store<int16_t>(isFloat, integer, real, out);
    case kCFNumberSInt32Type: return store<int32_t>(isFloat, integer, real, out);
    case kCFNumberSInt64Type: return store<int64_t>(isFloat, integer, real, out);
    case kCFNumberFloat32Type: return store<float>(isFloat, integer, real, out);
    default: return store<double>(isFloat, integer, real, out);
    }
}

Boolean CFNumberIsFloatType(CFNumberRef ref)
{
    const CFValue *value = CFValue::as(ref, CFValue::Number);
    return value && value->isFloat;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const uint8_t *bytes, CFIndex length,
                                    CFStringEncoding encoding, Boolean)
{
    if (length < 0 || (length > 0 && !bytes))
        return nullptr;
    std::u16string text;
    if (encoding == kCFStringEncodingUTF8) {
        if (!utf8ToUtf16(bytes, size_t(length), true, text))
            return nullptr;
    } else if (encoding == kCFStringEncodingASCII) {
        for (CFIndex i = 0; i < length; ++i) {
            if (bytes[i] >= 0x80)
                return nullptr;
            text.push_back(char16_t(bytes[i]));
        }
    } else {
        return nullptr;
    }
    auto *string = new CFValue(CFValue::String);
    string->text = std::move(text);
    return string;
}

CFIndex CFStringGetLength(CFStringRef ref)
{
    const CFValue *string = CFValue::as(ref, CFValue::String);
    return string ? CFIndex(string->text.size()) : 0;
}

CFIndex CFStringGetBytes(CFStringRef ref, CFRange range, CFStringEncoding encoding, uint8_t lossByte, Boolean,
                         uint8_t *buffer, CFIndex maxBufferLength, CFIndex *usedBufferLength)
{
    if (usedBufferLength)
        *usedBufferLength = 0;
    const CFValue *string = CFValue::as(ref, CFValue::String);
    const CFIndex size = string ? CFIndex(string->text.size()) : 0;
    if (!string || range.location < 0 || range.length < 0 || range.location > size
        || range.length > size - range.location)
        return 0;
    if (encoding != kCFStringEncodingUTF8 && encoding != kCFStringEncodingASCII)
        return 0;
    const char16_t *units = string->text.data();
    const auto end = size_t(range.location + range.length);
    size_t at = size_t(range.location);
    CFIndex used = 0;
    std::string piece;
    while (at < end) {
        piece.clear();
        size_t taken = 1;
        if (encoding == kCFStringEncodingUTF8) {
            appendUtf8(units, end, at, piece, &taken);
        } else if (units[at] < 0x80) {
            piece.push_back(char(units[at]));
        } else {
            if (!lossByte)
                break;
            // A surrogate pair is one character and becomes one loss byte.
            if (units[at] >= 0xd800 && units[at] <= 0xdbff && at + 1 < end && units[at + 1] >= 0xdc00
                && units[at + 1] <= 0xdfff)
                taken = 2;
            piece.push_back(char(lossByte));
        }
        if (buffer && used + CFIndex(piece.size()) > maxBufferLength)
            break;
        if (buffer)
            std::memcpy(buffer + used, piece.data(), piece.size());
        used += CFIndex(piece.size());
        at += taken;
    }
    if (usedBufferLength)
        *usedBufferLength = used;
    return CFIndex(at - size_t(range.location));
}

CFDataRef CFDataCreate(CFAllocatorRef, const uint8_t *bytes, CFIndex length)
{
    if (length < 0 || (length > 0 && !bytes))
        return nullptr;
    auto *data = new CFValue(CFValue::Data);
    data->bytes.assign(bytes, bytes + length);
    return data;
}

CFIndex CFDataGetLength(CFDataRef ref)
{
    const CFValue *data = CFValue::as(ref, CFValue::Data);
    return data ? CFIndex(data->bytes.size()) : 0;
}

const uint8_t *CFDataGetBytePtr(CFDataRef ref)
{
    const CFValue *data = CFValue::as(ref, CFValue::Data);
    return data ? data->bytes.data() : nullptr;
}

void CFDataGetBytes(CFDataRef ref, CFRange range, uint8_t *buffer)
{
    const CFValue *data = CFValue::as(ref, CFValue::Data);
    const CFIndex size = data ? CFIndex(data->bytes.size()) : 0;
    if (!data || !buffer || range.location < 0 || range.length <= 0 || range.location > size
        || range.length > size - range.location)
        return;
    std::memcpy(buffer, data->bytes.data() + range.location, size_t(range.length));
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at)
{
    auto *date = new CFValue(CFValue::Date);
    date->date = at;
    return date;
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef ref)
{
    const CFValue *date = CFValue::as(ref, CFValue::Date);
    return date ? date->date : 0;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks *callBacks)
{
    auto *array = new CFValue(CFValue::Array);
    array->isMutable = true;
    if (callBacks)
        array->valueCallBacks = *callBacks;
    return array;
}

CFIndex CFArrayGetCount(CFArrayRef ref)
{
    const CFValue *array = CFValue::as(ref, CFValue::Array);
    return array ? CFIndex(array->items.size()) : 0;
}

const void *CFArrayGetValueAtIndex(CFArrayRef ref, CFIndex index)
{
    const CFValue *array = CFValue::as(ref, CFValue::Array);
    if (!array || index < 0 || index >= CFIndex(array->items.size()))
        return nullptr;
    return array->items[size_t(index)];
}

void CFArrayAppendValue(CFMutableArrayRef ref, const void *value)
{
    CFValue *array = CFValue::as(ref, CFValue::Array);
    if (array && array->isMutable)
        array->append(value);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks)
{
    auto *dict = new CFValue(CFValue::Dictionary);
    dict->isMutable = true;
    if (keyCallBacks)
        dict->keyCallBacks = *keyCallBacks;
    if (valueCallBacks)
        dict->valueCallBacks = *valueCallBacks;
    return dict;
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex, CFDictionaryRef ref)
{
    const CFValue *source = CFValue::as(ref, CFValue::Dictionary);
    if (!source)
        return nullptr;
    auto *dict = new CFValue(CFValue::Dictionary);
    dict->isMutable = true;
    dict->keyCallBacks = source->keyCallBacks;
    dict->valueCallBacks = source->valueCallBacks;
    for (const auto &entry : source->entries)
        dict->set(entry.first, entry.second);
    return dict;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef ref)
{
    const CFValue *dict = CFValue::as(ref, CFValue::Dictionary);
    return dict ? CFIndex(dict->entries.size()) : 0;
}

const void *CFDictionaryGetValue(CFDictionaryRef ref, const void *key)
{
    const CFValue *dict = CFValue::as(ref, CFValue::Dictionary);
    return dict ? dict->find(key) : nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef ref, const void **keys, const void **values)
{
    const CFValue *dict = CFValue::as(ref, CFValue::Dictionary);
    if (!dict)
        return;
    for (size_t i = 0; i < dict->entries.size(); ++i) {
        if (keys)
            keys[i] = dict->entries[i].first;
        if (values)
            values[i] = dict->entries[i].second;
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef ref, const void *key, const void *value)
{
    CFValue *dict = CFValue::as(ref, CFValue::Dictionary);
    if (dict && dict->isMutable)
        dict->set(key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef ref, const void *key)
{
    CFValue *dict = CFValue::as(ref, CFValue::Dictionary);
    if (dict && dict->isMutable)
        dict->remove(key);
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef value, CFPropertyListFormat format,
                                   CFOptionFlags, CFErrorRef *error)
{
    if (error)
        *error = nullptr;
    std::vector<uint8_t> bytes;
    if (!cfWritePropertyList(CFValue::from(value), format, bytes))
        return nullptr;
    auto *data = new CFValue(CFValue::Data);
    data->bytes = std::move(bytes);
    return data;
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef ref, CFOptionFlags,
                                               CFPropertyListFormat *format, CFErrorRef *error)
{
    if (error)
        *error = nullptr;
    const CFValue *data = CFValue::as(ref, CFValue::Data);
    if (!data)
        return nullptr;
    return cfReadPropertyList(data->bytes.data(), data->bytes.size(), format);
}

int64_t qp_cf_live_values(void)
{
    return CFValue::live();
}

} // extern "C"
