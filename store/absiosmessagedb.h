#pragma once
// Common base of the two readers of an iPhone's message database.
#include "store/absmessagedb.h"

#include <QString>

class AbsIOSMessageDb : public AbsMessageDb
{
public:
    ~AbsIOSMessageDb() override;

    virtual int iosVersion() const = 0; // 5 or 6

    // Which reader the message database file at path needs: 6 when it has the
    // five tables of the iOS 6 layout, else 5. Throws when it cannot be read.
    static int detectVersion(const QString &path);
};
