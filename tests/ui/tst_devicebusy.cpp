// The guard that keeps a phone to one operation at a time, alone: calls that
// come while a key is held wait for its end and then run in order, outside
// the frame that held it; the calls of a phone that has left are dropped; a
// call that finds nothing to do does not strand the ones behind it.
#include "tests/support/testmain.h"
#include "ui/devicebusy.h"

#include <QSignalSpy>
#include <memory>

namespace tst_devicebusy {

class TestDeviceBusy : public QObject
{
    Q_OBJECT

private slots:
    void keptCallsRunInOrderAfterTheHoldEnds()
    {
        DeviceBusy busy;
        QStringList ran;
        QVERIFY(!busy.keepWhileBusy("phone", "a", [&] { ran << "not kept"; }));
        {
            DeviceBusy::Hold hold(busy, "phone");
            QVERIFY(busy.isBusy("phone"));
            QVERIFY(!busy.isBusy("other"));
            QVERIFY(busy.keepWhileBusy("phone", "a", [&] { ran << "first"; }));
            QVERIFY(busy.keepWhileBusy("phone", "b", [&] { ran << "second"; }));
            QCOMPARE(busy.keptCount("phone"), 2);
        }
        QVERIFY(!busy.isBusy("phone"));
        // Not inside the frame that ended: from a fresh event.
        QVERIFY(ran.isEmpty());
        QTRY_COMPARE(ran, (QStringList{"first", "second"}));
        QCOMPARE(busy.keptCount("phone"), 0);
    }

    // A kept call that takes the key again runs to its end (modal loops and
    // all) before the next; what came meanwhile queues behind the rest.
    void aKeptCallThatHoldsTheKeyAgainRunsBeforeTheNext()
    {
        DeviceBusy busy;
        QStringList ran;
        std::function<void()> nested = [&] { ran << "nested"; };
        {
            DeviceBusy::Hold hold(busy, "phone");
            busy.keepWhileBusy("phone", "a", [&] {
                DeviceBusy::Hold again(busy, "phone");
                ran << "first begins";
                busy.keepWhileBusy("phone", "c", nested);
                QCoreApplication::processEvents(); // its modal loop
                ran << "first ends";
            });
            busy.keepWhileBusy("phone", "b", [&] { ran << "second"; });
        }
        QTRY_COMPARE(ran, (QStringList{"first begins", "first ends", "second", "nested"}));
    }

    // The phone left (its calls dropped) and came back as another: the
    // newcomer's call still runs, also after a call that does nothing.
    void theCallsOfALeftPhoneAreDroppedAndTheRestStillRun()
    {
        DeviceBusy busy;
        QStringList ran;
        {
            DeviceBusy::Hold hold(busy, "phone");
            busy.keepWhileBusy("phone", "handle 2", [&] { ran << "handle 2"; });
            busy.keepWhileBusy("phone", "handle 3", [&] { ran << "handle 3"; });
            busy.keepWhileBusy("other", "handle 2", [&] { ran << "other of handle 2"; });
            busy.keepWhileBusy("phone", "handle 4", [] { /* finds its phone gone: does nothing */ });
            busy.keepWhileBusy("phone", "handle 5", [&] { ran << "handle 5"; });
            busy.dropTagged("handle 2");
            QCOMPARE(busy.keptCount("phone"), 3);
            QCOMPARE(busy.keptCount("other"), 0);
        }
        QTRY_COMPARE(ran, (QStringList{"handle 3", "handle 5"}));
    }

    void releasingIsAnnounced()
    {
        DeviceBusy busy;
        QSignalSpy released(&busy, &DeviceBusy::released);
        {
            DeviceBusy::Hold hold(busy, "cache:356938035643809");
            QCOMPARE(released.size(), 0);
        }
        QCOMPARE(released.size(), 1);
        QCOMPARE(released.at(0).at(0).toString(), "cache:356938035643809");
    }

    // The guard dies with its window: a call still queued then never runs.
    void nothingRunsAfterTheGuardIsGone()
    {
        auto busy = std::make_unique<DeviceBusy>();
        bool ran = false;
        {
            DeviceBusy::Hold hold(*busy, "phone");
            busy->keepWhileBusy("phone", "a", [&] { ran = true; });
        }
        busy.reset();
        QTest::qWait(20);
        QVERIFY(!ran);
    }
};

QP_TEST_MAIN(TestDeviceBusy)

} // namespace tst_devicebusy

#include "tst_devicebusy.moc"
