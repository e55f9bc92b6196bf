#include "producttree.h"
#include "taskstate.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace
{

// Entry i has size 10^i, so a byte sum tells which entries it covers.
void fill(TaskState* state, const QList<unsigned int>& flags)
{
    quint64 size = 1;
    for (int i = 0; i < flags.size(); ++i, size *= 10) {
        FileSpecification e;
        e.name = QString("f%1").arg(i);
        e.size = size;
        e.flags = flags[i];
        state->append(e);
    }
}

// readyCount readyBound readySize downloadedCount downloadedBound downloadedSize
QString totalsOf(const TaskState& s)
{
    return QString::asprintf("%d %d %llu %d %d %llu", s.readyCount, s.readyBound, s.readySize,
                             s.downloadedCount, s.downloadedBound, s.downloadedSize);
}

// "count bound size" of the entries carrying any bit of the mask, found without the class.
QString scan(const TaskState& state, unsigned int mask)
{
    int count = 0, bound = -1;
    quint64 size = 0;
    for (int i = 0; i < state.getSize(); ++i) {
        if (state.getFlags(i) & mask) {
            ++count;
            size += quint64(std::pow(10, i));
            bound += bound == i - 1;
        }
    }
    return QString("%1 %2 %3").arg(count).arg(bound).arg(size);
}

} // namespace

class TestTaskState : public QObject
{
    Q_OBJECT

private slots:
    void sequences_data();
    void sequences();
    void boundsAndAggregates_data();
    void boundsAndAggregates();
    void initializeResetsTotals();
};

// Each row: operations | flags afterwards | totals afterwards. The flags also give the entry count.
// Operations: R<i> markReady, D<i> markDownloaded, n<i> / N<i> markNoFile without / with update,
// u<i> resetPendingMark, x resetMarks, c updateCompletionInfo, s<i>=<f> setFlags,
// p=<i> getNextFileMarkPending must return i.
void TestTaskState::sequences_data()
{
    QTest::addColumn<QString>("row");
    QTest::newRow("empty") << "p=-1 c | | 0 -1 0 0 -1 0";
    QTest::newRow("given-up file handed out again")
        << "p=0 p=1 p=2 u1 p=1 p=-1 | 2 2 2 | 0 -1 0 0 -1 0";
    QTest::newRow("bound waits for the gap") << "R1 R1 | 0 5 0 | 1 -1 10 1 -1 10";
    QTest::newRow("gap filled") << "R1 R0 | 5 5 0 | 2 1 11 2 1 11";
    QTest::newRow("marked entries not handed out")
        << "D0 R2 p=1 p=3 p=-1 | 4 2 5 2 | 1 -1 100 2 0 101";
    QTest::newRow("pending then downloaded") << "p=0 D0 p=1 | 4 2 0 | 0 -1 0 1 0 1";
    QTest::newRow("stale bound limits hand-out") << "R0 R1 x p=2 p=-1 | 0 0 2 | 2 1 11 2 1 11";
    QTest::newRow("recomputed after reset") << "R0 R1 x c p=0 p=1 | 2 2 0 | 0 -1 0 0 -1 0";
    QTest::newRow("no file keeps downloaded") << "D1 n1 | 0 4 0 | 0 -1 0 1 -1 10";
    QTest::newRow("no file without recount") << "R0 R1 s2=2 n1 n2 | 5 4 0 | 2 1 11 2 1 11";
    QTest::newRow("no file with recount") << "R0 R1 R2 N1 | 5 4 5 | 2 0 101 3 2 111";
    QTest::newRow("no file returns pending") << "p=0 p=1 N0 p=0 | 2 2 0 | 0 -1 0 0 -1 0";
    QTest::newRow("verification, then next")
        << "p=0 R1 x R0 D2 n1 n3 c p=1 p=3 p=-1 | 5 2 4 2 | 1 0 1 2 0 101";
}

