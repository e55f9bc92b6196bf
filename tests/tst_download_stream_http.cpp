// HTTP and HTTPS download streams against nginx, squid and the scripted fault server.
#include "httpdownloadstream.h"
#include "producttree.h"
#include "streamrecorder.h"
#include "testservers.h"
#include "transport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace
{

const QByteArray fileContent = ProductTree::randomBytes(200000, 42);
const QString fileSum = ProductTree::md5(fileContent);
const QStringList connected{"state 1", "state 2", "connected"};

// server: "nginx", "fault" (route served as /s/<file>), "closed", "auth <password>",
// "https [<certificate name>|untrusted]" or "proxy <proxy text, PROXY: squid's address>".
// events: after the connection; log: the server's view of the row.
void row(const char* tag, const QString& server, const FaultRoute& route, const QString& file,
         const QString& md5, qint64 length, const QStringList& events, const QStringList& log)
{
    QTest::newRow(tag) << server << route << file << md5 << length << events << log;
}

const QStringList fetched{"state 3", "state 2", "finished"};

QStringList failed(const QString& text, int attempts = 1)
{
    QStringList events{"state 3"};
    for (int i = 2; i <= attempts; ++i)
        events << "message Download error. Timeout 0 seconds to repeat."
               << "state 3" << QString("message Download attempt %1").arg(i);
    return events << "state 2" << text;
}

QStringList accessLog(const NginxServer& server)
{
    QStringList lines;
    for (const auto& e : server.accessEntries())
        lines << QString("%1 %2 %3").arg(e.path).arg(e.status).arg(e.user);
    return lines;
}

} // namespace

