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
              QIODevice* out, qint64 limit = -1, bool secure = false,
              const QString& user = QString(), const QString& password = QString(),
              int waitMs = 10000)
{
    Outcome o;
    http.setHost(host, port, secure);
    if (!user.isEmpty())
        http.setUser(user, password);
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
    while (!o.finished && t.elapsed() < waitMs)
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
    void statusCodes_data();
    void statusCodes();
    void faults_data();
    void faults();
    void byteLimit_data();
    void byteLimit();
    void redirects_data();
    void redirects();
    void tls_data();
    void tls();
    void awkwardNamesReachTheServerAsThemselves_data();
    void awkwardNamesReachTheServerAsThemselves();
    void basicAuth_data();
    void basicAuth();
    void proxy_data();
    void proxy();
    void environmentProxyIsIgnored();
    void connectionIsReused();
    void abortAndClear_data();
    void abortAndClear();
    void unreachableServers_data();
    void unreachableServers();

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

void HttpClientTest::statusCodes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::newRow("404") << 404 << int(TransferError::Refused) << "HTTP 404 Not Found";
    QTest::newRow("403") << 403 << int(TransferError::Refused) << "HTTP 403 Forbidden";
    QTest::newRow("410") << 410 << int(TransferError::Refused) << "HTTP 410 Gone";
    QTest::newRow("408 may pass") << 408 << int(TransferError::Failed)
                                  << "HTTP 408 Request Timeout";
    QTest::newRow("429 may pass") << 429 << int(TransferError::Failed)
                                  << "HTTP 429 Too Many Requests";
    QTest::newRow("500") << 500 << int(TransferError::Failed) << "HTTP 500 Internal Server Error";
    QTest::newRow("503") << 503 << int(TransferError::Failed) << "HTTP 503 Service Unavailable";
    QTest::newRow("304 without location") << 304 << int(TransferError::Failed) << "HTTP 304 Status";
}

void HttpClientTest::statusCodes()
{
    QFETCH(int, status);
    QFETCH(int, kind);
    QFETCH(QString, text);
    fault.setRoute("/f", FaultRoute::withStatus(status, "<html>error page</html>"));
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o = fetch(http, "127.0.0.1", fault.port(), "/f", &out);
    QVERIFY(o.finished);
    QVERIFY(o.error);
    QCOMPARE(int(o.kind), kind);
    QCOMPARE(o.text, text);
    QVERIFY2(out.data().isEmpty(), "an error page must not reach the file");
}

void HttpClientTest::faults_data()
{
    const QByteArray body = ProductTree::randomBytes(5000, 3);
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<bool>("error");
    QTest::addColumn<QByteArray>("expectedBody"); // prefix that must have arrived
    QTest::newRow("reset mid-body") << FaultRoute::resetAt(body, 1000) << true << body.left(1000);
    QTest::newRow("stall mid-body") << FaultRoute::stallAt(body, 1000) << true << body.left(1000);
    QTest::newRow("stall before headers") << FaultRoute::stallAt(body, 0) << true << QByteArray();
    FaultRoute closeDelimited = FaultRoute::ok(body);
    closeDelimited.contentLength = -2;
    QTest::newRow("length by close") << closeDelimited << false << body;
    FaultRoute shortBody = FaultRoute::ok(body);
    shortBody.contentLength = 6000;
    shortBody.action = FaultRoute::ResetAt;
    shortBody.resetAfter = 5000;
    QTest::newRow("fewer bytes than announced") << shortBody << true << body;
    // A slow server that keeps sending is not a stalled one (limit: 1 s without a byte).
    QTest::newRow("slow drip") << FaultRoute::drip(body.left(30), 2, 100) << false << body.left(30);
}

void HttpClientTest::faults()
{
    QFETCH(FaultRoute, route);
    QFETCH(bool, error);
    QFETCH(QByteArray, expectedBody);
    fault.setRoute("/f", route);
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QElapsedTimer t;
    t.start();
    const Outcome o = fetch(http, "127.0.0.1", fault.port(), "/f", &out);
    QVERIFY(o.finished);
    QCOMPARE(o.error, error);
    QVERIFY2(t.elapsed() < 8000, "the stall limit must end a silent transfer");
    if (error)
        QCOMPARE(o.kind, TransferError::Failed);
    QVERIFY(out.data().startsWith(expectedBody));
    if (!error)
        QCOMPARE(out.data(), expectedBody);
}

void HttpClientTest::byteLimit_data()
{
    QTest::addColumn<QString>("source"); // "nginx" or a fault route
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("kind");
    QTest::newRow("endless body") << "endless" << qint64(100000) << int(TransferError::TooLarge);
    QTest::newRow("larger file") << "nginx" << qint64(299999) << int(TransferError::TooLarge);
    QTest::newRow("exactly the limit") << "nginx" << qint64(300000) << int(TransferError::None);
    QTest::newRow("no limit") << "nginx" << qint64(-1) << int(TransferError::None);
}

