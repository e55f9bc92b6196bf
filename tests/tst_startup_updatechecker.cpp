#include "udpresponder.h"
#include "updatechecker.h"

#include <QElapsedTimer>
#include <QTest>

class UpdateCheckerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void replyParsing_data();
    void replyParsing();
    void requestIsTwoBytes();
    void laterReplyOverwritesFieldByField();
    void noReplyFailsAfterFiveSeconds();
    void unresolvableHostFailsAtOnce();
};

void UpdateCheckerTest::replyParsing_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("client");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("apps");

    QTest::newRow("three fields, fourth dropped")
        << QByteArray("3,4,5,6") << QByteArray("3") << QByteArray("4") << QByteArray("5");
    QTest::newRow("one field") << QByteArray("57") << QByteArray("57") << QByteArray()
                               << QByteArray();
    QTest::newRow("leading separator")
        << QByteArray(",57") << QByteArray("57") << QByteArray() << QByteArray();
    QTest::newRow("runs of separators")
        << QByteArray(",,12,,,7,") << QByteArray("12") << QByteArray("7") << QByteArray();
    QTest::newRow("only separators")
        << QByteArray(",,,") << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("empty datagram") << QByteArray() << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("NUL ends the text")
        << QByteArray("8,9\0,10", 7) << QByteArray("8") << QByteArray("9") << QByteArray();
    // 40 bytes: only the first 31 are read, so the third field is cut after its 9th byte.
    QTest::newRow("cut at 31 bytes")
        << QByteArray("1234567890,1234567890,1234567890") + QByteArray("ABCDEFGH")
        << QByteArray("1234567890") << QByteArray("1234567890") << QByteArray("123456789");
    QTest::newRow("field crossing byte 31")
        << QByteArray("1,") + QByteArray(38, 'x') << QByteArray("1") << QByteArray(29, 'x')
        << QByteArray();
}

void UpdateCheckerTest::replyParsing()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, client);
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, apps);

    UdpResponder responder;
    QVERIFY(responder.isListening());
    responder.setReply(reply);
    UpdateChecker checker("127.0.0.1", responder.port());
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersion(), client);
    QCOMPARE(checker.getServerVersion(), server);
    QCOMPARE(checker.getAppsVersion(), apps);
    QCOMPARE(responder.requestCount(), 1);
}

void UpdateCheckerTest::requestIsTwoBytes()
{
    UdpResponder responder;
    responder.setReply("1");
    UpdateChecker checker("127.0.0.1", responder.port());
    QVERIFY(checker.checkUpdate());
    const QList<QByteArray> requests = responder.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first(), QByteArray("2\0", 2));
}

void UpdateCheckerTest::laterReplyOverwritesFieldByField()
{
    UdpResponder responder;
    UpdateChecker checker("127.0.0.1", responder.port());
    responder.setReply("1,2,3");
    QVERIFY(checker.checkUpdate());
    responder.setReply("9");
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersion(), QByteArray("9"));
    QCOMPARE(checker.getServerVersion(), QByteArray("2"));
    QCOMPARE(checker.getAppsVersion(), QByteArray("3"));
}

void UpdateCheckerTest::noReplyFailsAfterFiveSeconds()
{
    UdpResponder responder;
    responder.setSilent(true);
    UpdateChecker checker("127.0.0.1", responder.port());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!checker.checkUpdate());
    QVERIFY2(clock.elapsed() >= 4900 && clock.elapsed() < 6500,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(responder.requestCount(), 1);
    QVERIFY(checker.getClientVersion().isEmpty());
}

void UpdateCheckerTest::unresolvableHostFailsAtOnce()
{
    // An empty label is refused by the resolver itself: nothing leaves the machine.
    UpdateChecker checker("bad..invalid", 17384);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!checker.checkUpdate());
    QVERIFY(clock.elapsed() < 1000);
}

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "tst_startup_updatechecker.moc"
