#pragma once
// The plain words of a message's attributedBody. Later iPhones keep the words
// of many messages only there, with the text column NULL: the column holds an
// NSAttributedString (or NSMutableAttributedString) archived with NSArchiver,
// a little-endian "streamtyped" typedstream.
//
// A pure function of the bytes, for untrusted input: it reads only the
// archive's header, the attributed string's class chain and its string object,
// never past the end of blob, and answers an empty string for anything it does
// not recognise (another format or class, a truncated or damaged archive,
// invalid UTF-8). The attribute runs that follow the string are not read.
#include <QByteArray>
#include <QString>

QString attributedBodyText(const QByteArray &blob);
