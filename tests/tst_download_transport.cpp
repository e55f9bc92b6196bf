// HttpClient against nginx, squid and the scripted fault server.
#include "httpclient.h"
#include "producttree.h"
#include "testservers.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

namespace
{

struct Outcome {
    bool finished = false;
    bool error = false;
    TransferError kind = TransferError::None;
    QString text;
};

// Runs setHost (+ setUser) and one get, returns the get's outcome.
Outcome fetch(HttpClient& http, const QString& host, quint16 port, const QString& path,
              QIODevice* out, qint64 limit = -1)
{
    Outcome o;
    http.setHost(host, port);
    const int id = http.get(path, out, limit);
    QObject::connect(&http, &HttpClient::requestFinished, &http, [&](int done, bool error) {
        if (done != id)
            return;
        o.finished = true;
        o.error = error;
        o.kind = http.error();
        o.text = http.errorString();
    });
    QElapsedTimer t;
    t.start();
    while (!o.finished && t.elapsed() < 10000)
        QTest::qWait(10);
    http.disconnect(&http);
    return o;
}

QString ca;

} // namespace

class HttpClientTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void commandsFinishInOrderFromTheEventLoop();
    void failures_data();
    void failures();
    void redirects_data();
    void redirects();
    void awkwardNamesReachTheServerAsThemselves_data();
    void awkwardNamesReachTheServerAsThemselves();
    void proxyRefusesWrongCredentials();
    void environmentProxyIsIgnored();
    void connectionIsReused();
    void abortAndClear_data();
    void abortAndClear();

private:
    QTemporaryDir root;
    NginxServer nginx;
    NginxServer tlsNginx;
    FaultServer fault;
};

void HttpClientTest::initTestCase()
{
    QVERIFY(writeFile(root.filePath("plain.txt"), "plain content"));
    QVERIFY(writeFile(root.filePath("big.bin"), ProductTree::randomBytes(300000, 7)));
    QVERIFY(nginx.start(root.path()));
    QVERIFY(fault.start());
    tlsNginx.setExtraServerConfig(
        QStringLiteral("location = /to-plain { return 302 %1/plain.txt; }").arg(nginx.baseUrl()));
    QVERIFY2(tlsNginx.start(root.path(), true), qPrintable(tlsNginx.output()));
    ca = tlsNginx.caFile();
    transport::setTestTimeouts(2, 1);
}

void HttpClientTest::cleanup()
{
    transport::setTestCaFile(QString());
    fault.clearRoutes();
}

void HttpClientTest::commandsFinishInOrderFromTheEventLoop()
{
    HttpClient http;
    QSignalSpy started(&http, &HttpClient::requestStarted);
    QSignalSpy finished(&http, &HttpClient::requestFinished);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const int a = http.setHost("127.0.0.1", nginx.port());
    const int b = http.setUser("someone", "pw");
    const int c = http.get("/plain.txt", &out);
    QVERIFY(a < b && b < c);
    QCOMPARE(finished.size(), 0); // nothing inside the calls
    QTRY_COMPARE(finished.size(), 3);
    QCOMPARE(started.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(finished[i][0].toInt(), QList<int>({a, b, c})[i]);
        QCOMPARE(finished[i][1].toBool(), false);
    }
    QCOMPARE(out.data(), QByteArray("plain content"));
    QVERIFY(!http.hasPendingRequests());
}

void HttpClientTest::failures_data()
{
    QTest::addColumn<QString>("server"); // "fault", "nginx", "closed" or "unresolvable"
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");        // empty: any text
    QTest::addColumn<QByteArray>("received"); // the data that must have arrived
    const int refused = int(TransferError::Refused);
    const int failed = int(TransferError::Failed);
    const int tooLarge = int(TransferError::TooLarge);
    const int none = int(TransferError::None);
    const QByteArray page = "<html>error page</html>";
    // An error page must never reach the file.
    const auto status = [&](int code, int kind, const char* text) {
        QTest::addRow("%d", code) << "fault" << FaultRoute::withStatus(code, page) << qint64(-1)
                                  << kind << QString(text) << QByteArray();
    };
    status(404, refused, "HTTP 404 Not Found");
    status(408, failed, "HTTP 408 Request Timeout");
    status(500, failed, "HTTP 500 Internal Server Error");

    const QByteArray body = ProductTree::randomBytes(5000, 3);
    const auto fault = [&](const char* tag, const FaultRoute& r, int kind, const QByteArray& got) {
        QTest::newRow(tag) << "fault" << r << qint64(-1) << kind << QString() << got;
    };
    fault("reset mid-body", FaultRoute::resetAt(body, 1000), failed, body.left(1000));
    fault("stall mid-body", FaultRoute::stallAt(body, 1000), failed, body.left(1000));
    FaultRoute shortBody = FaultRoute::resetAt(body, 5000);
    shortBody.contentLength = 6000;
    fault("fewer bytes than announced", shortBody, failed, body);
    // A slow server that keeps sending is not a stalled one (limit: 1 s without a byte).
    fault("slow drip", FaultRoute::drip(body.left(30), 2, 100), none, body.left(30));

    const QByteArray big = ProductTree::randomBytes(300000, 7);
    QTest::newRow("endless body") << "fault" << FaultRoute::endless() << qint64(100000) << tooLarge
                                  << QString() << QByteArray(100000, 'x');
    QTest::newRow("larger file") << "nginx" << FaultRoute() << qint64(299999) << tooLarge
                                 << QString() << big.left(299999);
    QTest::newRow("exactly the limit")
        << "nginx" << FaultRoute() << qint64(300000) << none << QString() << big;
    QTest::newRow("closed port") << "closed" << FaultRoute() << qint64(-1) << failed << QString()
                                 << QByteArray();
    QTest::newRow("name does not resolve")
        << "unresolvable" << FaultRoute() << qint64(-1) << failed << QString() << QByteArray();
}

