#include "udpresponder.h"
#include "updatechecker.h"

#include <QElapsedTimer>
#include <QTest>

class UpdateCheckerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void query_data();
    void query();
};

void UpdateCheckerTest::query_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QList<QByteArray>>("replies"); // one query each; empty list: silent server
    QTest::addColumn<QByteArray>("outcome");        // answered|client|server|apps after the last
    QTest::addColumn<int>("minMs");

    const auto row = [](const char* name, const QList<QByteArray>& replies, const char* outcome,
                        int minMs = 0, const char* host = "127.0.0.1") {
        QTest::newRow(name) << QString(host) << replies << QByteArray(outcome) << minMs;
    };
    row("three fields, fourth dropped", {"3,4,5,6"}, "1|3|4|5");
    row("runs of separators", {",,12,,,7,"}, "1|12|7|");
    row("empty datagram", {""}, "1|||");
    row("NUL ends the text", {QByteArray("8,9\0,10", 7)}, "1|8|9|");
    // Only the first 31 bytes are read, so the third field is cut after its 9th byte.
    row("cut at 31 bytes", {"1234567890,1234567890,1234567890ABCDEFGH"},
        "1|1234567890|1234567890|123456789");
    row("field crossing byte 31", {"1," + QByteArray(38, 'x')}, "1|1|" + QByteArray(29, 'x') + "|");
    row("later reply overwrites field by field", {"1,2,3", "9"}, "1|9|2|3");
    row("no reply fails after 5 s", {}, "0|||", 4900);
    // An empty label is refused by the resolver itself: nothing leaves the machine.
    row("unresolvable host fails at once", {"1"}, "0|||", 0, "bad..invalid");
}

void UpdateCheckerTest::query()
{
    QFETCH(QString, host);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(QByteArray, outcome);
    QFETCH(int, minMs);

    UdpResponder responder;
    QVERIFY(responder.isListening());
    responder.setSilent(replies.isEmpty());
    UpdateChecker checker(host.toLatin1(), responder.port());
    QElapsedTimer clock;
    clock.start();
    bool answered = false;
    for (const QByteArray& reply : replies.isEmpty() ? QList<QByteArray>{{}} : replies) {
        responder.setReply(reply);
        answered = checker.checkUpdate();
    }
    QVERIFY2(clock.elapsed() >= minMs && clock.elapsed() < minMs + 1600,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(QByteArrayList({answered ? "1" : "0", checker.getClientVersion(),
                             checker.getServerVersion(), checker.getAppsVersion()})
                 .join('|'),
             outcome);
    // Each query is the two bytes "2\0".
    const QList<QByteArray> expected(host == "127.0.0.1" ? qMax(replies.size(), 1) : 0,
                                     QByteArray("2\0", 2));
    QCOMPARE(responder.requests(), expected);
}

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "tst_startup_updatechecker.moc"
