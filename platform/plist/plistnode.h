#pragma once
// A cheap, shareable view of one node of a libplist tree, for property lists
// read from files and database fields (backup manifests, iOS 5 participant
// lists). Copies share one holder; a parsed root is freed once, when its last
// copy goes. Children are borrowed (they never free anything), but a child of
// a tree this wrapper owns keeps that tree's root alive, so a child read after
// the root variable has gone is still safe.
//
// An empty node (no libplist node) answers false to every type test and the
// empty result from every getter; nothing here throws.
#include <QByteArray>
#include <QDateTime>
#include <QSharedPointer>
#include <QString>

#include <plist/plist.h>

#include <utility>

struct _PlistRefHolder
{
    plist_t node = nullptr;
    bool owned = false; // true for a root this wrapper must free
    // For a child taken out of a parsed tree: that tree's root holder. Keeping
    // it makes a child that outlives every other copy of its root still safe.
    QSharedPointer<_PlistRefHolder> root;

    _PlistRefHolder(plist_t n, bool o, QSharedPointer<_PlistRefHolder> r = {})
        : node(n), owned(o), root(std::move(r)) {}
    ~_PlistRefHolder() { release(); }
    _PlistRefHolder(const _PlistRefHolder &) = delete;
    _PlistRefHolder &operator=(const _PlistRefHolder &) = delete;

    void release();
};

class PlistNode
{
public:
    explicit PlistNode(plist_t node = nullptr, bool owned = false);

    // Binary ("bplist00") or XML, through parsePlistGuarded; an empty node
    // when the data does not parse or is refused (nested too deep).
    static PlistNode parse(const QByteArray &data, bool owned = true);

    plist_t node() const { return m_holder->node; }
    bool isNull() const { return m_holder->node == nullptr; }

    PlistNode value(const QString &key) const; // dictionary child, borrowed
    PlistNode at(int index) const;             // array child, borrowed
    int arraySize() const;

    QString toString() const;      // "" unless a string node
    bool toBool() const;           // false unless a boolean node
    QByteArray toByteArray() const; // null unless a data node
    QDateTime toDateTime() const;  // invalid unless a date node

    bool isBoolean() const;
    bool isString() const;
    bool isArray() const;
    bool isDictionary() const;
    bool isDate() const;
    bool isData() const;

private:
    explicit PlistNode(QSharedPointer<_PlistRefHolder> holder);
    PlistNode child(plist_t node) const;
    bool hasType(plist_type type) const;

    QSharedPointer<_PlistRefHolder> m_holder;
};
