#pragma once
// Makes message text safe to place between HTML tags. The conversation view
// and the HTML export both go through here, so a text reads the same in both.
#include <QString>

// "&", "<" and ">" become entities (the ampersand first in effect, so entities
// are never escaped twice); every line feed, with or without a carriage return
// before it, becomes "<br/>". A carriage return alone and a tab stay. Other
// control characters (C0, DEL, C1), U+FFFE, U+FFFF and unpaired surrogates are
// dropped, so the page stays well-formed XML. Quotes stay as they are: the
// result goes between tags, never into an attribute.
QString escapeHtml(const QString &text);
