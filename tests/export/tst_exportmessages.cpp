// The CSV and fixed-width text writers: the bytes of whole files for small
// conversations shaped like a phone's (groups, e-mail handles, emoji, unnamed
// contacts, line breaks), the CSV quoting rule, and failures to open or write.
#include "app/idstranslator.h"
#include "export/exportmessagescsv.h"
#include "export/exportmessagestxt.h"
#include "export/msglocaltime.h"
#include "store/msgtext.h"
#include "tests/support/filefixture.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/testmain.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include <limits>
#include <stdexcept>

namespace tst_exportmessages {

using namespace testsupport;

namespace {

// 2013-09-04 17:06:40 in Berlin (summer time).
constexpr int kDate = 400000000;

template <typename Writer>
void writeAll(Writer &writer, const QList<_MsgMessage *> &messages)
{
    writer.begin();
    for (const _MsgMessage *m : messages)
        writer.write(*m);
    writer.end();
}

// The locale's short date and time, as the user's settings give it.
QString shortDate(int date)
{
    return QLocale::system().toString(msgDateTime(date), QLocale::ShortFormat);
}

QString padded(const QString &text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '), false);
}

const QString kGrin = QString::fromUtf8("\xF0\x9F\x98\x80"); // U+1F600, a surrogate pair

// One of each kind of chat the writers tell apart.
struct Chats
{
    MsgStoreBuilder b;
    _MsgHandle *anna, *ben, *carl;
    _MsgChat *named, *unnamed, *group, *empty;

