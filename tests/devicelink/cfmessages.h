#pragma once
// Property-list messages for the device-link and notification tests: built
// from Qt values (through the fixture's hand-written XML) and read back into
// Qt values, so a test compares what went over a socket with plain lists and
// maps whatever order a dictionary's keys took.
#include "ios/cftype.h"
#include "tests/support/virtualiphonefixture.h"

#include <QVariant>

#include <functional>
#include <stdexcept>

namespace cfmessages {

inline CFType cf(const QVariant &value)
{
    return CFType::fromPropertyListData(testsupport::xmlPlist(value));
}

inline QByteArray binary(const QVariant &value)
{
    return cf(value).toPropertyListData(kCFPropertyListBinaryFormat_v1_0);
}

inline QByteArray xml(const QVariant &value)
{
    return cf(value).toPropertyListData(kCFPropertyListXMLFormat_v1_0);
}

inline QVariant toVariant(const CFType &value)
{
    if (value.isDictionary()) {
        QVariantMap map;
        for (const CFType &key : value.keys())
            map.insert(key.toQString(), toVariant(value.valueForCFKey(key)));
        return map;
    }
    if (value.isArray()) {
        QVariantList list;
        for (int i = 0; i < value.count(); ++i)
            list.append(toVariant(value.at(i)));
        return list;
    }
    if (value.isString())
        return value.toQString();
    if (value.isBoolean())
        return value.toBool();
    if (value.isNumber()) {
        auto isFloat = CFType::resolve<decltype(&CFNumberIsFloatType)>("CFNumberIsFloatType");
        if (isFloat && isFloat(value.ref()))
            return value.toDouble();
        return value.toInt64();
    }
    if (value.isData())
        return value.toByteArray();
    return QVariant();
}

// A received frame's body as Qt values; an invalid QVariant when it does not
// parse.
inline QVariant parsed(const QByteArray &body)
{
    return toVariant(CFType::fromPropertyListData(body));
}

inline bool isXml(const QByteArray &body)
{
    return body.startsWith("<?xml");
}

inline bool isBinary(const QByteArray &body)
{
    return body.startsWith("bplist00");
}

// What a call throws as std::runtime_error; empty when it returns.
inline QString thrown(const std::function<void()> &call)
{
    try {
        call();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// How many property-list values the stand-in holds: a test that ends with
// more than it began with leaked some.
inline qint64 liveValues()
{
    return CFType::resolve<decltype(&qp_cf_live_values)>("qp_cf_live_values")();
}

} // namespace cfmessages
