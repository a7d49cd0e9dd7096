#include "tests/support/testmain.h"

#include "store/msgtext.h"

#include <QSet>

#include <deque>

namespace tst_msgtext {

namespace {

// 2013-09-04 17:06:40 in Berlin (summer time).
constexpr int kDate = 400000000;
const QString kDateText = QStringLiteral("04 Sep 2013 5:6 PM");

QString units(std::initializer_list<char16_t> codes)
{
    QString s;
    for (char16_t c : codes)
        s += QChar(c);
    return s;
}

// Owns the records a test message points at.
struct Fixture
{
    std::deque<_MsgHandle> handles;
    std::deque<_MsgAttachment> attachments;
    std::deque<_MsgChat> chats;

    _MsgHandle *handle(const QString &name, const QString &id)
    {
        if (name.isEmpty() && id.isEmpty())
            return nullptr;
        handles.emplace_back();
        handles.back()._ct_name = name;
        handles.back().id = id;
        handles.back().rowid = qint64(handles.size());
        return &handles.back();
    }

    void attach(_MsgMessage &m, const QString &mimeType, const QString &filename = {})
    {
        attachments.emplace_back();
        _MsgAttachment &a = attachments.back();
        a.rowid = qint64(attachments.size());
        a.mime_type = mimeType;
        a.filename = filename;
        m.attachments.insert(QString::number(a.rowid), &a);
    }
};

QString recordHex(void *userData, const QString &hex)
{
    static_cast<QStringList *>(userData)->append(hex);
    return QStringLiteral("<%1>").arg(hex);
}

QString bracketMatch(void *userData, const QRegularExpressionMatch &match)
{
    ++*static_cast<int *>(userData);
    return QLatin1Char('[') + match.captured(1) + QLatin1Char(']');
}

} // namespace

class TestMsgText : public QObject
{
    Q_OBJECT

private slots:
    void summaryText_data();
    void summaryText();
    void summaryTextSeveralAttachments();

    void displayText_data();
    void displayText();
    void emojiCodesReachTheCallback();
    void emojiSetSize();

    void regexReplace();

    void chatTitle_data();
    void chatTitle();
    void chatTitleJoinsMembers();
    void senderLabel_data();
    void senderLabel();

    void msgDateTime_data();
    void msgDateTime();

    void logicHashGolden_data();
    void logicHashGolden();
    void logicHashFields_data();
    void logicHashFields();

