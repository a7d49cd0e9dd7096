#pragma once
// Texts and identities derived from the message records: what lists, views,
// exports and printouts show, and the keys writers use to recognise a message
// already stored. Pure functions (apart from newGuid's randomness and the local
// time zone of the date functions); none of them fails.
#include <QDateTime>
#include <QRegularExpression>
#include <QString>

#include "store/msgrecords.h"

// Seconds from 1970-01-01 to 2001-01-01 (UTC): a record date plus this is Unix time.
constexpr qint64 MSG_EPOCH_OFFSET = 978307200;

QString cleanText(const _MsgMessage &message);   // text without U+FFFC
QString summaryText(const _MsgMessage &message); // one-piece text with attachment tags
QString displayText(const _MsgMessage &message); // summaryText with emoji as "[EMOJI]"

// Answers the replacement of one emoji; hexCode is its code in upper-case hex.
using EmojiCallback = QString (*)(void *userData, const QString &hexCode);
QString replaceEmoji(const QString &text, EmojiCallback callback, void *userData);
QString emojiPlaceholder(void *userData, const QString &hexCode);

// Replaces every match of pattern with the callback's answer for that match.
using MatchCallback = QString (*)(void *userData, const QRegularExpressionMatch &match);
QString regexReplace(const QString &text, const QRegularExpression &pattern,
                     MatchCallback callback, void *userData);

// isolateNames wraps every name (a contact's, a chat's own) in U+2068 ...
// U+2069, for texts laid out as a line of their own (export headers), where a
// right-to-left name would otherwise reorder the number beside it.
QString handleLabel(const _MsgHandle &handle, bool withNumber, bool isolateName = false);
QString chatTitle(const _MsgChat &chat, bool withNumber, bool isolateNames = false);
QString senderLabel(const _MsgMessage &message);
QDateTime msgDateTime(int date); // local date-time

// 32 lower-case hex digits: the duplicate key of a message in local databases.
QString calcLogicHash(const _MsgMessage &message);
// The same MD5 as its 16 raw bytes, for look-ups that need no text.
QByteArray calcLogicHashDigest(const _MsgMessage &message);
QString newGuid();                          // random, 8-4-4-4-12 upper-case hex
QString guidFromMd5(const QByteArray &data); // MD5 of data in the guid layout
QString groupChatId(const QString &text);    // "chat" + 18 digits, stable per text
