// The HTML page of one conversation: its exact bytes, the escaping of names
// and texts (and that a name holding a placeholder stays text), and what a
// reader of the page sees.
#include "app/idstranslator.h"
#include "export/escapehtml.h"
#include "export/exportsmshtml.h"
#include "store/msgtext.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/testmain.h"

#include <QFile>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QXmlStreamReader>

#include <stdexcept>

namespace tst_exportsmshtml {

using namespace testsupport;

namespace {

// 2013-09-04 17:06:40 in Berlin (summer time).
constexpr int kDate = 400000000;

const char kHead[] =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">"
    "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />"
    "<title>Quillmarten Parlevane</title></head><body>";
const char kTail[] = "</body></html>";

QString localDate(int date)
{
    return QLocale::system().toString(msgDateTime(date), QLocale::ShortFormat);
}

QString readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("<missing>");
}

} // namespace

class TestExportSMSHtml : public QObject
{
    Q_OBJECT
    IdsTranslator translator;
    std::unique_ptr<QTemporaryDir> dir;

    QString writePage(const QList<_MsgMessage *> &messages)
    {
        const QString path = dir->filePath("page.html");
        ExportSMSHtml writer(path);
        writer.begin();
        for (const _MsgMessage *m : messages)
            writer.write(*m);
        writer.end();
        return readFile(path);
    }

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

