#include "store/msgtext.h"

#include <QCryptographicHash>
#include <QLocale>
#include <QStringList>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <climits>

namespace {

const QChar kObjectReplacement(0xFFFC);

// Day, abbreviated month, year, then hour and minute without leading zeros.
const char kGroupEventDateFormat[] = "dd MMM yyyy h:m AP";

// Symbols that count as emoji besides the private-use block E000-E537 and the
// supplementary emoji reached through the surrogates D83C/D83D. Sorted.
const char16_t kEmojiSymbols[] = {
    0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B,
    0x23EB, 0x23EC, 0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC,
    0x25FD, 0x25FE, 0x2611, 0x267B, 0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4,
    0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744, 0x2747, 0x274E, 0x2795,
    0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030,
};

bool isEmojiUnit(char16_t u)
{
    if (u >= 0xE000 && u <= 0xE537)
        return true;
    return std::binary_search(std::begin(kEmojiSymbols), std::end(kEmojiSymbols), u);
}

QString hexUpper(qint64 value)
{
    return QString::number(value, 16).toUpper();
}

QString attachmentTag(const QString &mimeType)
{
    if (mimeType.startsWith(QLatin1String("image/"), Qt::CaseInsensitive))
        return QStringLiteral(" [IMAGE]");
    if (mimeType.startsWith(QLatin1String("video/"), Qt::CaseInsensitive))
        return QStringLiteral(" [VIDEO]");
    if (mimeType.startsWith(QLatin1String("audio/"), Qt::CaseInsensitive))
        return QStringLiteral(" [AUDIO]");
    if (mimeType.compare(QLatin1String("text/x-vCard"), Qt::CaseInsensitive) == 0
        || mimeType.compare(QLatin1String("text/vcard"), Qt::CaseInsensitive) == 0)
        return QStringLiteral(" [VCARD]");
    return QStringLiteral(" [ATTA]");
}

QString labelOrYou(const _MsgHandle *handle)
{
    return handle ? handleLabel(*handle, false) : QStringLiteral("You");
}

bool utf16Less(const QString &a, const QString &b)
{
    return std::lexicographical_compare(a.utf16(), a.utf16() + a.size(),
                                        b.utf16(), b.utf16() + b.size());
}

void addLittleEndian32(QCryptographicHash &hash, quint32 value)
{
    char bytes[4];
    qToLittleEndian<quint32>(value, bytes);
    hash.addData(QByteArrayView(bytes, 4));
}

} // namespace

QString cleanText(const _MsgMessage &message)
{
    QString text = message.text;
    return text.remove(kObjectReplacement);
}

QString summaryText(const _MsgMessage &message)
{
    if (message.item_type == 0) {
        QString text = cleanText(message);
        for (const _MsgAttachment *attachment : message.attachments)
            text += attachmentTag(attachment->mime_type);
        return text.trimmed();
    }

    const QString date = QLocale::c().toString(msgDateTime(message.date),
                                               QLatin1String(kGroupEventDateFormat));
    const QString sender = labelOrYou(message.handle);
    // Every placeholder is filled in one call: a name or title that itself
    // contains "%2" must not be taken for a placeholder by a later fill.
    switch (message.item_type) {
    case 1:
        return QStringLiteral("%1 Added %2 to the conversation.\n%3")
            .arg(sender, labelOrYou(message.rare().otherHandle), date);
    case 2:
        return QStringLiteral("%1 named the conversation \"%2\".\n%3")
            .arg(sender, message.rare().group_title, date);
    case 3:
        return QStringLiteral("%1 left the conversation.\n%2").arg(sender, date);
    case 4:
        return QStringLiteral("%1 %2 sharing location with %3.\n%4")
            .arg(sender,
                 message.rare().share_status == 0 ? QStringLiteral("started") : QStringLiteral("stopped"),
                 labelOrYou(message.rare().otherHandle), date);
    default:
        return QStringLiteral("System Information.\n%1").arg(date);
    }
}

QString displayText(const _MsgMessage &message)
{
    return replaceEmoji(summaryText(message), emojiPlaceholder, nullptr);
}

QString emojiPlaceholder(void *, const QString &)
{
    return QStringLiteral("[EMOJI]");
}

QString replaceEmoji(const QString &text, EmojiCallback callback, void *userData)
{
    // Both passes walk UTF-16 code units by hand: the second one deliberately
    // takes a high surrogate together with whatever unit follows it, which no
    // regular expression over code points can say, and text holding a lone
    // surrogate must still be scanned.
    QString symbols;
    symbols.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (isEmojiUnit(u))
            symbols += callback(userData, hexUpper(u));
        else
            symbols += ch;
    }

    QString result;
    result.reserve(symbols.size());
    const qsizetype n = symbols.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = symbols.at(i).unicode();
        if ((u == 0xD83C || u == 0xD83D) && i + 1 < n) {
            const char16_t next = symbols.at(i + 1).unicode();
            const qint64 code = ((qint64(u - 0xD800) << 10) | (qint64(next) - 0xDC00)) + 0x10000;
            result += callback(userData, hexUpper(code));
            ++i;
        } else {
            result += symbols.at(i);
        }
    }
    return result;
}

