#include "producttree.h"
#include "taskstate.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// Entry i has size 10^i, so a byte sum tells which entries it covers.
void fill(TaskState* state, int count)
{
    quint64 size = 1;
    for (int i = 0; i < count; ++i, size *= 10) {
        FileSpecification e;
        e.directory = "d";
        e.name = QString("f%1").arg(i);
        e.size = size;
        state->append(e);
    }
}

QString flagsOf(const TaskState& state)
{
    QStringList flags;
    for (int i = 0; i < state.getSize(); ++i)
        flags << QString::number(state.getFlags(i));
    return flags.join(' ');
}

// readyCount readyBound readySize downloadedCount downloadedBound downloadedSize
QString totalsOf(const TaskState& state)
{
    return QString("%1 %2 %3 %4 %5 %6")
        .arg(state.readyCount)
        .arg(state.readyBound)
        .arg(state.readySize)
        .arg(state.downloadedCount)
        .arg(state.downloadedBound)
        .arg(state.downloadedSize);
}

// The totals a scan of the flags gives, computed here without the class under test.
QString scannedTotalsOf(const TaskState& state)
{
    QString parts[2];
    const unsigned int masks[2] = {TaskState::F_READY, TaskState::F_DOWNLOADED};
    for (int m = 0; m < 2; ++m) {
        int count = 0;
        int bound = -1;
        quint64 size = 0;
        bool gap = false;
        for (int i = 0; i < state.getSize(); ++i) {
            FileSpecification e;
            state.get(i, &e);
            if (e.flags & masks[m]) {
                ++count;
                size += e.size;
                if (!gap)
                    bound = i;
            } else {
                gap = true;
            }
        }
        parts[m] = QString("%1 %2 %3").arg(count).arg(bound).arg(size);
    }
    return parts[0] + ' ' + parts[1];
}

} // namespace

class TestTaskState : public QObject
{
    Q_OBJECT

private slots:
    void newStateIsEmpty();
    void sequences_data();
    void sequences();
    void minimumBound_data();
    void minimumBound();
    void aggregateInfo_data();
    void aggregateInfo();
    void initializeResetsTotals();
    void randomSessionsKeepInvariants_data();
    void randomSessionsKeepInvariants();
};

void TestTaskState::newStateIsEmpty()
{
    TaskState state;
    QCOMPARE(state.getSize(), 0);
    QCOMPARE(totalsOf(state), QString("0 -1 0 0 -1 0"));
    QCOMPARE(state.getTotalSize(), quint64(0));
    QCOMPARE(state.getNextFileMarkPending(), -1);
    state.updateCompletionInfo();
    QCOMPARE(totalsOf(state), QString("0 -1 0 0 -1 0"));
}

