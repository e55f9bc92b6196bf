#include "rangeplanner.h"

#include <QtTest>

// Which stream fetches which range of a file that several fetch at once.
class SessionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ranges_data()
    {
        QTest::addColumn<quint64>("length");
        QTest::addColumn<quint64>("piece");
        QTest::addColumn<int>("streams");
        QTest::addColumn<int>("count"); // 0: not split
        QTest::addColumn<quint64>("rangeLength");
        QTest::newRow("19 pieces, 4 streams")
            << quint64(300000) << quint64(16384) << 4 << 7 << quint64(3 * 16384);
        QTest::newRow("1 GiB, 2 streams: 64 MiB at most")
            << (quint64(1) << 30) << quint64(4 << 20) << 2 << 16 << quint64(64 << 20);
        QTest::newRow("one stream") << quint64(300000) << quint64(16384) << 1 << 0 << quint64(0);
        QTest::newRow("two pieces") << quint64(32768) << quint64(16384) << 4 << 0 << quint64(0);
        QTest::newRow("a piece and a byte")
            << quint64(32769) << quint64(16384) << 4 << 3 << quint64(16384);
    }
    void ranges()
    {
        QFETCH(quint64, length);
        QFETCH(quint64, piece);
        QFETCH(int, streams);
        QFETCH(int, count);
        QFETCH(quint64, rangeLength);
        QCOMPARE(RangePlanner::splits(length, piece, streams), count > 0);
        if (count == 0)
            return;
        RangePlanner plan(length, piece, streams);
        QCOMPARE(plan.count(), count);
        quint64 at = 0;
        for (int i = 0; i < count; ++i) {
            QCOMPARE(plan.offset(i), at);
            QCOMPARE(plan.length(i), i + 1 < count ? rangeLength : length - at);
            at += plan.length(i);
        }
        QCOMPARE(at, length);
    }

    // Taken in order, given back after a failure, done when every range is; a refusal stops the
    // handing out.
    void lifecycle()
    {
        RangePlanner plan(5 * 16384, 16384, 2);
        QCOMPARE(plan.count(), 3);
        QCOMPARE(plan.take(), 0);
        QCOMPARE(plan.take(), 1);
        plan.release(0);
        QCOMPARE(plan.take(), 0);
        for (const int range : {0, 1})
            plan.finish(range);
        QCOMPARE(plan.bytesDone(), quint64(4 * 16384));
        QVERIFY(!plan.held() && !plan.done());
        QCOMPARE(plan.take(), 2);
        plan.refuse();
        QCOMPARE(plan.take(), -1);
        QVERIFY(plan.held());
        plan.finish(2);
        QVERIFY(plan.done());
    }
};

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