void TestTaskState::sequences()
{
    QFETCH(QString, row);
    const QStringList parts = row.split('|');
    const int entries = parts[1].split(' ', Qt::SkipEmptyParts).size();

    TaskState state;
    fill(&state, QList<unsigned int>(entries, 0));
    bool inPass = false;
    for (const QString& op : parts[0].split(' ', Qt::SkipEmptyParts)) {
        const QChar kind = op[0];
        const QStringList args = op.mid(1).split('=');
        const int index = args[0].toInt();
        if (kind == 'R')
            state.markReady(index);
        else if (kind == 'D')
            state.markDownloaded(index);
        else if (kind == 'n' || kind == 'N')
            state.markNoFile(index, kind == 'N');
        else if (kind == 'u')
            state.resetPendingMark(index);
        else if (kind == 'x')
            state.resetMarks();
        else if (kind == 'c')
            state.updateCompletionInfo();
        else if (kind == 's')
            state.setFlags(index, args.value(1).toUInt());
        else if (kind == 'p')
            QCOMPARE(state.getNextFileMarkPending(), args.value(1).toInt());
        else
            QFAIL(qPrintable("unknown operation " + op));
        // Within a verification pass the totals lag behind the flags on purpose.
        inPass = QString("nx").contains(kind) || (inPass && !QString("Nc").contains(kind));
        const QString scanned =
            scan(state, TaskState::F_READY) + ' ' + scan(state, TaskState::F_DOWNLOADED);
        QVERIFY2(inPass || totalsOf(state) == scanned, qPrintable("after " + op));
    }
    QStringList got;
    for (int i = 0; i < state.getSize(); ++i)
        got << QString::number(state.getFlags(i));
    QCOMPARE(got.join(' ') + " | " + totalsOf(state),
             parts[1].trimmed() + " | " + parts[2].trimmed());
}

void TestTaskState::boundsAndAggregates_data()
{
    QTest::addColumn<QList<unsigned int>>("flags");
    QTest::addColumn<unsigned int>("mask");
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("expected"); // bound | count bound size

    using L = QList<unsigned int>;
    QTest::newRow("first lacks the mark") << L{0, 1, 1} << 1u << -1 << "-1 | 2 -1 110";
    QTest::newRow("run from the start") << L{1, 5, 0, 1} << 1u << -1 << "1 | 3 1 1011";
    QTest::newRow("start is not looked at") << L{0, 0, 1, 1} << 1u << 1 << "3 | 2 -1 1100";
    QTest::newRow("never below start") << L{0, 0, 0} << 1u << 2 << "2 | 0 -1 0";
    QTest::newRow("any bit of the mask") << L{4, 1, 2, 0} << 5u << -1 << "1 | 2 1 11";
    QTest::newRow("pending is not ready") << L{2, 1} << 1u << -1 << "-1 | 1 -1 10";
}

void TestTaskState::boundsAndAggregates()
{
    QFETCH(QList<unsigned int>, flags);
    QFETCH(unsigned int, mask);
    QFETCH(int, start);
    QFETCH(QString, expected);

    TaskState state;
    fill(&state, flags);
    int bound = 99, count = 99;
    quint64 size = 99;
    state.getTaskAggregateInfo(mask, &bound, &count, &size);
    const int min = state.getTaskListMinimumBound(mask, start);
    QCOMPARE(QString::asprintf("%d | %d %d %llu", min, count, bound, size), expected);
}

void TestTaskState::initializeResetsTotals()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("good.ini"), "[a]\nf=m::5\ng=n::7\n") &&
            writeFile(dir.filePath("bad.ini"), "[a]\nf=m::5::x\n"));
    TaskState state;
    fill(&state, {0, 0});
    state.markReady(0);
    state.markDownloaded(1);
    QVERIFY(!state.initializeByProductIni(dir.filePath("bad.ini")));
    QCOMPARE(totalsOf(state), QString("1 0 1 2 1 11"));

    QVERIFY(state.initializeByProductIni(dir.filePath("good.ini")));
    QCOMPARE(totalsOf(state), QString("0 -1 0 0 -1 0"));
    QCOMPARE(state.getTotalSize(), quint64(1 + 10 + 5 + 7));
    QCOMPARE(state.getNextFileMarkPending(), 2);
}

QTEST_GUILESS_MAIN(TestTaskState)
#include "tst_session_taskstate.moc"
