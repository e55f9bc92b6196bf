// The test servers themselves: later tests trust their logs, so check them against plain sockets.
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

QByteArray ftpLine(QTcpSocket& s)
{
    QByteArray line;
    while (!line.endsWith('\n')) {
        if (!s.canReadLine() && !s.waitForReadyRead(3000))
            return line;
        line += s.readLine();
        // Multi-line replies: "230-..." continue until "230 ".
        if (line.size() > 3 && line[3] == '-' && line.endsWith('\n')) {
            line.clear();
        }
    }
    return line;
}

} // namespace

class TestServersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void nginxServesAndLogs();
    void nginxBasicAuth();
    void vsftpdLogins_data();
    void vsftpdLogins();
    void squidProxiesToNginx();
    void faultServerRoutes_data();
    void faultServerRoutes();
    void stoppedServerFreesPort();
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

void TestServersTest::nginxBasicAuth()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("f"), "x"));
    NginxServer nginx;
    nginx.setBasicAuth("ann", "pw");
    QVERIFY(nginx.start(root.path()));
    QVERIFY(httpExchange(nginx.port(), "GET /f HTTP/1.0\r\n\r\n").startsWith("HTTP/1.1 401"));
    QVERIFY(httpExchange(nginx.port(), "GET /f HTTP/1.0\r\nAuthorization: Basic " +
                                           QByteArray("ann:pw").toBase64() + "\r\n\r\n")
                .startsWith("HTTP/1.1 200"));
    QTRY_COMPARE(nginx.accessEntries().size(), 2);
    QCOMPARE(nginx.accessEntries()[1].user, QString("ann"));
}

void TestServersTest::vsftpdLogins_data()
{
    QTest::addColumn<bool>("passwordUser");
    QTest::addColumn<bool>("useRealUser");
    QTest::addColumn<bool>("rightPassword");
    QTest::addColumn<QByteArray>("expectedReply");
    QTest::newRow("anonymous") << false << false << true << QByteArray("230");
    QTest::newRow("password user") << true << true << true << QByteArray("230");
    QTest::newRow("wrong password") << true << true << false << QByteArray("530");
}

void TestServersTest::vsftpdLogins()
{
    QFETCH(bool, passwordUser);
    QFETCH(bool, useRealUser);
    QFETCH(bool, rightPassword);
    QFETCH(QByteArray, expectedReply);
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("sub/file.bin"), "content"));
    VsftpdServer ftp;
    QVERIFY2(ftp.start(root.path(), passwordUser), qPrintable(ftp.output()));

    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, ftp.port());
    QVERIFY(s.waitForConnected(3000));
    QVERIFY(ftpLine(s).startsWith("220"));
    const QByteArray user = useRealUser ? ftp.userName().toUtf8() : QByteArray("anonymous");
    const QByteArray pass = rightPassword ? ftp.password().toUtf8() : QByteArray("wrong");
    s.write("USER " + user + "\r\n");
    QByteArray reply = ftpLine(s);
    if (reply.startsWith("331")) {
        s.write("PASS " + pass + "\r\n");
        reply = ftpLine(s);
    }
    QVERIFY2(reply.startsWith(expectedReply), reply.constData());
    if (expectedReply == "230") {
        s.write("SIZE /sub/file.bin\r\n");
        QCOMPARE(ftpLine(s).trimmed(), QByteArray("213 7"));
    }
    s.write("QUIT\r\n");
    ftpLine(s);
    QTRY_COMPARE(ftp.loginCount(), expectedReply == "230" ? 1 : 0);
    QCOMPARE(ftp.failedLoginCount(), expectedReply == "230" ? 0 : 1);
    QCOMPARE(ftp.commands().value(0), "USER " + QString::fromUtf8(user));
}

void TestServersTest::squidProxiesToNginx()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("p.txt"), "proxied"));
    NginxServer nginx;
    QVERIFY(nginx.start(root.path()));
    SquidServer squid;
    QVERIFY2(squid.start(), qPrintable(squid.output()));
    const QByteArray url = nginx.baseUrl().toUtf8() + "/p.txt";
    const QByteArray answer = httpExchange(
        squid.port(), "GET " + url + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());
    QVERIFY(answer.endsWith("proxied"));
    QTRY_COMPARE(squid.requests(), QStringList{"GET " + QString::fromUtf8(url)});
    QCOMPARE(nginx.requestedPaths(), QStringList{"/p.txt"});
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

void TestServersTest::stoppedServerFreesPort()
{
    QTemporaryDir root;
    NginxServer nginx;
    QVERIFY(nginx.start(root.path()));
    const quint16 port = nginx.port();
    QVERIFY(nginx.isRunning());
    nginx.stop();
    QVERIFY(!nginx.isRunning());
    QVERIFY(testservers::waitForPortClosed(port, 100));
}

QTEST_GUILESS_MAIN(TestServersTest)
#include "tst_download_transportservers.moc"
