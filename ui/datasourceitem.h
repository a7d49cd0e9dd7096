#pragma once
// One candidate of the device chooser. The caller owns it and keeps it alive
// while the chooser runs; pointer is handed back untouched when this candidate
// is chosen (the callers pass their tree node).
#include <QString>

struct _DataSourceItem
{
    _DataSourceItem(const QString &icon, const QString &text, void *pointer)
        : icon(icon), text(text), pointer(pointer)
    {
    }

    QString icon; // resource path of the candidate's icon
    QString text; // the text shown for it
    void *pointer;
};