    void guids();
    void groupChatId_data();
    void groupChatId();
};

void TestMsgText::summaryText_data()
{
    QTest::addColumn<int>("itemType");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("mimeTypes");
    QTest::addColumn<QString>("senderName");
    QTest::addColumn<QString>("senderId");
    QTest::addColumn<QString>("otherName");
    QTest::addColumn<QString>("otherId");
    QTest::addColumn<QString>("groupTitle");
    QTest::addColumn<int>("shareStatus");
    QTest::addColumn<QString>("expected");

    const QString none;
    const QStringList noAtt;
    const QString orc = QString(QChar(0xFFFC));

    QTest::newRow("text trimmed") << 0 << "  Hi there \n" << noAtt << none << none << none << none << none << 0 << "Hi there";
    QTest::newRow("only U+FFFC") << 0 << orc << noAtt << none << none << none << none << none << 0 << "";
    QTest::newRow("U+FFFC inside") << 0 << "a" + orc + "b" + orc << noAtt << none << none << none << none << none << 0 << "ab";
    QTest::newRow("image in capitals, no text") << 0 << "" << QStringList{"IMAGE/JPEG"} << none << none << none << none << none << 0 << "[IMAGE]";
    QTest::newRow("placeholder and image") << 0 << orc << QStringList{"image/jpeg"} << none << none << none << none << none << 0 << "[IMAGE]";
    QTest::newRow("video") << 0 << "v" << QStringList{"video/mp4"} << none << none << none << none << none << 0 << "v [VIDEO]";
    QTest::newRow("audio") << 0 << "" << QStringList{"Audio/amr"} << none << none << none << none << none << 0 << "[AUDIO]";
    QTest::newRow("x-vcard any case") << 0 << "" << QStringList{"TEXT/X-VCARD"} << none << none << none << none << none << 0 << "[VCARD]";
    QTest::newRow("vcard") << 0 << "" << QStringList{"text/vcard"} << none << none << none << none << none << 0 << "[VCARD]";
    QTest::newRow("vcard with parameter") << 0 << "" << QStringList{"text/vcard; charset=utf-8"} << none << none << none << none << none << 0 << "[ATTA]";
    QTest::newRow("pdf") << 0 << "doc" << QStringList{"application/pdf"} << none << none << none << none << none << 0 << "doc [ATTA]";
    QTest::newRow("empty type") << 0 << "" << QStringList{""} << none << none << none << none << none << 0 << "[ATTA]";
    QTest::newRow("type without slash") << 0 << "" << QStringList{"imagepng"} << none << none << none << none << none << 0 << "[ATTA]";

    QTest::newRow("added by contact") << 1 << "ignored" << QStringList{"image/png"} << "Anna" << "+4915111111111" << "" << "+4917222222222" << none << 0
                                      << "Anna Added +4917222222222 to the conversation.\n" + kDateText;
    QTest::newRow("added, no handles") << 1 << "" << noAtt << none << none << none << none << none << 0
                                       << "You Added You to the conversation.\n" + kDateText;
    QTest::newRow("named by me") << 2 << "" << noAtt << none << none << none << none << "Trip" << 0
                                 << "You named the conversation \"Trip\".\n" + kDateText;
    QTest::newRow("placeholders in names stay") << 2 << "" << noAtt << "%2 Bob" << "b@x.de" << none << none << "%3 and %2" << 0
                                                << "%2 Bob named the conversation \"%3 and %2\".\n" + kDateText;
    QTest::newRow("placeholder in added member") << 1 << "" << noAtt << "%3" << "x" << "%2%1" << "y" << none << 0
                                                 << "%3 Added %2%1 to the conversation.\n" + kDateText;
    QTest::newRow("left") << 3 << "" << noAtt << "" << "a@b.de" << none << none << none << 0
                          << "a@b.de left the conversation.\n" + kDateText;
    QTest::newRow("started sharing") << 4 << "" << noAtt << "Anna" << "+1" << none << none << none << 0
                                     << "Anna started sharing location with You.\n" + kDateText;
    QTest::newRow("stopped sharing") << 4 << "" << noAtt << none << none << "Bob" << "+2" << none << 1
                                     << "You stopped sharing location with Bob.\n" + kDateText;
    QTest::newRow("share status -1 is stopped") << 4 << "" << noAtt << none << none << none << none << none << -1
                                                << "You stopped sharing location with You.\n" + kDateText;
    QTest::newRow("item type 5") << 5 << "text" << noAtt << "Anna" << "+1" << none << none << none << 0
                                 << "System Information.\n" + kDateText;
    QTest::newRow("item type -1") << -1 << "" << noAtt << none << none << none << none << none << 0
                                  << "System Information.\n" + kDateText;
}

void TestMsgText::summaryText()
{
    QFETCH(int, itemType);
    QFETCH(QString, text);
    QFETCH(QStringList, mimeTypes);
    QFETCH(QString, senderName);
    QFETCH(QString, senderId);
    QFETCH(QString, otherName);
    QFETCH(QString, otherId);
    QFETCH(QString, groupTitle);
    QFETCH(int, shareStatus);
    QFETCH(QString, expected);

    Fixture f;
    _MsgMessage m;
    m.item_type = itemType;
    m.text = text;
    m.date = kDate;
    m.editRare().group_title = groupTitle;
    m.editRare().share_status = shareStatus;
    m.handle = f.handle(senderName, senderId);
    m.editRare().otherHandle = f.handle(otherName, otherId);
    for (const QString &type : mimeTypes)
        f.attach(m, type);
    QCOMPARE(::summaryText(m), expected);
}

void TestMsgText::summaryTextSeveralAttachments()
{
    Fixture f;
    _MsgMessage m;
    m.text = "Hi";
    f.attach(m, "image/png");
    f.attach(m, "application/pdf");
    // Tags follow the attachment hash, whose order is not fixed.
    const QString s = ::summaryText(m);
    QVERIFY2(s == "Hi [IMAGE] [ATTA]" || s == "Hi [ATTA] [IMAGE]", qPrintable(s));
}

void TestMsgText::displayText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("U+1F600") << units({0xD83D, 0xDE00}) << "[EMOJI]";
    QTest::newRow("private use E001") << units({0xE001}) << "[EMOJI]";
    QTest::newRow("private use E000 and E537") << units({0xE000, 'x', 0xE537}) << "[EMOJI]x[EMOJI]";
    QTest::newRow("E538 is not one") << units({0xE538}) << units({0xE538});
    QTest::newRow("U+1F914 stays") << units({0xD83E, 0xDD14}) << units({0xD83E, 0xDD14});
    QTest::newRow("a check mark b") << units({'a', 0x2714, 'b'}) << "a[EMOJI]b";
    QTest::newRow("U+2713 is not one") << units({0x2713}) << units({0x2713});
    QTest::newRow("listed ends") << units({0x203C, 0x3030}) << "[EMOJI][EMOJI]";
    QTest::newRow("flag of two regional indicators")
        << units({0xD83C, 0xDDE9, 0xD83C, 0xDDEA}) << "[EMOJI][EMOJI]";
    QTest::newRow("high surrogate takes a plain letter") << units({0xD83D, 'x', 'y'}) << "[EMOJI]y";
    QTest::newRow("high surrogate at the end") << units({'x', 0xD83D}) << units({'x', 0xD83D});
    QTest::newRow("lone low surrogate") << units({0xDE00, 'a'}) << units({0xDE00, 'a'});
    QTest::newRow("two highs pair up") << units({0xD83D, 0xD83D, 0xDE00}) << QString("[EMOJI]") + QChar(0xDE00);
    QTest::newRow("lone surrogate before a symbol") << units({0xDE00, 0x2714}) << units({0xDE00}).append("[EMOJI]");
    QTest::newRow("plain text") << "Grüße, 1 + 1" << "Grüße, 1 + 1";
    QTest::newRow("emoji inside trimmed text") << units({' ', 'o', 'k', ' ', 0xD83D, 0xDC4D, ' '}) << "ok [EMOJI]";
}