void HttpClientTest::byteLimit()
{
    QFETCH(QString, source);
    QFETCH(qint64, limit);
    QFETCH(int, kind);
    fault.setRoute("/endless", FaultRoute::endless());
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const bool fromNginx = source == "nginx";
    const Outcome o = fetch(http, "127.0.0.1", fromNginx ? nginx.port() : fault.port(),
                            fromNginx ? "/big.bin" : "/endless", &out, limit);
    QVERIFY(o.finished);
    QCOMPARE(int(o.kind), kind);
    QCOMPARE(o.error, kind != int(TransferError::None));
    if (kind == int(TransferError::TooLarge))
        QCOMPARE(out.size(), limit); // cut exactly there
    else
        QCOMPARE(out.data(), readFile(root.filePath("big.bin")));
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

void HttpClientTest::tls_data()
{
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<QStringList>("certNames");
    QTest::addColumn<bool>("error");
    QTest::newRow("verified") << true << QStringList{"IP:127.0.0.1"} << false;
    QTest::newRow("unknown CA") << false << QStringList{"IP:127.0.0.1"} << true;
    QTest::newRow("wrong name") << true << QStringList{"IP:127.0.0.2", "DNS:example.org"} << true;
}

void HttpClientTest::tls()
{
    QFETCH(bool, trustTestCa);
    QFETCH(QStringList, certNames);
    QFETCH(bool, error);
    NginxServer server;
    server.setCertificateNames(certNames);
    QVERIFY(server.start(root.path(), true));
    if (trustTestCa)
        transport::setTestCaFile(server.caFile());
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o = fetch(http, "127.0.0.1", server.port(), "/plain.txt", &out, -1, true);
    QVERIFY(o.finished);
    QCOMPARE(o.error, error);
    QCOMPARE(out.data(), error ? QByteArray() : QByteArray("plain content"));
    // A refused certificate means not a single request reached the server.
    QCOMPARE(server.requestedPaths().size(), error ? 0 : 1);
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
    QTest::newRow("question") << "what?.txt"
                              << "/what%3F.txt";
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

void HttpClientTest::basicAuth_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("kind");
    QTest::newRow("right") << "ann"
                           << "s3cret" << int(TransferError::None);
    QTest::newRow("wrong password") << "ann"
                                    << "nope" << int(TransferError::Refused);
    QTest::newRow("no user") << ""
                             << "" << int(TransferError::Refused);
}

void HttpClientTest::basicAuth()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, kind);
    NginxServer server;
    server.setBasicAuth("ann", "s3cret");
    QVERIFY(server.start(root.path()));
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o =
        fetch(http, "127.0.0.1", server.port(), "/plain.txt", &out, -1, false, user, password);
    QCOMPARE(int(o.kind), kind);
    if (kind == int(TransferError::Refused))
        QCOMPARE(o.text, QString("HTTP 401 Unauthorized"));
    QTRY_COMPARE(server.accessEntries().size(), 1);
    QCOMPARE(server.accessEntries()[0].user, user);
}

void HttpClientTest::proxy_data()
{
    QTest::addColumn<bool>("proxyNeedsAuth");
    QTest::addColumn<QString>("proxyPassword");
    QTest::addColumn<int>("kind");
    QTest::newRow("open proxy") << false << "" << int(TransferError::None);
    QTest::newRow("with credentials") << true << "pw1" << int(TransferError::None);
    QTest::newRow("wrong credentials") << true << "bad" << int(TransferError::Refused);
}

void HttpClientTest::proxy()
{
    QFETCH(bool, proxyNeedsAuth);
    QFETCH(QString, proxyPassword);
    QFETCH(int, kind);
    SquidServer squid;
    if (proxyNeedsAuth)
        squid.setCredentials("puser", "pw1");
    QVERIFY2(squid.start(), qPrintable(squid.output()));
    HttpClient http;
    http.setProxy("127.0.0.1", squid.port(), proxyNeedsAuth ? "puser" : "", proxyPassword);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const int before = nginx.requestedPaths().size();
    const Outcome o = fetch(http, "127.0.0.1", nginx.port(), "/plain.txt", &out);
    QCOMPARE(int(o.kind), kind);
    const QString url = nginx.baseUrl() + "/plain.txt";
    QTRY_VERIFY(squid.requests().contains("GET " + url));
    if (kind == int(TransferError::None)) {
        QCOMPARE(out.data(), QByteArray("plain content"));
        QCOMPARE(nginx.requestedPaths().mid(before), QStringList{"/plain.txt"});
        if (proxyNeedsAuth)
            QVERIFY(squid.users().contains("puser"));
    } else {
        QCOMPARE(o.text, QString("HTTP 407 Proxy Authentication Required"));
        QCOMPARE(nginx.requestedPaths().size(), before);
    }
}

void HttpClientTest::environmentProxyIsIgnored()
{
    const quint16 closed = testservers::freePort();
    const QByteArray bogus = "http://127.0.0.1:" + QByteArray::number(closed);
    qputenv("http_proxy", bogus);
    qputenv("HTTP_PROXY", bogus);
    qputenv("https_proxy", bogus);
    qputenv("ALL_PROXY", bogus);
    HttpClient http;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o = fetch(http, "127.0.0.1", nginx.port(), "/plain.txt", &out);
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("https_proxy");
    qunsetenv("ALL_PROXY");
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

void HttpClientTest::unreachableServers_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("closed port") << "127.0.0.1" << int(testservers::freePort());
    // An empty label: the C library refuses it without asking any name server.
    QTest::newRow("name does not resolve") << "bad..invalid" << 80;
}

void HttpClientTest::unreachableServers()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    HttpClient http;
    QSignalSpy finished(&http, &HttpClient::requestFinished);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Outcome o = fetch(http, host, quint16(port), "/x", &out);
    QVERIFY(o.finished);
    QVERIFY(o.error);
    QCOMPARE(o.kind, TransferError::Failed);
    QVERIFY(!o.text.isEmpty());
    // setHost itself succeeded: it needs no network.
    QCOMPARE(finished.value(0).value(1).toBool(), false);
}

QTEST_GUILESS_MAIN(HttpClientTest)
#include "tst_download_transport.moc"