void HttpClientTest::failures()
{
    QFETCH(QString, server);
    QFETCH(FaultRoute, route);
    QFETCH(qint64, limit);
    QFETCH(int, kind);
    QFETCH(QString, text);
    QFETCH(QByteArray, received);
    fault.setRoute("/f", route);
    QString host = "127.0.0.1";
    quint16 port = fault.port();
    QString path = "/f";
    if (server == "nginx") {
        port = nginx.port();
        path = "/big.bin";
    } else if (server == "closed") {
        port = testservers::freePort();
    } else if (server == "unresolvable") {
        // An empty label: the C library refuses it without asking any name server.
        host = "bad..invalid";
    }
    HttpClient http;
    QSignalSpy finished(&http, &HttpClient::requestFinished);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QElapsedTimer t;
    t.start();
    const Outcome o = fetch(http, host, port, path, &out, limit);
    QVERIFY(o.finished);
    QVERIFY2(t.elapsed() < 8000, "the stall limit must end a silent transfer");
    // setHost itself succeeds: it needs no network.
    QCOMPARE(finished.value(0).value(1).toBool(), false);
    QCOMPARE(int(o.kind), kind);
    QCOMPARE(o.error, kind != int(TransferError::None));
    if (o.error)
        QVERIFY(!o.text.isEmpty());
    if (!text.isEmpty())
        QCOMPARE(o.text, text);
    if (o.error && kind != int(TransferError::TooLarge))
        QVERIFY(out.data().startsWith(received));
    else
        QCOMPARE(out.data(), received); // a limit cuts exactly there
}

void HttpClientTest::redirects_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<QString>("finalTarget"); // "" = a file on the fault server
    QTest::addColumn<bool>("error");
    QTest::newRow("one") << 1 << "" << false;
    QTest::newRow("five") << 5 << "" << false;
    QTest::newRow("six") << 6 << "" << true;
    QTest::newRow("to https") << 1 << "https" << false;
    QTest::newRow("https to http") << 1 << "https-to-http" << true;
    QTest::newRow("to ftp") << 1 << "ftp" << true;
}

void HttpClientTest::redirects()
{
    QFETCH(int, hops);
    QFETCH(QString, finalTarget);
    QFETCH(bool, error);
    transport::setTestCaFile(ca);
    fault.setRoute("/file", FaultRoute::ok("redirected body"));
    QByteArray last = "/file";
    if (finalTarget == "https")
        last = (tlsNginx.baseUrl() + "/plain.txt").toUtf8();
    else if (finalTarget == "https-to-http")
        last = (tlsNginx.baseUrl() + "/to-plain").toUtf8();
    else if (finalTarget == "ftp")
        last = "ftp://127.0.0.1:1/x";
    for (int i = hops; i >= 1; --i) {
        fault.setRoute(QStringLiteral("/r%1").arg(i), FaultRoute::redirect(302, last));
        last = QStringLiteral("/r%1").arg(i).toUtf8();
    }
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o = fetch(http, "127.0.0.1", fault.port(), "/r1", &out);
    QVERIFY(o.finished);
    QCOMPARE(o.error, error);
    if (error) {
        QVERIFY(out.data().isEmpty());
        return;
    }
    QCOMPARE(out.data(),
             finalTarget.isEmpty() ? QByteArray("redirected body") : QByteArray("plain content"));
}

void HttpClientTest::awkwardNamesReachTheServerAsThemselves_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("encoded");
    QTest::newRow("space") << "dir one/a b.txt"
                           << "/dir%20one/a%20b.txt";
    QTest::newRow("hash") << "x/#1.txt"
                          << "/x/%231.txt";
    QTest::newRow("percent") << "100%.txt"
                             << "/100%25.txt";
    QTest::newRow("umlaut") << QString::fromUtf8("\xc3\xa4rger.txt") << "/%C3%A4rger.txt";
}

