#pragma once
#include <QString>

// One column of a table as PRAGMA table_info reports it. The type predicates
// follow SQLite's affinity rules on the declared type, so exactly one of them
// holds for any column (a column without a declared type counts as blob).
struct _SqliteCol
{
    QString name;
    QString type; // as declared, possibly empty
    bool notNull = false;
    bool primaryKey = false;
    bool hasDefault = false;

    bool isInteger() const;
    bool isNumeric() const; // NUMERIC affinity only; INTEGER and REAL have their own predicates
    bool isReal() const;
    bool isBlob() const;
    bool isText() const;
};