    void escapeHtml_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("html");
        QTest::newRow("empty") << "" << "";
        QTest::newRow("plain") << "hello" << "hello";
        QTest::newRow("ampersand first") << "a & b" << "a &amp; b";
        QTest::newRow("tags") << "<b>x</b>" << "&lt;b&gt;x&lt;/b&gt;";
        QTest::newRow("an entity stays literal") << "&lt;" << "&amp;lt;";
        QTest::newRow("line feed") << "a\nb" << "a<br/>b";
        QTest::newRow("CR LF is one break") << "a\r\nb" << "a<br/>b";
        QTest::newRow("CR alone stays") << "a\rb" << "a\rb";
        QTest::newRow("CR CR LF") << "a\r\r\nb" << "a\r<br/>b";
        QTest::newRow("breaks at both ends") << "\nab\r\n" << "<br/>ab<br/>";
        QTest::newRow("quotes stay") << "\"it's\"" << "\"it's\"";
        QTest::newRow("emoji") << QString::fromUtf8("\xF0\x9F\x98\x80 <3") << QString::fromUtf8("\xF0\x9F\x98\x80 &lt;3");
        QTest::newRow("tab stays") << "a\tb" << "a\tb";
        QTest::newRow("C0 controls go") << QString("a") + QChar(0x01) + "b" + QChar(0x08) + "c" + QChar(0x0B) + "d"
                                                + QChar(0x0C) + "e" + QChar(0x1B) + "[0mf" + QChar(0x1F)
                                        << "abcde[0mf";
        QTest::newRow("a NUL goes") << QString("a") + QChar(0) + "b" << "ab";
        QTest::newRow("DEL and C1 go") << QString("a\x7F") + QChar(0x85) + QChar(0x9F) + "b" << "ab";
        QTest::newRow("no-characters go") << QString("a") + QChar(0xFFFE) + QChar(0xFFFF) + "b" << "ab";
        QTest::newRow("lone surrogates go") << QString("a") + QChar(0xD83D) + "b" + QChar(0xDE00) << "ab";
        QTest::newRow("non-breaking space stays") << QString("a") + QChar(0xA0) + "b" << QString("a") + QChar(0xA0) + "b";
    }
    void escapeHtml()
    {
        QFETCH(QString, text);
        QFETCH(QString, html);
        QCOMPARE(::escapeHtml(text), html);
    }

    void pageIsExact()
    {
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        anna->_ct_name = "Anna <AT&T>";
        _MsgChat *chat = b.chat({anna});
        _MsgMessage *sent = b.message(chat, nullptr, "Tom & Jerry <3\r\nsee you", kDate);
        _MsgMessage *received = b.message(chat, anna, "ok", kDate + 90);
        received->rowid = 9007199254740993LL; // beyond a double's integers
        _MsgMessage *lost = b.message(nullptr, anna, "no chat", kDate + 120);

        const QString expected =
            kHead
            + QString("<a name=\"sms%1\"></a><div style=\"color:#008040;font-size:16px;\"><div>%2</div>"
                      "<div>To: \u2068Anna &lt;AT&amp;T&gt;\u2069 (+4917012345)</div></div>"
                      "<div style=\"font-size:14px;\">Tom &amp; Jerry &lt;3<br/>see you</div><br/><br/>\n")
                  .arg(sent->rowid)
                  .arg(localDate(kDate))
            + QString("<a name=\"sms9007199254740993\"></a><div style=\"color:#0000FF;font-size:16px;\"><div>%1</div>"
                      "<div>From: \u2068Anna &lt;AT&amp;T&gt;\u2069 (+4917012345)</div></div>"
                      "<div style=\"font-size:14px;\">ok</div><br/><br/>\n")
                  .arg(localDate(kDate + 90))
            + QString("<a name=\"sms%1\"></a><div style=\"color:#0000FF;font-size:16px;\"><div>%2</div>"
                      "<div>From: </div></div>"
                      "<div style=\"font-size:14px;\">no chat</div><br/><br/>\n")
                  .arg(lost->rowid)
                  .arg(localDate(kDate + 120))
            + kTail;
        QCOMPARE(writePage(b.messages()), expected);
    }

    void placeholdersInValuesStayText_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("name holds %4") << "100%4 real" << "body";
        QTest::newRow("name holds %1 and %3") << "%1 %3" << "body";
        QTest::newRow("text holds %0") << "Anna" << "50%0 off %2";
    }
    void placeholdersInValuesStayText()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        MsgStoreBuilder b;
        _MsgChat *chat = b.chat({b.handle("+4917012345")});
        chat->display_name = name;
        b.message(chat, nullptr, text, kDate);
        const QString page = writePage(b.messages());
        QVERIFY2(page.contains(QString("<div>To: ") + QChar(0x2068) + name + QChar(0x2069)
                               + "</div></div><div style=\"font-size:14px;\">" + text + "</div>"),
                 qPrintable(page));
    }

    void aPageIsWellFormedXml()
    {
        // Phones keep control characters in texts and names (an escape
        // sequence pasted from a terminal, a form feed); an XML reader must
        // still take the page whole.
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("+4917012345");
        anna->_ct_name = QString("Anna") + QChar(0x07) + " " + QChar(0xFFFF) + "Schmidt";
        _MsgChat *chat = b.chat({anna});
        b.message(chat, anna,
                  QString("bell") + QChar(0x07) + " escape" + QChar(0x1B) + "[1m nul" + QChar(0) + "\ttab\rcr"
                      + QChar(0x0C) + QChar(0xD800),
                  kDate);
        b.message(chat, nullptr, "plain", kDate + 60);
        const QString page = writePage(b.messages());
        QXmlStreamReader xml(page);
        QStringList bodies;
        while (!xml.atEnd()) {
            if (xml.readNext() == QXmlStreamReader::StartElement && xml.attributes().value("style") == QString("font-size:14px;"))
                bodies << xml.readElementText(QXmlStreamReader::IncludeChildElements);
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        // XML reads a lone carriage return as a line feed.
        QCOMPARE(bodies, QStringList({"bell escape[1m nul\ttab\ncr", "plain"}));
        QVERIFY(page.contains(QString("From: ") + QChar(0x2068) + "Anna Schmidt" + QChar(0x2069) + " (+4917012345)"));
    }

    void aRightToLeftNameKeepsItsNumberInOrder()
    {
        // Laid out as a reader lays it out: the number in parentheses after
        // an Arabic name reads left to right, to the right of the name.
        MsgStoreBuilder b;
        _MsgHandle *muhammad = b.handle("+971501234567");
        muhammad->_ct_name = QString::fromUtf8("\xD9\x85\xD8\xAD\xD9\x85\xD8\xAF");
        b.message(b.chat({muhammad}), muhammad, "salam", kDate);
        QTextDocument doc;
        doc.setHtml(writePage(b.messages()));
        doc.setTextWidth(800);
        doc.size(); // lays the document out
        QTextBlock header;
        for (QTextBlock block = doc.begin(); block.isValid(); block = block.next())
            if (block.text().startsWith("From: "))
                header = block;
        QVERIFY(header.isValid());
        const QString text = header.text();
        const QTextLine line = header.layout()->lineAt(0);
        QVERIFY(line.isValid());
        const int open = int(text.indexOf("(+971501234567)"));
        QVERIFY2(open > 0, qPrintable(text));
        const int name = int(text.indexOf(muhammad->_ct_name));
        qreal previous = -1;
        for (int i = open; i < open + 15; ++i) {
            // The left edge of each character of the number, in reading order.
            const qreal x = qMin(line.cursorToX(i), line.cursorToX(i + 1));
            QVERIFY2(x > previous, qPrintable(QString("character %1 of %2").arg(i - open).arg(text)));
            previous = x;
        }
        for (int i = name; i < name + 4; ++i)
            QVERIFY(line.cursorToX(i) < line.cursorToX(open));
    }

    void aPageWithoutMessagesIsComplete()
    {
        QCOMPARE(writePage({}), QString(kHead) + kTail);
    }

    void aFileThatCannotBeOpenedThrows()
    {
        ExportSMSHtml writer(dir->filePath("missing/page.html"));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, writer.begin());
        QVERIFY(!QFile::exists(dir->filePath("missing/page.html")));
    }

    void aReaderSeesTheTextAsWritten()
    {
        // Rendered as a browser-like reader shows it: the escaped characters
        // come back as typed, each line of the body on a line of its own, and
        // the head line in the direction's colour.
        MsgStoreBuilder b;
        _MsgHandle *anna = b.handle("anna@example.com", "iMessage");
        _MsgChat *chat = b.chat({anna}, "iMessage");
        b.message(chat, anna, "if a<b && b>c\r\nthen &lt; stays", kDate);
        b.message(chat, nullptr, "sent", kDate + 60);
        QTextDocument doc;
        doc.setHtml(writePage(b.messages()));
        const QStringList lines = doc.toPlainText().split(QChar::LineSeparator).join('\n').split('\n');
        QVERIFY2(lines.contains("From: anna@example.com"), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains("if a<b && b>c"), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains("then &lt; stays"), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains("To: anna@example.com"), qPrintable(lines.join('|')));

        QHash<QString, QColor> colours;
        for (QTextBlock block = doc.begin(); block.isValid(); block = block.next())
            for (auto it = block.begin(); !it.atEnd(); ++it)
                colours.insert(it.fragment().text(), it.fragment().charFormat().foreground().color());
        QCOMPARE(colours.value("From: anna@example.com"), QColor("#0000FF"));
        QCOMPARE(colours.value("To: anna@example.com"), QColor("#008040"));

        // Painted, the head lines show in those colours and the bodies in black.
        doc.setTextWidth(600);
        QImage image(600, int(doc.size().height()) + 1, QImage::Format_RGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            doc.drawContents(&painter);
        }
        QHash<QRgb, int> painted;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                ++painted[image.pixel(x, y) & 0xFFFFFF];
        QVERIFY(painted.value(0x0000FF) > 10);
        QVERIFY(painted.value(0x008040) > 10);
        QVERIFY(painted.value(0x000000) > 10);
    }
};

QP_TEST_MAIN(TestExportSMSHtml)

} // namespace tst_exportsmshtml

#include "tst_exportsmshtml.moc"