void TestMsgText::displayText()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    _MsgMessage m;
    m.text = text;
    QCOMPARE(::displayText(m), expected);
}

void TestMsgText::emojiCodesReachTheCallback()
{
    QStringList codes;
    const QString out = replaceEmoji(units({0xE001, 'a', 0x203C, 0xD83D, 0xDE00, 0xD83C, 0xDC04}),
                                     recordHex, &codes);
    QCOMPARE(codes, (QStringList{"E001", "203C", "1F600", "1F004"}));
    QCOMPARE(out, QStringLiteral("<E001>a<203C><1F600><1F004>"));
    QCOMPARE(emojiPlaceholder(nullptr, "1F600"), QStringLiteral("[EMOJI]"));
}

// Every BMP code unit alone: exactly the private-use block E000-E537 and the 44
// listed symbols are emoji (a lone high surrogate has nothing to pair with).
void TestMsgText::emojiSetSize()
{
    int replaced = 0;
    for (int u = 1; u <= 0xFFFF; ++u) {
        if (replaceEmoji(QString(QChar(char16_t(u))), emojiPlaceholder, nullptr) != QString(QChar(char16_t(u))))
            ++replaced;
    }
    QCOMPARE(replaced, 0x538 + 44);
}

void TestMsgText::regexReplace()
{
    int calls = 0;
    QCOMPARE(::regexReplace("a1b22c", QRegularExpression("(\\d+)"), bracketMatch, &calls),
             QStringLiteral("a[1]b[22]c"));
    QCOMPARE(calls, 2);
    calls = 0;
    QCOMPARE(::regexReplace("abc", QRegularExpression("(\\d+)"), bracketMatch, &calls),
             QStringLiteral("abc"));
    QCOMPARE(calls, 0);
    QCOMPARE(::regexReplace("", QRegularExpression("(x)"), bracketMatch, &calls), QString());
    // A pattern that can match empty text still ends.
    calls = 0;
    QCOMPARE(::regexReplace("ab", QRegularExpression("(x*)"), bracketMatch, &calls),
             QStringLiteral("[]a[]b[]"));
    QCOMPARE(calls, 3);
}