// Operations: R<i> markReady, D<i> markDownloaded, n<i> / N<i> markNoFile without / with update,
// u<i> resetPendingMark, x resetMarks, c updateCompletionInfo, s<i>=<f> setFlags,
// p=<i> getNextFileMarkPending must return i.
void TestTaskState::sequences_data()
{
    QTest::addColumn<int>("entries");
    QTest::addColumn<QString>("operations");
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QString>("totals");

    QTest::newRow("hand out in order") << 3 << "p=0 p=1 p=2 p=-1"
                                       << "2 2 2"
                                       << "0 -1 0 0 -1 0";
    QTest::newRow("a given-up file is handed out again") << 3 << "p=0 p=1 p=2 u1 p=1 p=-1"
                                                         << "2 2 2"
                                                         << "0 -1 0 0 -1 0";
    QTest::newRow("bound waits for the gap") << 3 << "R1"
                                             << "0 5 0"
                                             << "1 -1 10 1 -1 10";
    QTest::newRow("gap filled") << 3 << "R1 R0"
                                << "5 5 0"
                                << "2 1 11 2 1 11";
    QTest::newRow("all ready") << 3 << "R1 R0 R2"
                               << "5 5 5"
                               << "3 2 111 3 2 111";
    QTest::newRow("ready twice counts once") << 3 << "R1 R1 R1"
                                             << "0 5 0"
                                             << "1 -1 10 1 -1 10";
    QTest::newRow("downloaded twice counts once") << 3 << "D0 D0"
                                                  << "4 0 0"
                                                  << "0 -1 0 1 0 1";
    QTest::newRow("downloaded on a ready entry only clears pending") << 3 << "R0 s0=7 D0"
                                                                     << "5 0 0"
                                                                     << "1 0 1 1 0 1";
    QTest::newRow("ready after downloaded") << 3 << "D2 R2"
                                            << "0 0 5"
                                            << "1 -1 100 1 -1 100";
    QTest::newRow("pending then ready") << 3 << "p=0 p=1 R0"
                                        << "5 2 0"
                                        << "1 0 1 1 0 1";
    QTest::newRow("downloaded-only entries are not handed out") << 4 << "D0 D2 p=1 p=3 p=-1"
                                                                << "4 2 4 2"
                                                                << "0 -1 0 2 0 101";
    QTest::newRow("ready entries are not handed out") << 4 << "R0 R2 p=1 p=3 p=-1"
                                                      << "5 2 5 2"
                                                      << "2 0 101 2 0 101";
    QTest::newRow("pending then downloaded is not handed out again") << 3 << "p=0 D0 p=1"
                                                                     << "4 2 0"
                                                                     << "0 -1 0 1 0 1";
    QTest::newRow("reset marks leaves totals until recomputed") << 3 << "R0 R1 p=2 x"
                                                                << "0 0 0"
                                                                << "2 1 11 2 1 11";
    QTest::newRow("recomputed after reset") << 3 << "R0 R1 p=2 x c"
                                            << "0 0 0"
                                            << "0 -1 0 0 -1 0";
    QTest::newRow("stale ready bound limits the hand-out") << 3 << "R0 R1 x p=2 p=-1"
                                                           << "0 0 2"
                                                           << "2 1 11 2 1 11";
    QTest::newRow("recomputed bound lets all be handed out") << 3 << "R0 R1 x c p=0 p=1"
                                                             << "2 2 0"
                                                             << "0 -1 0 0 -1 0";
    QTest::newRow("no file keeps downloaded") << 3 << "D1 n1"
                                              << "0 4 0"
                                              << "0 -1 0 1 -1 10";
    QTest::newRow("no file clears ready and pending without recount") << 3 << "R0 R1 s2=2 n1 n2"
                                                                      << "5 4 0"
                                                                      << "2 1 11 2 1 11";
    QTest::newRow("no file with update recounts") << 3 << "R0 R1 R2 N1"
                                                  << "5 4 5"
                                                  << "2 0 101 3 2 111";
    QTest::newRow("no file on a pending entry puts it back") << 3 << "p=0 p=1 N0 p=0"
                                                             << "2 2 0"
                                                             << "0 -1 0 0 -1 0";
    QTest::newRow("verification pass") << 4 << "p=0 R1 x R0 D2 n1 n3 c"
                                       << "5 0 4 0"
                                       << "1 0 1 2 0 101";
    QTest::newRow("after verification the first unmarked is next")
        << 4 << "x R0 D2 n1 n3 c p=1 p=3 p=-1"
        << "5 2 4 2"
        << "1 0 1 2 0 101";
    QTest::newRow("download completes") << 3 << "x D1 c p=0 p=2 R2 R0 p=-1"
                                        << "5 4 5"
                                        << "2 0 101 3 2 111";
    QTest::newRow("reset pending of a ready entry") << 2 << "R0 u0"
                                                    << "5 0"
                                                    << "1 0 1 1 0 1";
}

