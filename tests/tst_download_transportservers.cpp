// The test servers themselves, against plain sockets: the client tests trust their logs.
// vsftpd's and squid's logs are checked against each other by the FTP and proxy tests.
#include "producttree.h"
#include "testservers.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// A blocking exchange with a server process (not with the in-process fault server).
QByteArray httpExchange(quint16 port, const QByteArray& request)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(3000))
        return QByteArray();
    s.write(request);
    QByteArray answer;
    while (s.waitForReadyRead(3000))
        answer += s.readAll();
    return answer;
}

} // namespace

class TestServersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void nginxServesAndLogs();
    void faultServerRoutes_data();
    void faultServerRoutes();
};

void TestServersTest::nginxServesAndLogs()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("d/a b.txt"), "hello"));
    NginxServer nginx;
    QVERIFY2(nginx.start(root.path()), qPrintable(nginx.output()));
    const QByteArray answer =
        httpExchange(nginx.port(), "GET /d/a%20b.txt HTTP/1.0\r\nHost: x\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());
    QVERIFY(answer.endsWith("\r\n\r\nhello"));
    QTRY_COMPARE(nginx.requestedPaths(), QStringList{"/d/a%20b.txt"});
    QCOMPARE(nginx.accessEntries().value(0).status, 200);
    QCOMPARE(nginx.accessEntries().value(0).bodyBytes, 5);
}

void TestServersTest::faultServerRoutes_data()
{
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<QByteArray>("expectedStart");
    QTest::addColumn<QByteArray>("expectedBody");
    QTest::addColumn<bool>("expectClosed");
    QTest::newRow("ok") << FaultRoute::ok("abc") << QByteArray("HTTP/1.1 200 OK")
                        << QByteArray("abc") << false;
    QTest::newRow("500") << FaultRoute::withStatus(500, "e") << QByteArray("HTTP/1.1 500")
                         << QByteArray("e") << false;
    QTest::newRow("reset") << FaultRoute::resetAt("abcdef", 2) << QByteArray("HTTP/1.1 200")
                           << QByteArray("ab") << true;
    QTest::newRow("stall") << FaultRoute::stallAt("abcdef", 3) << QByteArray("HTTP/1.1 200")
                           << QByteArray("abc") << false;
    QTest::newRow("drip") << FaultRoute::drip("abcd", 1, 10) << QByteArray("HTTP/1.1 200")
                          << QByteArray("abcd") << false;
}

void TestServersTest::faultServerRoutes()
{
    QFETCH(FaultRoute, route);
    QFETCH(QByteArray, expectedStart);
    QFETCH(QByteArray, expectedBody);
    QFETCH(bool, expectClosed);
    FaultServer server;
    QVERIFY(server.start());
    server.setRoute("/x", route);
    QTcpSocket s;
    QByteArray answer;
    connect(&s, &QTcpSocket::readyRead, this, [&] { answer += s.readAll(); });
    s.connectToHost(QHostAddress::LocalHost, server.port());
    s.write("GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
    QTRY_VERIFY(answer.endsWith("\r\n\r\n" + expectedBody));
    QVERIFY2(answer.startsWith(expectedStart), answer.constData());
    if (expectClosed)
        QTRY_COMPARE(s.state(), QAbstractSocket::UnconnectedState);
    else
        QCOMPARE(s.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(server.requests(), QStringList{"GET /x HTTP/1.1"});
    QCOMPARE(server.requestHeaders().value(0).value("host"), QByteArray("h"));
}

QTEST_GUILESS_MAIN(TestServersTest)
#include "tst_download_transportservers.moc"