void TestMsgText::chatTitle_data()
{
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("memberName"); // "-" for a chat without members
    QTest::addColumn<QString>("memberId");
    QTest::addColumn<QString>("withNumber");
    QTest::addColumn<QString>("withoutNumber");

    QTest::newRow("display name wins") << "Family" << "Anna" << "+491" << "Family" << "Family";
    QTest::newRow("no members") << "" << "-" << "" << "Unknown" << "Unknown";
    QTest::newRow("contact name") << "" << "Anna" << "+491" << "Anna (+491)" << "Anna";
    QTest::newRow("no contact name") << "" << "" << "a@b.de" << "a@b.de" << "a@b.de";
    QTest::newRow("placeholder in name") << "" << "%2 Anna" << "+491" << "%2 Anna (+491)" << "%2 Anna";
}

void TestMsgText::chatTitle()
{
    QFETCH(QString, displayName);
    QFETCH(QString, memberName);
    QFETCH(QString, memberId);
    QFETCH(QString, withNumber);
    QFETCH(QString, withoutNumber);

    _MsgHandle h;
    h._ct_name = memberName;
    h.id = memberId;
    _MsgChat c;
    c.display_name = displayName;
    if (memberName != "-")
        c.members.insert("1", &h);
    QCOMPARE(::chatTitle(c, true), withNumber);
    QCOMPARE(::chatTitle(c, false), withoutNumber);
}

void TestMsgText::chatTitleJoinsMembers()
{
    _MsgHandle a, b;
    a._ct_name = "Anna";
    a.id = "+491";
    b.id = "+492";
    _MsgChat c;
    c.members.insert("1", &a);
    c.members.insert("2", &b);
    const QString t = ::chatTitle(c, true);
    QVERIFY2(t == "Anna (+491), +492" || t == "+492, Anna (+491)", qPrintable(t));
}

void TestMsgText::senderLabel_data()
{
    QTest::addColumn<int>("members");     // -1: message without chat
    QTest::addColumn<bool>("withSender");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no chat") << -1 << true << "unknown";
    QTest::newRow("one-to-one") << 1 << true << "Anna (+491)";
    QTest::newRow("group, sender with name") << 2 << true << "Trip (Anna)";
    QTest::newRow("group, sent by me") << 2 << false << "Trip";
    QTest::newRow("empty chat") << 0 << true << "Trip";
}

void TestMsgText::senderLabel()
{
    QFETCH(int, members);
    QFETCH(bool, withSender);
    QFETCH(QString, expected);

    _MsgHandle anna, bob;
    anna._ct_name = "Anna";
    anna.id = "+491";
    bob.id = "+492";
    _MsgChat chat;
    if (members >= 1)
        chat.members.insert("1", &anna);
    if (members >= 2)
        chat.members.insert("2", &bob);
    if (members != 1)
        chat.display_name = "Trip";
    _MsgMessage m;
    m.chat = members >= 0 ? &chat : nullptr;
    m.handle = withSender ? &anna : nullptr;
    QCOMPARE(::senderLabel(m), expected);

    if (members == 2 && withSender) {
        m.handle = &bob; // no contact name: the address
        QCOMPARE(::senderLabel(m), QStringLiteral("Trip (+492)"));
    }
}

void TestMsgText::msgDateTime_data()
{
    QTest::addColumn<int>("date");
    QTest::addColumn<qint64>("unixTime");
    QTest::addColumn<QString>("local");

    QTest::newRow("epoch") << 0 << qint64(978307200) << "2001-01-01 01:00:00";
    QTest::newRow("summer") << kDate << qint64(1378307200) << "2013-09-04 17:06:40";
    QTest::newRow("before 2001") << -978307200 << qint64(0) << "1970-01-01 01:00:00";
    QTest::newRow("beyond 2038") << INT_MAX << qint64(978307200) + INT_MAX << "2069-01-19 04:14:07";
}

void TestMsgText::msgDateTime()
{
    QFETCH(int, date);
    QFETCH(qint64, unixTime);
    QFETCH(QString, local);
    const QDateTime dt = ::msgDateTime(date);
    QCOMPARE(dt.timeSpec(), Qt::LocalTime);
    QCOMPARE(dt.toSecsSinceEpoch(), unixTime);
    QCOMPARE(dt.toString("yyyy-MM-dd HH:mm:ss"), local);
}