void HttpClientTest::awkwardNamesReachTheServerAsThemselves()
{
    QFETCH(QString, name);
    QFETCH(QString, encoded);
    QVERIFY(writeFile(root.filePath(name), name.toUtf8()));
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o = fetch(http, "127.0.0.1", nginx.port(), "/" + name, &out);
    QVERIFY2(!o.error, qPrintable(o.text));
    QCOMPARE(out.data(), name.toUtf8());
    QTRY_COMPARE(nginx.requestedPaths().last(), encoded);
}

void HttpClientTest::proxyRefusesWrongCredentials()
{
    SquidServer squid;
    squid.setCredentials("puser", "pw1");
    QVERIFY2(squid.start(), qPrintable(squid.output()));
    HttpClient http;
    http.setProxy("127.0.0.1", squid.port(), "puser", "bad");
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const int before = nginx.requestedPaths().size();
    const Outcome o = fetch(http, "127.0.0.1", nginx.port(), "/plain.txt", &out);
    QCOMPARE(o.kind, TransferError::Refused);
    QCOMPARE(o.text, QString("HTTP 407 Proxy Authentication Required"));
    QTRY_VERIFY(squid.requests().contains("GET " + nginx.baseUrl() + "/plain.txt"));
    QCOMPARE(nginx.requestedPaths().size(), before);
    QCOMPARE(out.size(), 0);
}

void HttpClientTest::environmentProxyIsIgnored()
{
    const quint16 closed = testservers::freePort();
    const QByteArray bogus = "http://127.0.0.1:" + QByteArray::number(closed);
    const char* names[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY"};
    for (const char* name : names)
        qputenv(name, bogus);
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o = fetch(http, "127.0.0.1", nginx.port(), "/plain.txt", &out);
    for (const char* name : names)
        qunsetenv(name);
    QVERIFY2(!o.error, qPrintable(o.text));
    QCOMPARE(out.data(), QByteArray("plain content"));
}

void HttpClientTest::connectionIsReused()
{
    FaultServer fault;
    QVERIFY(fault.start());
    for (int i = 0; i < 5; ++i)
        fault.setRoute(QStringLiteral("/k%1").arg(i), FaultRoute::ok(QByteArray::number(i)));
    HttpClient http;
    http.setHost("127.0.0.1", fault.port());
    QList<QBuffer*> outs;
    QSignalSpy finished(&http, &HttpClient::requestFinished);
    for (int i = 0; i < 5; ++i) {
        outs.append(new QBuffer(&http));
        outs.last()->open(QIODevice::WriteOnly);
        http.get(QStringLiteral("/k%1").arg(i), outs.last());
    }
    QTRY_COMPARE(finished.size(), 6);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(outs[i]->data(), QByteArray::number(i));
    QCOMPARE(fault.requests().size(), 5);
    QCOMPARE(fault.connectionCount(), 1);
}

void HttpClientTest::abortAndClear_data()
{
    QTest::addColumn<bool>("abortRunning"); // else: only clear the pending ones
    QTest::newRow("abort") << true;
    QTest::newRow("clear pending") << false;
}

void HttpClientTest::abortAndClear()
{
    QFETCH(bool, abortRunning);
    fault.setRoute("/slow", FaultRoute::drip(QByteArray(40, 's'), 1, 50));
    fault.setRoute("/next", FaultRoute::ok("next"));
    HttpClient http;
    QSignalSpy finished(&http, &HttpClient::requestFinished);
    QBuffer out1, out2;
    out1.open(QIODevice::WriteOnly);
    out2.open(QIODevice::WriteOnly);
    http.setHost("127.0.0.1", fault.port());
    const int slow = http.get("/slow", &out1);
    const int next = http.get("/next", &out2);
    QTRY_VERIFY(out1.size() > 0);
    if (abortRunning)
        http.abort();
    else
        http.clearPendingRequests();
    QCOMPARE(finished.size(), 1); // only setHost so far; nothing inside the call
    if (abortRunning) {
        QTRY_COMPARE(finished.size(), 2);
        QCOMPARE(finished[1][0].toInt(), slow);
        QCOMPARE(finished[1][1].toBool(), true);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
        QCOMPARE(finished[1][0].toInt(), slow);
        QCOMPARE(finished[1][1].toBool(), false);
        QCOMPARE(out1.data(), QByteArray(40, 's'));
    }
    QTest::qWait(300);
    QCOMPARE(finished.size(), 2); // the cleared get never finishes
    QVERIFY(!fault.requests().contains("GET /next HTTP/1.1"));
    for (const auto& args : finished)
        QVERIFY(args[0].toInt() != next);
    QCOMPARE(out2.size(), 0);
}

QTEST_GUILESS_MAIN(HttpClientTest)
#include "tst_download_transport.moc"