QString regexReplace(const QString &text, const QRegularExpression &pattern,
                     MatchCallback callback, void *userData)
{
    QString result;
    qsizetype p = 0;
    while (p <= text.size()) {
        const QRegularExpressionMatch match = pattern.match(text, p);
        if (!match.hasMatch())
            break;
        const qsizetype b = match.capturedStart(0);
        const qsizetype n = match.capturedLength(0);
        if (b > p)
            result += text.mid(p, b - p);
        result += callback(userData, match);
        if (n > 0) {
            p = b + n;
        } else {
            // An empty match would be found again at the same place forever:
            // keep the character after it and search on from there.
            if (b < text.size())
                result += text.at(b);
            p = b + 1;
        }
    }
    if (p < text.size())
        result += text.mid(p);
    return result;
}

namespace {

// A name in First Strong Isolate ... Pop Directional Isolate: a right-to-left
// name then keeps to itself, and the number beside it is not pulled into its
// direction ("(971501234567+)").
QString isolated(const QString &name, bool isolate)
{
    if (!isolate)
        return name;
    return QChar(0x2068) + name + QChar(0x2069);
}

} // namespace

QString handleLabel(const _MsgHandle &handle, bool withNumber, bool isolateName)
{
    if (handle._ct_name.isEmpty())
        return handle.id;
    if (withNumber)
        return QStringLiteral("%1 (%2)").arg(isolated(handle._ct_name, isolateName), handle.id);
    return isolated(handle._ct_name, isolateName);
}

QString chatTitle(const _MsgChat &chat, bool withNumber, bool isolateNames)
{
    if (!chat.display_name.isEmpty())
        return isolated(chat.display_name, isolateNames);
    if (chat.members.isEmpty())
        return QStringLiteral("Unknown");
    QStringList labels;
    for (const _MsgHandle *member : chat.members)
        labels << handleLabel(*member, withNumber, isolateNames);
    return labels.join(QLatin1String(", "));
}

QString senderLabel(const _MsgMessage &message)
{
    if (!message.chat)
        return QStringLiteral("unknown");
    QString label = chatTitle(*message.chat, true);
    if (message.chat->members.size() > 1 && message.handle) {
        const _MsgHandle &h = *message.handle;
        label += QLatin1String(" (") + (h._ct_name.isEmpty() ? h.id : h._ct_name)
                 + QLatin1Char(')');
    }
    return label;
}

QDateTime msgDateTime(int date)
{
    return QDateTime::fromSecsSinceEpoch(qint64(date) + MSG_EPOCH_OFFSET, Qt::LocalTime);
}

QString calcLogicHash(const _MsgMessage &message)
{
    return QString::fromLatin1(calcLogicHashDigest(message).toHex());
}

QByteArray calcLogicHashDigest(const _MsgMessage &message)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (message.item_type != 0) {
        // Group events have no text of their own; their guid is their identity.
        hash.addData(message.guid.toUtf8());
    } else {
        if (message.handle)
            hash.addData(message.handle->id.toUtf8());
        addLittleEndian32(hash, quint32(message.date));
        const char fromMe = char(message.is_from_me & 0xFF);
        hash.addData(QByteArrayView(&fromMe, 1));
        hash.addData(cleanText(message).toUtf8());
        if (message.attachments.isEmpty())
            return hash.result(); // no list to build (it would allocate even empty)
        QStringList names;
        for (const _MsgAttachment *attachment : message.attachments) {
            if (attachment->filename.isEmpty())
                continue;
            const QString &f = attachment->filename;
            names << f.mid(f.lastIndexOf(QLatin1Char('/')) + 1).toLower();
        }
        // Hash order must not depend on the attachment hash's iteration order.
        std::stable_sort(names.begin(), names.end(), utf16Less);
        for (const QString &name : names)
            hash.addData(name.toUtf8());
    }
    return hash.result();
}

QString newGuid()
{
    static const QRegularExpression notGuidChar(QStringLiteral("[^\\-A-Z0-9]"));
    return QUuid::createUuid().toString().toUpper().remove(notGuidChar);
}

QString guidFromMd5(const QByteArray &data)
{
    const QString h = QString::fromLatin1(
        QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex().toUpper());
    return h.mid(0, 8) + QLatin1Char('-') + h.mid(8, 4) + QLatin1Char('-') + h.mid(12, 4)
           + QLatin1Char('-') + h.mid(16, 4) + QLatin1Char('-') + h.mid(20, 12);
}

QString groupChatId(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QString digits;
    quint32 counter = 0;
    while (digits.size() <= 17) {
        QCryptographicHash hash(QCryptographicHash::Md5);
        addLittleEndian32(hash, counter);
        hash.addData(utf8);
        ++counter;
        const QByteArray d = hash.result();
        quint32 x = 0;
        for (int i = 0; i < 4; ++i)
            x ^= qFromLittleEndian<quint32>(d.constData() + 4 * i);
        // Read as a signed 32-bit value and drop the sign; INT_MIN has no
        // positive counterpart and keeps its "-" (stored identities depend on it).
        const qint64 v = x >= 0x80000000u ? qint64(x) - 0x100000000LL : qint64(x);
        digits += QString::number(v < 0 && v != INT_MIN ? -v : v);
    }
    return QStringLiteral("chat") + digits.left(18);
}
