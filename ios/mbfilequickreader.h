#pragma once
// The values a file list record takes from one MBFile archive (the "file"
// column of Manifest.db, laid out in ios/manifestdbfilelist.h), read in one
// pass over the archive's bytes for the shape NSKeyedArchiver writes.
//
// A backup lists hundreds of thousands of these archives, each a few hundred
// bytes, and almost all alike:
//
//   top dictionary   {"$objects": array, "$top": {"root": UID}, ...}
//   root (an MBFile) {"Mode": 33188, "Size": 18, ..., "RelativePath": UID,
//                     "Target": UID, "EncryptionKey": UID, "$class": UID}
//   Target           UID of an ASCII string, or of "$null"
//   EncryptionKey    UID of {"NS.data": data, "$class": UID}
//
// KeyedArchive answers every question about any archive, at the cost of
// parsing each object's marker again for each question. This reader takes the
// common shape only: every key an ASCII string, each MBFile key once, a UID
// leading straight to its object, integers of at most 8 bytes, a Target of
// ASCII bytes, a Digest and NS.data of data. For anything else (and for
// anything damaged) it answers "not mine", and the caller reads the archive
// through KeyedArchive, which gives the same values or the error. Every
// offset, count and reference is checked before it is used.
#include <QByteArray>

struct MbFileValues
{
    // Integer members; an absent one (or "$null") is 0.
    enum Number { Mode, UserID, GroupID, InodeNumber, LastModified, LastStatusChange, Birth, Size, ProtectionClass,
                  NumberCount };
    qint64 numbers[NumberCount] = {};
    // Target as UTF-8, Digest and the NS.data of EncryptionKey; each only when
    // has* is set.
    bool hasTarget = false;
    bool hasDigest = false;
    bool hasEncryptionKey = false;
    QByteArray target;
    QByteArray digest;
    QByteArray encryptionKey;

    bool operator==(const MbFileValues &other) const;
};

class MbFileQuickReader
{
public:
    // Fills values from the archive at data (size bytes; copied out, data is
    // not kept). False when the archive is not of the common shape or is
    // damaged: values are then unspecified and the general path must decide.
    static bool read(const char *data, qsizetype size, MbFileValues &values);
};
