// The message list: the texts, icons, colours and heights of each kind of
// row, the headers, row lookup, resets, and Qt's model contract.
#include "store/msgtext.h"
#include "tests/support/msgstorebuilder.h"
#include "tests/support/testmain.h"
#include "ui/itemmodelsms.h"

#include <QAbstractItemModelTester>

namespace tst_itemmodelsms {

using testsupport::MsgStoreBuilder;

namespace {

// Through a pixmap as the model's, which stores premultiplied colours.
QImage icon(const QString &path)
{
    return QPixmap::fromImage(QImage(path).scaledToWidth(18, Qt::FastTransformation)).toImage();
}

QString shortDate(int date)
{
    return QLocale::system().toString(msgDateTime(date), QLocale::ShortFormat);
}

} // namespace

class TestItemModelSms : public QObject
{
    Q_OBJECT

private slots:
    void roles_data()
    {
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QString>("service");
        QTest::addColumn<int>("itemType");
        QTest::addColumn<bool>("recovered");
        for (bool sent : {true, false})
            for (const char *service : {"SMS", "iMessage", "imessage"})
                for (int itemType : {0, 2})
                    for (bool recovered : {false, true})
                        QTest::addRow("%s %s item_type %d%s", sent ? "sent" : "received", service, itemType,
                                      recovered ? " recovered" : "")
                            << sent << QString::fromLatin1(service) << itemType << recovered;
    }

    void roles()
    {
        QFETCH(bool, sent);
        QFETCH(QString, service);
        QFETCH(int, itemType);
        QFETCH(bool, recovered);

        MsgStoreBuilder b;
        _MsgHandle *tom = b.handle("+4915112345678");
        tom->_ct_name = "Tom & Jerry";
        _MsgChat *chat = b.chat({tom});
        const int date = 700000000;
        _MsgMessage *m = b.message(chat, sent ? nullptr : tom, "Hi \U0001F600 <3\r\nsecond line", date);
        m->service = service;
        m->item_type = itemType;
        m->isRecovered = recovered;

        ItemModelSms model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        model.setMessages({m});

        const QString flag = itemType ? QString() : sent ? QString("To") : QString("From");
        // A message names its correspondent with the number, a group event
        // its chat by name alone; a group event tells who did what, and when
        // (700000000 is 2023-03-08 21:26:40 in Berlin).
        const QString contact = itemType ? QString("Tom & Jerry") : QString("Tom & Jerry (+4915112345678)");
        const QString content = itemType ? (sent ? QString("You") : QString("Tom & Jerry"))
                                               + " named the conversation \"\".\n08 Mar 2023 9:26 PM"
                                         : QString("Hi [EMOJI] <3\r\nsecond line");
        const QStringList texts{shortDate(date), flag, contact, content};
        const bool iMessage = service.toLower() == "imessage";
        const QString iconPath = iMessage ? (sent ? ":/res/imsg-send.png" : ":/res/imsg-rec.png")
                                          : (sent ? ":/res/icon_sms-sent.png" : ":/res/icon_sms-receive.png");
        const QColor background = sent ? QColor(245, 255, 226) : QColor(255, 255, 255);
        for (int column = 0; column < 4; ++column) {
            const QModelIndex at = model.index(0, column);
            QCOMPARE(at.data(Qt::DisplayRole).toString(), texts.at(column));
            QCOMPARE(at.data(Qt::ToolTipRole).toString(), texts.at(column));
            const QBrush brush = at.data(Qt::BackgroundRole).value<QBrush>();
            QCOMPARE(brush.color(), background);
            QCOMPARE(brush.style(), Qt::SolidPattern);
            QCOMPARE(at.data(Qt::ForegroundRole).isValid(), recovered);
            if (recovered)
                QCOMPARE(at.data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0, 255));
            QCOMPARE(at.data(Qt::SizeHintRole).toSize(), QSize(0, 23));
            QVERIFY(!at.data(Qt::EditRole).isValid());
            if (column == 0) {
                const QVariant decoration = at.data(Qt::DecorationRole);
                QCOMPARE(decoration.typeId(), int(QMetaType::QPixmap));
                QCOMPARE(decoration.value<QPixmap>().toImage(), icon(iconPath));
            } else {
                QVERIFY(!at.data(Qt::DecorationRole).isValid());
            }
        }
        if (itemType == 0)
            QVERIFY(texts.at(3).contains("[EMOJI]"));
        // The four icons differ, so the comparison above tells them apart.
        const QList<QImage> four{icon(":/res/imsg-send.png"), icon(":/res/imsg-rec.png"),
                                 icon(":/res/icon_sms-sent.png"), icon(":/res/icon_sms-receive.png")};
        for (int i = 0; i < 4; ++i)
            for (int j = i + 1; j < 4; ++j)
                QVERIFY(four.at(i) != four.at(j));
    }

    void aGroupEventWithoutChatHasNoContact()
    {
        MsgStoreBuilder b;
        _MsgMessage *m = b.message(nullptr, nullptr, "", 1);
        m->item_type = 2;
        ItemModelSms model;
        model.setMessages({m});
        QCOMPARE(model.index(0, 1).data().toString(), QString());
        QCOMPARE(model.index(0, 2).data().toString(), QString());
    }

    void headers()
    {
        ItemModelSms model;
        QStringList titles;
        for (int s = 0; s < model.columnCount(); ++s)
            titles << model.headerData(s, Qt::Horizontal).toString();
        QCOMPARE(titles, (QStringList{"Date", "Flag", "Contact", "Content"}));
        QVERIFY(!model.headerData(4, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
        QVERIFY(!model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
    }

    void rowsAndResets()
    {
        MsgStoreBuilder b;
        _MsgHandle *h = b.handle("+491");
        _MsgChat *chat = b.chat({h});
        for (int i = 0; i < 5; ++i)
            b.message(chat, i % 2 ? h : nullptr, QString::number(i), 1000 + i);
        ItemModelSms model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QSignalSpy aboutToReset(&model, &QAbstractItemModel::modelAboutToBeReset);
        model.setMessages(b.messages());
        QCOMPARE(resets.count(), 1);
        QCOMPARE(aboutToReset.count(), 1);
        QCOMPARE(model.rowCount(), 5);

        // A flat list: no cell has children, whatever its column.
        for (int column = 0; column < 4; ++column)
            QCOMPARE(model.rowCount(model.index(2, column)), 0);
        QVERIFY(!model.index(0, 0).parent().isValid());
        QVERIFY(!model.index(5, 0).isValid());
        QVERIFY(!model.index(0, 4).isValid());

        const QModelIndex third = model.indexOfRow(2);
        QCOMPARE(third.row(), 2);
        QCOMPARE(third.column(), 0);
        QCOMPARE(third.internalPointer(), static_cast<void *>(b.messages().at(2)));
        QCOMPARE(third.data().toString(), shortDate(1002));
        QVERIFY(!model.indexOfRow(-1).isValid());
        QVERIFY(!model.indexOfRow(5).isValid());

        model.setMessages(b.messages().mid(3));
        QCOMPARE(resets.count(), 2);
        QCOMPARE(model.index(0, 3).data().toString(), QString("3"));
        model.setMessages({});
        QCOMPARE(resets.count(), 3);
        QCOMPARE(model.rowCount(), 0);
        model.setMessages(b.messages());
        model.clear();
        QCOMPARE(resets.count(), 5);
        QCOMPARE(model.rowCount(), 0);
    }
};

QP_TEST_MAIN(TestItemModelSms)

} // namespace tst_itemmodelsms

#include "tst_itemmodelsms.moc"