void TestTaskState::sequences()
{
    QFETCH(int, entries);
    QFETCH(QString, operations);
    QFETCH(QString, flags);
    QFETCH(QString, totals);

    TaskState state;
    fill(&state, entries);
    bool inPass = false;
    const QStringList ops = operations.split(' ', Qt::SkipEmptyParts);
    for (const QString& op : ops) {
        const QChar kind = op[0];
        const QStringList args = op.mid(1).split('=');
        const int index = args[0].toInt();
        if (kind == 'R') {
            state.markReady(index);
        } else if (kind == 'D') {
            state.markDownloaded(index);
        } else if (kind == 'n') {
            state.markNoFile(index, false);
            inPass = true;
        } else if (kind == 'N') {
            state.markNoFile(index, true);
            inPass = false;
        } else if (kind == 'u') {
            state.resetPendingMark(index);
        } else if (kind == 'x') {
            state.resetMarks();
            inPass = true;
        } else if (kind == 'c') {
            state.updateCompletionInfo();
            inPass = false;
        } else if (kind == 's') {
            state.setFlags(index, args.value(1).toUInt());
        } else if (kind == 'p') {
            QVERIFY2(args.size() == 2, qPrintable(op));
            QCOMPARE(state.getNextFileMarkPending(), args[1].toInt());
        } else {
            QFAIL(qPrintable("unknown operation " + op));
        }
        if (!inPass)
            QVERIFY2(totalsOf(state) == scannedTotalsOf(state), qPrintable("after " + op));
    }
    QCOMPARE(flagsOf(state), flags);
    QCOMPARE(totalsOf(state), totals);
    QCOMPARE(state.getTotalSize(), quint64(QString(entries, '1').toULongLong()));
}

void TestTaskState::minimumBound_data()
{
    QTest::addColumn<QList<unsigned int>>("flags");
    QTest::addColumn<unsigned int>("mask");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("bound");

    using L = QList<unsigned int>;
    QTest::newRow("empty list") << L{} << 1u << -1 << -1;
    QTest::newRow("first lacks the mark") << L{0, 1, 1} << 1u << -1 << -1;
    QTest::newRow("run from the start") << L{1, 5, 0, 1} << 1u << -1 << 1;
    QTest::newRow("start itself is not looked at") << L{0, 0, 1, 1} << 1u << 1 << 3;
    QTest::newRow("never below start") << L{0, 0, 0} << 1u << 2 << 2;
    QTest::newRow("any bit of the mask") << L{4, 1, 2, 0} << 5u << -1 << 1;
    QTest::newRow("whole list") << L{7, 7, 7} << 4u << -1 << 2;
    QTest::newRow("pending is not ready") << L{2, 1} << 1u << -1 << -1;
}

void TestTaskState::minimumBound()
{
    QFETCH(QList<unsigned int>, flags);
    QFETCH(unsigned int, mask);
    QFETCH(int, start);
    QFETCH(int, bound);

    TaskState state;
    fill(&state, flags.size());
    for (int i = 0; i < flags.size(); ++i)
        state.setFlags(i, flags[i]);
    QCOMPARE(state.getTaskListMinimumBound(mask, start), bound);
}

void TestTaskState::aggregateInfo_data()
{
    QTest::addColumn<QList<unsigned int>>("flags");
    QTest::addColumn<unsigned int>("mask");
    QTest::addColumn<int>("bound");
    QTest::addColumn<int>("count");
    QTest::addColumn<quint64>("size");

    using L = QList<unsigned int>;
    QTest::newRow("ready, not, ready") << L{1, 0, 1} << 1u << 0 << 2 << quint64(101);
    QTest::newRow("none") << L{0, 2, 4} << 1u << -1 << 0 << quint64(0);
    QTest::newRow("empty list") << L{} << 7u << -1 << 0 << quint64(0);
    QTest::newRow("gap at the start") << L{0, 4, 4} << 4u << -1 << 2 << quint64(110);
    QTest::newRow("all") << L{5, 5, 5, 5} << 4u << 3 << 4 << quint64(1111);
    QTest::newRow("mask of several bits") << L{2, 4, 0, 1} << 6u << 1 << 2 << quint64(11);
}

