// HttpClient against the scripted fault server, nginx with TLS and squid.
#include "commandlog.h"
#include "httpclient.h"
#include "producttree.h"
#include "testservers.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TransferError)

namespace
{

const QByteArray body = ProductTree::randomBytes(5000, 3);

} // namespace

class HttpClientTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void fetches_data();
    void fetches();
    void connectionIsReused();
    void abortAndClear_data();
    void abortAndClear();

private:
    QTemporaryDir root;
    NginxServer tls;
    SquidServer squid;
    FaultServer fault;
};

void HttpClientTest::initTestCase()
{
    QVERIFY(writeFile(root.filePath("tls.txt"), "tls content"));
    QVERIFY(fault.start());
    tls.setExtraServerConfig(
        QStringLiteral("location = /to-plain { return 302 %1/file; }").arg(fault.baseUrl()));
    QVERIFY2(tls.start(root.path(), true), qPrintable(tls.output()));
    squid.setCredentials("puser", "pw1");
    QVERIFY2(squid.start(), qPrintable(squid.output()));
    transport::setTestCaFile(tls.caFile());
    transport::setTestTimeouts(2, 1);

    fault.setRoute("/file", FaultRoute::ok("redirected"));
    for (int i = 1; i <= 6; ++i) {
        fault.setRoute(
            QStringLiteral("/r%1").arg(i),
            FaultRoute::redirect(302, i == 1 ? "/file" : "/r" + QByteArray::number(i - 1)));
    }
    fault.setRoute("/to-https", FaultRoute::redirect(302, (tls.baseUrl() + "/tls.txt").toUtf8()));
    fault.setRoute("/to-https-to-http",
                   FaultRoute::redirect(302, (tls.baseUrl() + "/to-plain").toUtf8()));
    fault.setRoute("/to-ftp", FaultRoute::redirect(302, "ftp://127.0.0.1:1/x"));
    fault.setRoute("/dir%20one/a%20b%231%25%C3%A4.txt", FaultRoute::ok("awkward"));
    fault.setRoute("/slow", FaultRoute::drip(QByteArray(40, 's'), 1, 50));
    fault.setRoute("/next", FaultRoute::ok("next"));

    // A proxy of the environment would break every fetch below.
    const QByteArray closed = "http://127.0.0.1:" + QByteArray::number(testservers::freePort());
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY"})
        qputenv(name, closed);
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
}

void HttpClientTest::fetches_data()
{
    QTest::addColumn<QString>("where"); // a path on the fault server, "closed" or "unresolvable";
    QTest::addColumn<FaultRoute>("route"); // served at /f
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<TransferError>("kind");
    QTest::addColumn<QByteArray>("data"); // after an error the file may hold a beginning of it
    QTest::addColumn<QString>("text");
    const auto row = [](const char* tag, const QString& where, const FaultRoute& route,
                        TransferError kind, const QByteArray& data = {}, const QString& text = {},
                        qint64 limit = -1) {
        QTest::newRow(tag) << where << route << limit << kind << data << text;
    };
    using E = TransferError;
    const QByteArray page = "<html>error page</html>"; // never reaches the file
    row("404", "/f", FaultRoute::withStatus(404, page), E::Refused, {}, "HTTP 404 Not Found");
    row("408", "/f", FaultRoute::withStatus(408, page), E::Failed, {}, "HTTP 408 Request Timeout");
    row("500", "/f", FaultRoute::withStatus(500, page), E::Failed, {},
        "HTTP 500 Internal Server Error");
    row("reset mid-body", "/f", FaultRoute::resetAt(body, 1000), E::Failed, body.left(1000));
    row("stall mid-body", "/f", FaultRoute::stallAt(body, 1000), E::Failed, body.left(1000));
    FaultRoute shortBody = FaultRoute::resetAt(body, 5000);
    shortBody.contentLength = 6000;
    row("fewer bytes than announced", "/f", shortBody, E::Failed, body);
    // Slow but never silent for the 1 s stall limit.
    row("slow drip", "/f", FaultRoute::drip(body.left(30), 2, 100), E::None, body.left(30));
    row("endless body", "/f", FaultRoute::endless(), E::TooLarge, QByteArray(100000, 'x'), {},
        100000);
    row("exactly the limit", "/f", FaultRoute::ok(body), E::None, body, {}, body.size());
    row("closed port", "closed", {}, E::Failed);
    // An empty label: the C library refuses it without asking any name server.
    row("name does not resolve", "bad..invalid", {}, E::Failed);
    row("wrong proxy credentials", "proxy", FaultRoute::ok(body), E::Refused, {},
        "HTTP 407 Proxy Authentication Required");
    row("five redirects", "/r5", {}, E::None, "redirected");
    row("six redirects", "/r6", {}, E::Failed);
    row("redirect to https", "/to-https", {}, E::None, "tls content");
    row("https to http", "/to-https-to-http", {}, E::Failed);
    row("redirect to ftp", "/to-ftp", {}, E::Failed);
    row("awkward name", QString::fromUtf8("/dir one/a b#1%\xc3\xa4.txt"), {}, E::None, "awkward");
}

