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
        QTest::addColumn<QString>("kept");   // a digit a piece, 1 for a good one kept
        QTest::addColumn<QString>("ranges"); // first piece and pieces of each, empty: not split
        const auto row = [](const char* name, quint64 length, quint64 piece, int streams,
                            const char* kept, const char* ranges) {
            QTest::newRow(name) << length << piece << streams << QString(kept) << QString(ranges);
        };
        const quint64 k16 = 16384;
        row("19 pieces, 4 streams", 300000, k16, 4, "", "0+3 3+3 6+3 9+3 12+3 15+3 18+1");
        row("1 GiB, 2 streams: 64 MiB at most", quint64(1) << 30, 4 << 20, 2, "",
            "0+16 16+16 32+16 48+16 64+16 80+16 96+16 112+16 128+16 144+16 160+16 176+16 192+16 "
            "208+16 224+16 240+16");
        row("one stream", 300000, k16, 1, "", "");
        row("two pieces", 32768, k16, 4, "", "");
        row("a piece and a byte", 32769, k16, 4, "", "0+1 1+1 2+1");
        // Of a kept copy, the pieces that are not good, in runs cut like those of a new file;
        // one stream fetches them too.
        row("kept: two holes", 300000, k16, 2, "1100111111001111111", "2+1 3+1 10+1 11+1");
        row("kept: first and last bad", 300000, k16, 1, "0111111111111111110", "0+1 18+1");
        row("kept: a short copy's first pieces", 300000, k16, 4, "111111111111",
            "12+1 13+1 "
            "14+1 15+1 16+1 17+1 18+1");
        row("kept: one piece of many", 300000, k16, 1, "0000000001", "0+9 10+9");
    }
    void ranges()
    {
        QFETCH(quint64, length);
        QFETCH(quint64, piece);
        QFETCH(int, streams);
        QFETCH(QString, kept);
        QFETCH(QString, ranges);
        QBitArray good(kept.size());
        for (int i = 0; i < kept.size(); ++i)
            good.setBit(i, kept[i] == '1');
        if (kept.isEmpty())
            QCOMPARE(RangePlanner::splits(length, piece, streams), !ranges.isEmpty());
        if (ranges.isEmpty())
            return;
        RangePlanner plan(length, piece, streams, good);
        QStringList found;
        quint64 fetched = 0;
        for (int i = 0; i < plan.count(); ++i) {
            QCOMPARE(plan.offset(i) % piece, quint64(0));
            const quint64 end = plan.offset(i) + plan.length(i);
            QVERIFY(end % piece == 0 || end == length);
            found << QString("%1+%2")
                         .arg(plan.offset(i) / piece)
                         .arg((plan.length(i) + piece - 1) / piece);
            fetched += plan.length(i);
        }
        QCOMPARE(found.join(' '), ranges);
        // The kept pieces and the ranges make up the file.
        quint64 keptBytes = 0;
        for (int i = 0; i < good.size(); ++i)
            keptBytes += good.testBit(i) ? qMin(piece, length - i * piece) : 0;
        QCOMPARE(fetched + keptBytes, length);
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