// Expected digests come from an independent MD5 (Python's hashlib) over the
// documented byte layout.
void TestMsgText::logicHashGolden_data()
{
    QTest::addColumn<int>("itemType");
    QTest::addColumn<QString>("handleId"); // "-": no handle
    QTest::addColumn<int>("date");
    QTest::addColumn<int>("fromMe");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("guid");
    QTest::addColumn<QStringList>("filenames");
    QTest::addColumn<QString>("digest");

    QTest::newRow("full message")
        << 0 << "+4915112345678" << 400000000 << 1
        << QString("Hallo ") + QChar(0xFFFC) + "Welt " + units({0xD83D, 0xDE00}) << "ignored"
        << QStringList{"~/Library/SMS/Attachments/ab/IMG_0001.JPG",
                       "/var/mobile/Library/SMS/Attachments/cd/" + units({0xFF21}) + ".png", "",
                       "/var/mobile/x/" + units({0xD83D, 0xDE00}) + ".PNG"}
        << "da497afc3818bc0a69e10b7a1a0a5a20";
    QTest::newRow("no handle, negative date, wide flag")
        << 0 << "-" << -5 << 0x102 << "" << "" << QStringList() << "fa21b83f832f572cf882411fcecaa0a5";
    QTest::newRow("file name without folder")
        << 0 << "a@b.de" << 0 << 0 << "x" << "" << QStringList{"noslash.TXT"}
        << "8e6f652d8c57a1daa08988b9b28c4933";
    QTest::newRow("group event: guid only")
        << 2 << "+4915112345678" << 400000000 << 1 << "text" << QString("ABC-") + QChar(0xE9)
        << QStringList{"a.jpg"} << "cb96cd0190b703505e5f60bd37d34e92";
}

void TestMsgText::logicHashGolden()
{
    QFETCH(int, itemType);
    QFETCH(QString, handleId);
    QFETCH(int, date);
    QFETCH(int, fromMe);
    QFETCH(QString, text);
    QFETCH(QString, guid);
    QFETCH(QStringList, filenames);
    QFETCH(QString, digest);

    Fixture f;
    _MsgMessage m;
    m.item_type = itemType;
    m.handle = handleId == "-" ? nullptr : f.handle("Name is not hashed", handleId);
    m.date = date;
    m.is_from_me = fromMe;
    m.text = text;
    m.guid = guid;
    for (const QString &name : filenames)
        f.attach(m, "image/jpeg", name);
    QCOMPARE(calcLogicHash(m), digest);
}

void TestMsgText::logicHashFields_data()
{
    QTest::addColumn<int>("itemType");
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("changes");

    QTest::newRow("date +1 s") << 0 << "date" << true;
    QTest::newRow("is_from_me") << 0 << "is_from_me" << true;
    QTest::newRow("is_from_me 256 (same low byte)") << 0 << "is_from_me_256" << false;
    QTest::newRow("text") << 0 << "text" << true;
    QTest::newRow("extra U+FFFC") << 0 << "text_orc" << false;
    QTest::newRow("handle id") << 0 << "handle_id" << true;
    QTest::newRow("no handle") << 0 << "no_handle" << true;
    QTest::newRow("contact name") << 0 << "ct_name" << false;
    QTest::newRow("service") << 0 << "service" << false;
    QTest::newRow("rowid") << 0 << "rowid" << false;
    QTest::newRow("guid") << 0 << "guid" << false;
    QTest::newRow("chat") << 0 << "chat" << false;
    QTest::newRow("is_read") << 0 << "is_read" << false;
    QTest::newRow("file name case") << 0 << "file_case" << false;
    QTest::newRow("file folder") << 0 << "file_folder" << false;
    QTest::newRow("file name") << 0 << "file_name" << true;
    QTest::newRow("mime type") << 0 << "mime" << false;
    QTest::newRow("attachment added") << 0 << "attach" << true;
    QTest::newRow("attachment without file name") << 0 << "attach_empty" << false;
    QTest::newRow("event: guid") << 3 << "guid" << true;
    QTest::newRow("event: text") << 3 << "text" << false;
    QTest::newRow("event: date") << 3 << "date" << false;
    QTest::newRow("event: handle id") << 3 << "handle_id" << false;
}

