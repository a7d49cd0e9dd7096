#include "tests/support/testmain.h"

#include "platform/sqlite_qt/sqlite3db.h"
#include "platform/sqlite_qt/sqlite3sql.h"
#include "store/resolvedcursor.h"
#include "store/sharedtext.h"

#include <QTemporaryDir>

namespace tst_sharedtext {

class TestSharedText : public QObject
{
    Q_OBJECT

private slots:
    void copiesStayApartWhenOneIsReassigned();
    void nullAndEmptyStayApart();
    void cursorReadsEveryValueOfAColumn();
};

void TestSharedText::copiesStayApartWhenOneIsReassigned()
{
    SharedText a(QStringLiteral("SMS"));
    SharedText b = a;
    QVERIFY(b.sharesWith(a));
    a = QStringLiteral("iMessage"); // a holder of a shared value writes a new one
    QCOMPARE(b.str(), QStringLiteral("SMS"));
    QCOMPARE(a.str(), QStringLiteral("iMessage"));

    SharedText sole(QStringLiteral("e:"));
    sole = QStringLiteral("e:me@example.com"); // the only holder: written in place
    QCOMPARE(sole.str(), QStringLiteral("e:me@example.com"));
    QVERIFY(a != sole);
    QVERIFY(SharedText(QStringLiteral("x")) == SharedText(QStringLiteral("x"))); // equal, not shared
}

void TestSharedText::nullAndEmptyStayApart()
{
    SharedText none;
    QVERIFY(none.isNull() && none.isEmpty() && none.str().isNull());
    SharedText empty(QStringLiteral(""));
    QVERIFY(!empty.isNull() && empty.isEmpty() && !empty.str().isNull());
    empty = QString();
    QVERIFY(empty.isNull());
}

// More distinct values than the cursor keeps at hand, in rounds, with NULL
// and '' among them: every row reads its own value, and equal values share.
void TestSharedText::cursorReadsEveryValueOfAColumn()
{
    QTemporaryDir dir;
    Sqlite3DB db;
    db.openThrow(dir.filePath(QStringLiteral("t.db")), 6);
    db.executeThrow(Sqlite3Sql("create table t (id integer primary key, v text)"));
    const QStringList values = {QStringLiteral("SMS"),      QStringLiteral("iMessage"), QString(),
                                QStringLiteral(""),         QStringLiteral("RCS"),      QStringLiteral("e:"),
                                QStringLiteral("Grüße ✓"), QStringLiteral("SMS ")};
    QStringList expected;
    for (int i = 0; i < 40; ++i) {
        // Rounds, then runs: both orders the cursor sees in phone files.
        const QString v = i < 24 ? values.at(i % values.size()) : values.at((i / 4) % values.size());
        expected << v;
        db.executeThrow(Sqlite3Sql("insert into t (id, v) values (?, ?)").addIntParam(i).addTextParam(v));
    }

    ResolvedCursor c(db.queryThrow(Sqlite3Sql("select v from t order by id")));
    const int v = c.column(QStringLiteral("v"));
    QList<SharedText> read;
    while (c.moveNext())
        read << c.getSharedText(v);
    QCOMPARE(read.size(), expected.size());
    for (int i = 0; i < read.size(); ++i) {
        QCOMPARE(read.at(i).isNull(), expected.at(i).isNull());
        QCOMPARE(read.at(i).str(), expected.at(i));
    }
    QVERIFY(read.at(0).sharesWith(read.at(8)));   // "SMS" seen again after the window moved on
    QVERIFY(read.at(24).sharesWith(read.at(27))); // a run
    QVERIFY(c.getSharedText(v).isNull()); // past the last row
}

QP_TEST_MAIN(TestSharedText)

} // namespace tst_sharedtext

#include "tst_sharedtext.moc"