    Chats()
    {
        anna = b.handle("+4917012345");
        anna->_ct_name = QString::fromUtf8("M\xC3\xBCller, Anna");
        ben = b.handle("ben@example.com", "iMessage");
        carl = b.handle("+4917099999");
        carl->_ct_name = "Carl";
        named = b.chat({anna});
        unnamed = b.chat({ben}, "iMessage");
        group = b.chat({anna, ben, carl}, "iMessage");
        group->chat_identifier = "chat638142205557340987";
        group->display_name = "Family " + kGrin;
        empty = b.chat({});
        empty->chat_identifier = "+4930555";
    }
};

} // namespace

class TestExportMessages : public QObject
{
    Q_OBJECT
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;
    QString target(const QString &name) const { return dir->filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(":/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    // ---- dates -----------------------------------------------------------------

    void localDatesAreMsgDateTimes_data()
    {
        QTest::addColumn<int>("date");
        // Berlin changed to summer time at 2013-03-31 01:00 UTC and back at
        // 2013-10-27 01:00 UTC.
        const int spring = int(1364691600 - MSG_EPOCH_OFFSET), autumn = int(1382835600 - MSG_EPOCH_OFFSET);
        QTest::newRow("epoch") << 0;
        QTest::newRow("summer") << kDate;
        QTest::newRow("before summer time") << spring - 1;
        QTest::newRow("summer time begins") << spring;
        QTest::newRow("last summer second") << autumn - 1;
        QTest::newRow("winter time again") << autumn;
        QTest::newRow("1970") << int(-MSG_EPOCH_OFFSET);
        QTest::newRow("earliest") << std::numeric_limits<int>::min();
        QTest::newRow("latest") << std::numeric_limits<int>::max();
    }
    void localDatesAreMsgDateTimes()
    {
        QFETCH(int, date);
        const QDateTime expected = msgDateTime(date);
        const QDateTime got = MsgLocalTime::dateTime(date);
        QCOMPARE(got.toSecsSinceEpoch(), expected.toSecsSinceEpoch());
        QCOMPARE(got.date(), expected.date());
        QCOMPARE(got.time(), expected.time());
        QCOMPARE(MsgLocalTime::isoText(date), expected.toString("yyyy-MM-dd hh:mm:ss"));
        for (const QLocale &locale : {QLocale::system(), QLocale("de_DE"), QLocale("en_US"), QLocale("ja_JP")})
            QCOMPARE(locale.toString(got, QLocale::ShortFormat), locale.toString(expected, QLocale::ShortFormat));
    }

    // ---- CSV ------------------------------------------------------------------

    void csvField_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("field");
        QTest::newRow("plain") << "hello there" << "hello there";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("comma") << "a,b" << "\"a,b\"";
        QTest::newRow("quote doubled") << "say \"hi\"" << "\"say \"\"hi\"\"\"";
        QTest::newRow("only a quote") << "\"" << "\"\"\"\"";
        QTest::newRow("line feed") << "a\nb" << "\"a\nb\"";
        QTest::newRow("carriage return alone") << "a\rb" << "\"a\rb\"";
        QTest::newRow("carriage return at the end") << "ab\r" << "\"ab\r\"";
        QTest::newRow("CR LF keeps both") << "a\r\nb" << "\"a\r\nb\"";
        QTest::newRow("semicolon and tab") << "a;\tb" << "a;\tb";
    }
    void csvField()
    {
        QFETCH(QString, text);
        QFETCH(QString, field);
        QCOMPARE(ExportMessagesCsv::csvField(text), field);
    }

    void csvFileIsExact()
    {
        Chats c;
        c.b.message(nullptr, nullptr, "no chat at all", kDate);
        c.b.message(c.named, c.anna, "line one\r\nline two " + kGrin, kDate + 61);
        c.b.message(c.unnamed, nullptr, "cr\ralone, and \"quoted\"", kDate + 3600 * 24);
        c.b.message(c.group, c.ben, "", kDate - 3600 * 24 * 60); // winter time
        c.b.message(c.empty, c.carl, "members gone", kDate + 2);
        ExportMessagesCsv writer(target("out.csv"));
        writeAll(writer, c.b.messages());

        const QByteArray expected = QString::fromUtf8(
            "date,send,person,number,content\n"
            "2013-09-04 17:06:40,1,,,no chat at all\n"
            "2013-09-04 17:07:41,0,\"M\xC3\xBCller, Anna\",+4917012345,\"line one\r\nline two [EMOJI]\"\n"
            "2013-09-05 17:06:40,1,,ben@example.com,\"cr\ralone, and \"\"quoted\"\"\"\n"
            "2013-07-06 17:06:40,0,chat638142205557340987,chat638142205557340987,\n"
            "2013-09-04 17:06:42,0,,,members gone\n").toUtf8();
        QCOMPARE(readFile(target("out.csv")), expected);
    }

    // ---- TXT ------------------------------------------------------------------

    void txtFileIsExact()
    {
        Chats c;
        const QString longName = "Alexandra-Konstanze von Hohenzollern-Sigmarin"; // 45 characters
        QCOMPARE(longName.size(), 45);
        c.anna->_ct_name = longName;
        c.b.message(c.named, c.anna, "first\r\nsecond\nthird", kDate);
        c.b.message(c.group, nullptr, "to everyone " + kGrin, kDate + 60);
        _MsgMessage *added = c.b.message(c.group, c.carl, "", kDate + 120);
        added->item_type = 1;
        added->editRare().otherHandle = c.ben;
        c.b.message(nullptr, c.carl, "lost chat", kDate + 180);
        c.b.message(c.unnamed, c.ben, "cr\ronly", kDate + 240);
        ExportMessagesTxt writer(target("out.txt"));
        writeAll(writer, c.b.messages());

        const QString family = "Family " + kGrin;
        QString expected = padded("Date", 30) + padded("Flag", 6) + padded("Name", 40) + "Message\n";
        // A name longer than its column pushes the message to the right.
        expected += padded(shortDate(kDate), 30) + "From  " + longName + "first second third\n";
        expected += padded(shortDate(kDate + 60), 30) + "To    " + padded(family, 40) + "to everyone [EMOJI]\n";
        // A group event has no direction: six blanks.
        expected += padded(shortDate(kDate + 120), 30) + "      " + padded(family, 40)
                    + "Carl Added ben@example.com to the conversation. 04 Sep 2013 5:8 PM\n";
        expected += padded(shortDate(kDate + 180), 30) + "From  " + padded("Unknown", 40) + "lost chat\n";
        expected += padded(shortDate(kDate + 240), 30) + "From  " + padded("ben@example.com", 40) + "cronly\n";
        QCOMPARE(QString::fromUtf8(readFile(target("out.txt"))), expected);
    }

    // ---- both -----------------------------------------------------------------

    void bothKeepTheCallersOrderAndWriteNoMark()
    {
        Chats c;
        c.b.message(c.named, c.anna, "later", kDate + 100);
        c.b.message(c.named, c.anna, "earlier", kDate);
        ExportMessagesCsv csv(target("o.csv"));
        writeAll(csv, c.b.messages());
        const QByteArray bytes = readFile(target("o.csv"));
        QVERIFY(bytes.startsWith("date,"));
        QVERIFY(bytes.indexOf("later") < bytes.indexOf("earlier"));
    }

    void aFileThatCannotBeOpenedThrows_data()
    {
        QTest::addColumn<bool>("csv");
        QTest::newRow("csv") << true;
        QTest::newRow("txt") << false;
    }
    void aFileThatCannotBeOpenedThrows()
    {
        QFETCH(bool, csv);
        const QString path = target("missing-folder/out.file");
        std::unique_ptr<AbsFormatExport<_MsgMessage>> writer;
        if (csv)
            writer.reset(new ExportMessagesCsv(path));
        else
            writer.reset(new ExportMessagesTxt(path));
        try {
            writer->begin();
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()), "No such file or directory");
        }
        QVERIFY(!QFile::exists(path));
    }

    void aWriteThatFailsOnTheWayIsReportedAtTheEnd_data() { aFileThatCannotBeOpenedThrows_data(); }
    void aWriteThatFailsOnTheWayIsReportedAtTheEnd()
    {
        // As on a full disk: the file takes only the first 16 KiB.
        QFETCH(bool, csv);
        Chats c;
        for (int i = 0; i < 2000; ++i)
            c.b.message(c.named, c.anna, QString("message number %1 with some words").arg(i), kDate + i);
        const QString path = target("full.out");
        std::unique_ptr<AbsFormatExport<_MsgMessage>> writer;
        if (csv)
            writer.reset(new ExportMessagesCsv(path));
        else
            writer.reset(new ExportMessagesTxt(path));
        bool thrown = false;
        {
            FileSizeLimit limit(16 * 1024);
            try {
                writeAll(*writer, c.b.messages());
            } catch (const std::runtime_error &e) {
                thrown = true;
                QCOMPARE(QString::fromUtf8(e.what()),
                         "Could not write the whole export into the folder " + dir->path() + ". Is the disk full?");
            }
        }
        QVERIFY(thrown);
    }
};

QP_TEST_MAIN(TestExportMessages)

} // namespace tst_exportmessages

#include "tst_exportmessages.moc"