void HttpClientTest::fetches()
{
    QFETCH(QString, where);
    QFETCH(FaultRoute, route);
    QFETCH(qint64, limit);
    QFETCH(TransferError, kind);
    QFETCH(QByteArray, data);
    QFETCH(QString, text);
    using E = TransferError;
    fault.setRoute("/f", route);
    HttpClient http;
    CommandLog log(&http, &HttpClient::requestFinished);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    // "queued" first: nothing finishes inside the calls, everything in the order queued.
    QStringList expected = {"queued", "host ok", "user ok",
                            kind == E::None ? "get ok" : "get error"};
    if (where == "proxy") {
        log("proxy", http.setProxy("127.0.0.1", squid.port(), "puser", "bad"));
        expected.insert(1, "proxy ok");
    }
    const bool onFault = where.startsWith('/') || where == "proxy";
    const quint16 port = where == "closed" ? testservers::freePort() : fault.port();
    log("host", http.setHost(onFault || where == "closed" ? "127.0.0.1" : where, port));
    log("user", http.setUser("someone", "pw"));
    log("get", http.get(where.startsWith('/') ? where : "/f", &out, limit));
    log.events << "queued";
    QTRY_COMPARE_WITH_TIMEOUT(log.events, expected, 10000);
    QVERIFY(!http.hasPendingRequests());
    QCOMPARE(http.error(), kind);
    if (!text.isEmpty())
        QCOMPARE(http.errorString(), text);
    else if (kind != E::None)
        QVERIFY(!http.errorString().isEmpty());
    if (kind == E::None || kind == E::TooLarge)
        QCOMPARE(out.data(), data); // a limit cuts exactly there
    else
        QVERIFY2(data.startsWith(out.data()), out.data().left(100).constData());
}

void HttpClientTest::connectionIsReused()
{
    HttpClient http;
    CommandLog log(&http, &HttpClient::requestFinished);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const int connections = fault.connectionCount();
    log("host", http.setHost("127.0.0.1", fault.port()));
    for (const char* name : {"a", "b", "c"})
        log(name, http.get("/file", &out));
    QTRY_COMPARE(log.events, QStringList({"host ok", "a ok", "b ok", "c ok"}));
    QCOMPARE(out.data(), QByteArray("redirected").repeated(3));
    // The shared connection cache may even hold one from an earlier test.
    QCOMPARE_LE(fault.connectionCount(), connections + 1);
}

void HttpClientTest::abortAndClear_data()
{
    QTest::addColumn<bool>("abortRunning"); // else: only clear the pending ones
    QTest::addColumn<QStringList>("events");
    QTest::newRow("abort") << true << QStringList({"host ok", "called", "slow error"});
    QTest::newRow("clear pending") << false << QStringList({"host ok", "called", "slow ok"});
}

void HttpClientTest::abortAndClear()
{
    QFETCH(bool, abortRunning);
    QFETCH(QStringList, events);
    HttpClient http;
    CommandLog log(&http, &HttpClient::requestFinished);
    QBuffer slow, next;
    slow.open(QIODevice::WriteOnly);
    next.open(QIODevice::WriteOnly);
    log("host", http.setHost("127.0.0.1", fault.port()));
    log("slow", http.get("/slow", &slow));
    log("next", http.get("/next", &next));
    QTRY_VERIFY(slow.size() > 0);
    abortRunning ? http.abort() : http.clearPendingRequests();
    log.events << "called";
    QTRY_COMPARE_WITH_TIMEOUT(log.events, events, 5000);
    QTest::qWait(300);
    QCOMPARE(log.events, events); // the cleared get never finishes
    QCOMPARE(slow.data() == QByteArray(40, 's'), !abortRunning);
    QVERIFY(!fault.requests().contains("GET /next HTTP/1.1"));
}

QTEST_GUILESS_MAIN(HttpClientTest)
#include "tst_download_transport.moc"
