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
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QList<QByteArray>>("fields"); // client, server, apps after the last query
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    using L = QList<QByteArray>;
    const QString local = "127.0.0.1";
    const auto row = [&](const char* name, const L& replies, const L& fields) {
        QTest::newRow(name) << local << replies << true << fields << 0 << 1000;
    };
    row("three fields, fourth dropped", {"3,4,5,6"}, {"3", "4", "5"});
    row("leading separator", {",57"}, {"57", "", ""});
    row("runs of separators", {",,12,,,7,"}, {"12", "7", ""});
    row("empty datagram", {""}, {"", "", ""});
    row("NUL ends the text", {QByteArray("8,9\0,10", 7)}, {"8", "9", ""});
    // Only the first 31 bytes are read, so the third field is cut after its 9th byte.
    row("cut at 31 bytes", {"1234567890,1234567890,1234567890ABCDEFGH"},
        {"1234567890", "1234567890", "123456789"});
    row("field crossing byte 31", {"1," + QByteArray(38, 'x')}, {"1", QByteArray(29, 'x'), ""});
    row("later reply overwrites field by field", {"1,2,3", "9"}, {"9", "2", "3"});
    QTest::newRow("no reply fails after 5 s")
        << local << L{} << false << L{"", "", ""} << 4900 << 6500;
    // An empty label is refused by the resolver itself: nothing leaves the machine.
    QTest::newRow("unresolvable host fails at once")
        << "bad..invalid" << L{"1"} << false << L{"", "", ""} << 0 << 1000;
}

void UpdateCheckerTest::query()
{
    QFETCH(QString, host);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(bool, answered);
    QFETCH(QList<QByteArray>, fields);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    UdpResponder responder;
    QVERIFY(responder.isListening());
    responder.setSilent(replies.isEmpty());
    UpdateChecker checker(host.toLatin1(), responder.port());
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray& reply : replies.isEmpty() ? QList<QByteArray>{{}} : replies) {
        responder.setReply(reply);
        QCOMPARE(checker.checkUpdate(), answered);
    }
    QVERIFY2(clock.elapsed() >= minMs && clock.elapsed() < maxMs,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE((QList<QByteArray>{checker.getClientVersion(), checker.getServerVersion(),
                                checker.getAppsVersion()}),
             fields);
    // Each query is the two bytes "2\0".
    const QList<QByteArray> expected(host == "127.0.0.1" ? qMax(replies.size(), 1) : 0,
                                     QByteArray("2\0", 2));
    QCOMPARE(responder.requests(), expected);
}

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "tst_startup_updatechecker.moc"
