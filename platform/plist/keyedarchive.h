#pragma once
// A binary property list written by NSKeyedArchiver (a backup's per-file
// metadata in Manifest.db, among others), read straight from its bytes.
// libplist builds a whole tree per list; a backup holds hundreds of thousands
// of these small lists, and only a handful of values of each are wanted, so
// this reader looks values up in place and allocates only what it hands out.
//
// Binary property list ("bplist00"), all numbers big-endian:
//
//   OFFSET          SIZE  DESCRIPTION
//      0              8   "bplist00"
//      8              ..  objects, each a marker byte and its payload
//   table            n*o  offset table: numObjects offsets of o bytes each
//   end-32            6   unused
//   end-26            1   o, the size of an offset table entry (1..8)
//   end-25            1   r, the size of an object reference (1..8)
//   end-24            8   numObjects
//   end-16            8   topObject, the reference of the top object
//   end-8             8   table, the offset of the offset table
//
// Marker byte: high nibble the type, low nibble a size or count (0xF: the
// count follows as an integer object, marker 0x1n and 2^n bytes):
//
//   0x00 null  0x08 false  0x09 true  0x1n integer of 2^n bytes
//   0x2n real of 2^n bytes  0x33 date (8-byte real)  0x4n data of n bytes
//   0x5n ASCII string of n bytes  0x6n UTF-16BE string of n units
//   0x8n UID of n+1 bytes  0xAn array of n refs  0xDn dictionary of n key
//   refs then n value refs
//
// Example: 0x5F 0x10 0x12 then 18 bytes is an ASCII string of 18 bytes.
//
// The keyed archive on top: the top object is a dictionary whose "$objects"
// is an array of every archived object and whose "$top" maps "root" to a UID,
// an index into "$objects". Values in archived dictionaries are themselves
// often UIDs into "$objects"; the string "$null" there stands for no value.
//
// Foreign bytes: every offset, count and reference is checked against the
// data before it is used, a UID chain is followed at most kMaxUidHops steps (a
// longer one is a cycle), and nothing recurses.
#include <QByteArray>
#include <QLatin1String>
#include <QString>

class KeyedArchive
{
public:
    enum class Type { Invalid, Null, Bool, Integer, Real, Date, Data, String, Uid, Array, Set, Dictionary };

    // A UID that leads to another UID that leads ... gives up after this many
    // steps; archivers never chain UIDs at all.
    static constexpr int kMaxUidHops = 16;
    // Objects in one archive. A file's metadata holds a few dozen; this leaves
    // room for any real archive while keeping the offset table small.
    static constexpr quint64 kMaxObjects = 1u << 20;

    // Reads the trailer, the top dictionary, "$objects" and "$top"/"root".
    // False with error() set when data is not a keyed archive of that shape.
    // The archive keeps a (shared, not copied) reference to data.
    bool load(const QByteArray &data);
    QString error() const { return m_error; }

    // The object "$top"/"root" leads to, or -1.
    qint64 root() const { return m_root; }

    // The object that key's value in the dictionary object dict stands for:
    // UIDs followed through "$objects", "$null" taken as no value. -1 when the
    // key is missing, the value is "$null" or dict is not a dictionary; -1 with
    // error() set when a UID leads outside "$objects" or round in a cycle.
    qint64 member(qint64 dict, QLatin1String key) const;
    // member() for count keys at once, in one pass over the dictionary:
    // values[i] is what keys[i] leads to, or -1.
    void members(qint64 dict, const QLatin1String *keys, qint64 *values, int count) const;

    Type type(qint64 object) const;
    // Integer objects (up to 8 bytes; a 16-byte one when it fits in 64 bits).
    bool toInteger(qint64 object, qint64 &value) const;
    // Real and date objects as a double; integer objects converted.
    bool toReal(qint64 object, double &value) const;
    // ASCII (as Latin-1) and UTF-16 strings; a null string for anything else.
    QString toString(qint64 object) const;
    // Data objects; a null array for anything else.
    QByteArray toData(qint64 object) const;

private:
    struct Marker
    {
        Type type = Type::Invalid;
        quint64 count = 0;   // bytes, units or entries
        qint64 payload = 0;  // offset of the first byte after the marker and count
        int width = 0;       // integers, reals, UIDs: bytes of the value
    };

    bool fail(const QString &text) const;
    qint64 objectOffset(qint64 object) const;
    bool marker(qint64 object, Marker &m) const;
    qint64 reference(qint64 at) const;
    quint64 readUnsigned(qint64 at, int width) const;
    bool keyEquals(qint64 object, QLatin1String key) const;
    // The value object of key in dict, without following UIDs; -1 when none.
    qint64 rawMember(qint64 dict, QLatin1String key) const;
    // Follows UIDs through $objects; -1 (error set) when one leads nowhere.
    qint64 resolve(qint64 object) const;

    QByteArray m_data;
    const unsigned char *m_bytes = nullptr;
    qint64 m_size = 0;
    int m_offsetWidth = 0;
    int m_refWidth = 0;
    quint64 m_numObjects = 0;
    qint64 m_table = 0;
    qint64 m_objects = -1; // the "$objects" array
    quint64 m_objectCount = 0;
    qint64 m_objectRefs = 0; // offset of its first reference
    qint64 m_root = -1;
    mutable QString m_error;
};