class TestDownloadStreamHttp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    QString docRoot;
    NginxServer nginx;
    FaultServer fault;
    QString root;
    int faultBase = 0;
    std::unique_ptr<HTTPDownloadStream> stream;
    std::unique_ptr<StreamRecorder> rec;

    // The fault server's requests of the running test only.
    QStringList faultRequests() const { return fault.requests().mid(faultBase); }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<DownloadStream_State>("DownloadStream_State");
        qRegisterMetaType<DownloadStream_Error>("DownloadStream_Error");
        QVERIFY(tmp.isValid());
        docRoot = tmp.path() + "/www";
        QVERIFY(QDir().mkpath(docRoot + "/m/1/a/b"));
        QVERIFY(writeFile(docRoot + "/m/1/file.bin", fileContent));
        QVERIFY(writeFile(docRoot + "/m/1/a/b/deep name.bin", fileContent));
        makeTreeWorldReadable(docRoot);
        QVERIFY2(nginx.start(docRoot), qPrintable(nginx.output()));
        QVERIFY(fault.start());
        transport::setTestTimeouts(2, 1);
    }

    void cleanupTestCase() { transport::setTestTimeouts(0, 0); }

    void init()
    {
        static int n = 0;
        root = tmp.path() + QString("/local%1").arg(++n);
        QVERIFY(QDir().mkpath(root));
        fault.clearRoutes();
        faultBase = fault.requests().size();
        stream = std::make_unique<HTTPDownloadStream>(root);
        rec = std::make_unique<StreamRecorder>(stream.get());
    }

    void cleanup() { transport::setTestCaFile(QString()); }

    void fetch_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<FaultRoute>("route");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("log");
        const FaultRoute none;
        const qint64 size = fileContent.size();
        const QString transferFailed = "error 4 ERROR: ";
        row("nested, encoded on the wire", "nginx", none, "a/b/deep name.bin", fileSum, size,
            fetched, {"/m/1/a/b/deep%20name.bin 200 "});
        row("unreachable", "closed", none, "file.bin", fileSum, size,
            failed(transferFailed + "Failed to connect to 127.0.0.1..."), {});
        row("right password", "auth s3cret", none, "file.bin", fileSum, size, fetched,
            {"/m/1/file.bin 200 mirror"});
        row("wrong password is final", "auth guess", none, "file.bin", fileSum, size,
            failed(transferFailed + "HTTP 401 Unauthorized"), {"/m/1/file.bin 401 mirror"});

        // An error page of exactly the file's length: only the status can tell it apart.
        const auto status = [&](int code, int attempts, const char* text) {
            const QString tag = QString("status %1").arg(code);
            row(qPrintable(tag), "fault", FaultRoute::withStatus(code, "0123456789"), "f.bin",
                ProductTree::md5("abcdefghij"), 10, failed(transferFailed + text, attempts),
                QStringList(attempts, "GET /s/f.bin HTTP/1.1"));
        };
        status(404, 1, "HTTP 404 Not Found");
        status(429, 3, "HTTP 429 Too Many Requests");
        status(500, 3, "HTTP 500 Internal Server Error");
        row("stall is repeated", "fault", FaultRoute::stallAt("abcdefghij", 2), "f.bin",
            ProductTree::md5("abcdefghij"), 10, failed(transferFailed + "Operation too slow...", 3),
            QStringList(3, "GET /s/f.bin HTTP/1.1"));

        const QByteArray body = ProductTree::randomBytes(4096, 7);
        const QStringList once{"GET /s/f.bin HTTP/1.1"};
        row("one byte too long", "fault", FaultRoute::ok(body + "!"), "f.bin",
            ProductTree::md5(body), 4096,
            failed("error 2 ERROR: Wrong length of <local>/f.bin (4097 while required 4096)"),
            once);
        row("error page of the right size", "fault", FaultRoute::ok(QByteArray(4096, '<')), "f.bin",
            ProductTree::md5(body), 4096, failed("error 1 ERROR: Wrong checksum for <local>/f.bin"),
            once);
        row("endless index", "fault", FaultRoute::endless(), "f.bin", "", 0,
            failed("error 2 ERROR: Wrong length of <local>/f.bin (67108864 while required 0)"),
            once);

        row("trusted certificate", "https", none, "file.bin", fileSum, size, fetched,
            {"/m/1/file.bin 200 "});
        row("unknown authority", "https untrusted", none, "file.bin", fileSum, size,
            failed(transferFailed + "SSL certificate problem..."), {});
        row("other name", "https DNS:mirror.example", none, "file.bin", fileSum, size,
            failed(transferFailed + "SSL: no alternative certificate subject name..."), {});

        const QString via = "GET " + nginx.baseUrl() + "/m/1/file.bin";
        row("proxy without scheme", "proxy PROXY", none, "file.bin", fileSum, size, fetched,
            {via, "-"});
        row("authenticated proxy", "proxy http://proxyuser:pw@PROXY", none, "file.bin", fileSum,
            size, fetched, {via, "proxyuser"});
        row("invalid proxy means direct", "proxy http://", none, "file.bin", fileSum, size, fetched,
            {});
    }
    void fetch()
    {
        QFETCH(QString, server);
        QFETCH(FaultRoute, route);
        QFETCH(QString, file);
        QFETCH(QStringList, events);
        QFETCH(QStringList, log);
        QFETCH(QString, md5);
        QFETCH(qint64, length);
        const QString kind = server.section(' ', 0, 0), option = server.section(' ', 1);
        QUrl url(nginx.baseUrl() + "/m/1");
        QString proxy;
        NginxServer own;
        SquidServer squid;
        std::function<QStringList()> serverLog = [] { return QStringList(); };
        if (kind == "fault") {
            fault.setRoute("/s/" + file, route);
            url = fault.baseUrl() + "/s";
            serverLog = [this] { return faultRequests(); };
        } else if (kind == "closed") {
            url = QString("http://127.0.0.1:%1/m").arg(testservers::freePort());
        } else if (kind == "proxy") {
            if (option.contains("proxyuser"))
                squid.setCredentials("proxyuser", "pw");
            QVERIFY2(squid.start(), qPrintable(squid.output()));
            proxy = QString(option).replace("PROXY", QString("127.0.0.1:%1").arg(squid.port()));
            serverLog = [&] { return squid.requests() + squid.users(); };
        } else if (kind != "nginx") {
            if (kind == "auth")
                own.setBasicAuth("mirror", "s3cret");
            else if (option.startsWith("DNS:"))
                own.setCertificateNames({option});
            QVERIFY2(own.start(docRoot, kind == "https"), qPrintable(own.output()));
            url = own.baseUrl() + "/m/1";
            if (kind == "auth") {
                url.setUserName("mirror");
                url.setPassword(option);
            } else if (option != "untrusted") {
                transport::setTestCaFile(own.caFile());
            }
            serverLog = [&] { return accessLog(own); };
        }
        const qsizetype served = nginx.accessEntries().size();
        if (kind == "nginx")
            serverLog = [&] { return accessLog(nginx).mid(served); };
        QVERIFY(rec->connectTo(url, kind == "fault" ? 3 : 1, 0, proxy));
        QCOMPARE(rec->events, connected);
        QStringList seen = rec->fetch(file, md5, length, root, 20000).mid(3);
        // "...": the rest of the library's text is not ours to fix.
        const QString& last = events.last();
        if (last.endsWith("...") && seen.last().startsWith(last.chopped(3)))
            seen.last() = last;
        QCOMPARE(seen, events);
        QTest::qWait(100);
        QTRY_COMPARE(serverLog(), log);
        QCOMPARE(QFile::exists(root + "/" + file), events.last() == "finished");
        if (events.last() == "finished")
            QCOMPARE(readFile(root + "/" + file), fileContent);
    }

    void retryWaitsBetweenAttempts()
    {
        fault.setRoute("/busy/r.bin", FaultRoute::withStatus(503, "try later"));
        QVERIFY(rec->connectTo(fault.baseUrl() + "/busy", 3, 1));
        const QString notice = "message Download error. Timeout 1 seconds to repeat.";
        stream->getFile("r.bin", ProductTree::md5("x"), 1);
        QTRY_COMPARE(rec->events.last(), notice);
        // Nothing is asked while the pause lasts.
        QTest::qWait(300);
        QCOMPARE(faultRequests().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(rec->ended(), 8000);
        QCOMPARE(rec->events.mid(3),
                 (QStringList{"state 3", notice, "state 3", "message Download attempt 2", notice,
                              "state 3", "message Download attempt 3", "state 2",
                              "error 4 ERROR: HTTP 503 Service Unavailable"}));
        QCOMPARE(faultRequests(), QStringList(3, "GET /busy/r.bin HTTP/1.1"));
        QVERIFY(!QFile::exists(root + "/r.bin"));
    }

    void cancelDuringTransfer()
    {
        const QByteArray body(4000, 'c');
        fault.setRoute("/c/f.bin", FaultRoute::drip(body, 100, 20));
        QVERIFY(rec->connectTo(fault.baseUrl() + "/c", 3, 0));
        stream->getFile("f.bin", ProductTree::md5(body), body.size());
        QTRY_VERIFY(!rec->progress.isEmpty());
        QVERIFY(QFile::exists(root + "/f.bin"));
        stream->cancel();
        QCOMPARE(stream->getState(), DSS_Idle);
        // No completion arrives later, and the partial file stays gone.
        QTest::qWait(300);
        QCOMPARE(rec->events.mid(3), (QStringList{"state 3", "state 0"}));
        QVERIFY(!QFile::exists(root + "/f.bin"));
        QTRY_COMPARE(fault.openConnections(), 0);
        QCOMPARE(faultRequests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDownloadStreamHttp)
#include "tst_download_stream_http.moc"