void TestTaskState::aggregateInfo()
{
    QFETCH(QList<unsigned int>, flags);
    QFETCH(unsigned int, mask);
    QFETCH(int, bound);
    QFETCH(int, count);
    QFETCH(quint64, size);

    TaskState state;
    fill(&state, flags.size());
    for (int i = 0; i < flags.size(); ++i)
        state.setFlags(i, flags[i]);
    int gotBound = 99, gotCount = 99;
    quint64 gotSize = 99;
    state.getTaskAggregateInfo(mask, &gotBound, &gotCount, &gotSize);
    QCOMPARE(gotBound, bound);
    QCOMPARE(gotCount, count);
    QCOMPARE(gotSize, size);
    // The bound is where repeated advancing from -1 ends.
    QCOMPARE(state.getTaskListMinimumBound(mask, -1), bound);
}

void TestTaskState::initializeResetsTotals()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString good = dir.filePath("good.ini");
    const QString bad = dir.filePath("bad.ini");
    QVERIFY(writeFile(good, "[a]\nf=m::5\ng=n::7\n"));
    QVERIFY(writeFile(bad, "[a]\nf=m::5::x\n"));

    TaskState state;
    state.readyCount = 3;
    state.readyBound = 2;
    state.readySize = 30;
    state.downloadedCount = 4;
    state.downloadedBound = 3;
    state.downloadedSize = 40;
    QVERIFY(!state.initializeByProductIni(bad));
    QCOMPARE(totalsOf(state), QString("3 2 30 4 3 40"));

    TaskState fresh = state;
    QVERIFY(fresh.initializeByProductIni(good));
    QCOMPARE(totalsOf(fresh), QString("0 -1 0 0 -1 0"));
    QCOMPARE(fresh.getSize(), 2);
    QCOMPARE(fresh.getTotalSize(), quint64(12));
    QCOMPARE(fresh.getNextFileMarkPending(), 0);
}

void TestTaskState::randomSessionsKeepInvariants_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {1u, 2u, 3u, 42u, 1000u})
        QTest::newRow(qPrintable(QString("seed %1").arg(seed))) << seed;
}

// A session's life in random order: hand-outs, finished and given-up downloads, and now and then
// a verification pass. Whatever happens, the totals match the flags, the bounds only grow between
// passes, and the next file handed out is the lowest unmarked one.
void TestTaskState::randomSessionsKeepInvariants()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    const int n = 12;
    TaskState state;
    fill(&state, n);
    QList<int> pending;
    int lastReadyBound = -1, lastDownloadedBound = -1;

    for (int step = 0; step < 400; ++step) {
        const int choice = random.bounded(10);
        if (choice < 4) {
            int expected = -1;
            for (int i = state.readyBound + 1; i < n && expected < 0; ++i) {
                if ((state.getFlags(i) & 7) == 0)
                    expected = i;
            }
            const int got = state.getNextFileMarkPending();
            QCOMPARE(got, expected);
            if (got >= 0) {
                QCOMPARE(state.getFlags(got), unsigned(TaskState::F_PENDING));
                pending << got;
            }
        } else if (choice < 7 && !pending.isEmpty()) {
            state.markReady(pending.takeAt(random.bounded(int(pending.size()))));
        } else if (choice < 9 && !pending.isEmpty()) {
            const int index = pending.takeAt(random.bounded(int(pending.size())));
            state.resetPendingMark(index);
            QCOMPARE(state.getFlags(index), 0u);
        } else if (choice == 9) {
            // Verification: each entry found installed, downloaded, or nowhere.
            state.resetMarks();
            pending.clear();
            for (int i = 0; i < n; ++i) {
                const int found = random.bounded(3);
                if (found == 0)
                    state.markReady(i);
                else if (found == 1)
                    state.markDownloaded(i);
                else
                    state.markNoFile(i, false);
            }
            state.updateCompletionInfo();
            lastReadyBound = state.readyBound;
            lastDownloadedBound = state.downloadedBound;
        }
        QCOMPARE(totalsOf(state), scannedTotalsOf(state));
        QVERIFY(state.readyBound >= lastReadyBound);
        QVERIFY(state.downloadedBound >= lastDownloadedBound);
        QVERIFY(state.readyCount <= state.downloadedCount);
        lastReadyBound = state.readyBound;
        lastDownloadedBound = state.downloadedBound;
    }
}

QTEST_GUILESS_MAIN(TestTaskState)
#include "tst_session_taskstate.moc"
