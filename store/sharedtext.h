#pragma once
// A text field that hundreds of thousands of records hold one of a few values
// of (a message's service, account, country, service centre). A QString member
// costs three words in every record even when its characters are shared; this
// costs one pointer, and nothing when null. Records made by one load share one
// node per distinct value (ResolvedCursor::getSharedText, SharedTextPool).
//
// It reads as a const QString (implicit conversion and the few members the
// code calls) and is assigned from a QString. Null and empty stay apart, as in
// QString: a NULL column reads back as NULL, '' as ''.
#include <QByteArray>
#include <QExplicitlySharedDataPointer>
#include <QHash>
#include <QLatin1String>
#include <QSharedData>
#include <QString>

class SharedText
{
public:
    SharedText() = default;
    SharedText(const QString &value) { assign(value); }
    SharedText &operator=(const QString &value)
    {
        assign(value);
        return *this;
    }
    SharedText &operator=(const char *value) { return *this = QString::fromUtf8(value); }

    const QString &str() const { return d ? d->value : nullString(); }
    operator const QString &() const { return str(); }

    bool isNull() const { return !d; }
    bool isEmpty() const { return !d || d->value.isEmpty(); }
    qsizetype size() const { return d ? d->value.size() : 0; }
    qsizetype length() const { return size(); }
    void clear() { d.reset(); }
    QString toLower() const { return str().toLower(); }
    QString toUpper() const { return str().toUpper(); }
    QByteArray toUtf8() const { return str().toUtf8(); }

    // Same node, so the same value; false does not mean different.
    bool sharesWith(const SharedText &other) const { return d == other.d; }

    friend bool operator==(const SharedText &a, const SharedText &b)
    {
        return a.d == b.d || a.str() == b.str();
    }
    friend bool operator!=(const SharedText &a, const SharedText &b) { return !(a == b); }
    friend bool operator==(const SharedText &a, const QString &b) { return a.str() == b; }
    friend bool operator!=(const SharedText &a, const QString &b) { return a.str() != b; }
    friend bool operator==(const QString &a, const SharedText &b) { return a == b.str(); }
    friend bool operator!=(const QString &a, const SharedText &b) { return a != b.str(); }
    friend bool operator==(const SharedText &a, QLatin1String b) { return a.str() == b; }
    friend bool operator!=(const SharedText &a, QLatin1String b) { return a.str() != b; }
    friend bool operator==(QLatin1String a, const SharedText &b) { return a == b.str(); }
    friend bool operator!=(QLatin1String a, const SharedText &b) { return a != b.str(); }
    friend bool operator==(const SharedText &a, const char *b) { return a.str() == QString::fromUtf8(b); }
    friend bool operator!=(const SharedText &a, const char *b) { return !(a == b); }

private:
    struct Node : QSharedData
    {
        explicit Node(const QString &v) : value(v) {}
        QString value;
    };

    void assign(const QString &value)
    {
        if (value.isNull())
            d.reset();
        else if (!d || d->ref.loadRelaxed() != 1)
            d = new Node(value);
        else
            d->value = value; // the only holder: no new node
    }
    static const QString &nullString()
    {
        static const QString none;
        return none;
    }

    QExplicitlySharedDataPointer<Node> d;
};

inline size_t qHash(const SharedText &text, size_t seed = 0) noexcept
{
    return qHash(text.str(), seed);
}

// The value as QTest prints it when a comparison fails (found by
// argument-dependent lookup, as Qt asks of a type's own toString).
inline char *toString(const SharedText &text)
{
    return qstrdup(('"' + text.str() + '"').toUtf8().constData());
}

// Hands out one SharedText per distinct value, for readers whose values come
// as QStrings (a literal, a decoded field) rather than from a cursor. Past
// kMaxValues distinct values the field is not one that repeats and values are
// no longer remembered.
class SharedTextPool
{
public:
    SharedText operator()(const QString &value)
    {
        if (value.isNull())
            return SharedText();
        const auto it = m_values.constFind(value);
        if (it != m_values.constEnd())
            return *it;
        const SharedText shared(value);
        if (m_values.size() < kMaxValues)
            m_values.insert(value, shared);
        return shared;
    }

private:
    static constexpr int kMaxValues = 4096;
    QHash<QString, SharedText> m_values;
};