void TestMsgText::logicHashFields()
{
    QFETCH(int, itemType);
    QFETCH(QString, field);
    QFETCH(bool, changes);

    Fixture f;
    _MsgChat chat, otherChat;
    auto build = [&](_MsgMessage &m) {
        m.item_type = itemType;
        m.rowid = 10;
        m.guid = "0A1B2C3D-0000-0000-0000-000000000001";
        m.handle = f.handle("Anna", "+491");
        m.chat = &chat;
        m.date = 12345;
        m.is_from_me = 1;
        m.text = "Hello";
        m.service = "SMS";
        f.attach(m, "image/jpeg", "~/Library/SMS/Attachments/a/IMG_1.JPG");
        f.attach(m, "image/png", "~/Library/SMS/Attachments/b/zebra.png");
    };
    _MsgMessage base, changed;
    build(base);
    build(changed);

    if (field == "date") changed.date += 1;
    else if (field == "is_from_me") changed.is_from_me = 0;
    else if (field == "is_from_me_256") changed.is_from_me = 257;
    else if (field == "text") changed.text = "Hello!";
    else if (field == "text_orc") changed.text = QChar(0xFFFC) + QString("Hello");
    else if (field == "handle_id") changed.handle->id = "+492";
    else if (field == "no_handle") changed.handle = nullptr;
    else if (field == "ct_name") changed.handle->_ct_name = "Bob";
    else if (field == "service") changed.service = "iMessage";
    else if (field == "rowid") changed.rowid = 11;
    else if (field == "guid") changed.guid = "0A1B2C3D-0000-0000-0000-000000000002";
    else if (field == "chat") changed.chat = &otherChat;
    else if (field == "is_read") changed.is_read = 1;
    else if (field == "file_case") changed.attachments.value("3")->filename = "~/x/img_1.jpg";
    else if (field == "file_folder") changed.attachments.value("4")->filename = "/var/mobile/other/zebra.png";
    else if (field == "file_name") changed.attachments.value("4")->filename = "~/b/zebra2.png";
    else if (field == "mime") changed.attachments.value("3")->mime_type = "application/pdf";
    else if (field == "attach") f.attach(changed, "", "~/c/new.txt");
    else if (field == "attach_empty") f.attach(changed, "image/png", "");
    else QFAIL("unknown field");

    QCOMPARE(calcLogicHash(base) != calcLogicHash(changed), changes);
    QCOMPARE(calcLogicHash(changed).size(), 32);
}

void TestMsgText::guids()
{
    QCOMPARE(guidFromMd5(QByteArray()), QStringLiteral("D41D8CD9-8F00-B204-E980-0998ECF8427E"));
    QCOMPARE(guidFromMd5("SMS;+;chat123"), QStringLiteral("AF1EF04C-2F4C-90E5-6469-CD074ACE9A80"));

    const QRegularExpression shape("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    QSet<QString> seen;
    for (int i = 0; i < 100; ++i) {
        const QString g = newGuid();
        QVERIFY2(shape.match(g).hasMatch(), qPrintable(g));
        seen << g;
    }
    QCOMPARE(seen.size(), 100);
}

// Expected identifiers come from an independent MD5 (Python's hashlib). Each
// text's first value is negative, so the sign handling shows.
void TestMsgText::groupChatId_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("id");
    QTest::newRow("one-to-one guid") << "SMS;-;+4915112345678" << "chat144753723611898180";
    QTest::newRow("empty") << "" << "chat922209552194357126";
    QTest::newRow("non-ASCII") << QString("gr") + QChar(0xFC) + QChar(0xDF) + "e" << "chat158299955099216904";
    QTest::newRow("second value negative") << "SMS;-;a@b.de" << "chat795794232729208632";
}

void TestMsgText::groupChatId()
{
    QFETCH(QString, text);
    QFETCH(QString, id);
    QCOMPARE(::groupChatId(text), id);
    QCOMPARE(::groupChatId(text), id);
    QCOMPARE(id.size(), 22);
}

QP_TEST_MAIN(TestMsgText)

} // namespace tst_msgtext

#include "tst_msgtext.moc"
