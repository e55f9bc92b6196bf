// HTTP and HTTPS download streams against nginx, squid and the scripted fault server.
#include "httpdownloadstream.h"
#include "producttree.h"
#include "streamrecorder.h"
#include "testservers.h"
#include "transport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QByteArray fileContent = ProductTree::randomBytes(200000, 42);

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

    // The fault server's requests of the running test only.
    QStringList faultRequests() const { return fault.requests().mid(faultBase); }

    std::unique_ptr<HTTPDownloadStream> connectedStream(const QString& url, int retries = 1,
                                                        int timeout = 0,
                                                        const QString& proxy = QString())
    {
        auto s = std::make_unique<HTTPDownloadStream>(root);
        s->initiateConnection(QUrl(url), proxy, retries, timeout);
        if (!QTest::qWaitFor([&] { return s->getState() == DSS_Ready; }, 5000))
            return nullptr;
        return s;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<DownloadStream_State>("DownloadStream_State");
        qRegisterMetaType<DownloadStream_Error>("DownloadStream_Error");
        QVERIFY(tmp.isValid());
        docRoot = tmp.path() + "/www";
        QVERIFY(QDir().mkpath(docRoot + "/m/1/a/b"));
        QVERIFY(writeFile(docRoot + "/m/1/file.bin", fileContent));
        QVERIFY(writeFile(docRoot + "/m/1/a/b/deep name.bin", "deep"));
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
    }

    void fileSequence_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<QString>("requested");
        QTest::newRow("checked") << "file.bin" << fileContent << ProductTree::md5(fileContent)
                                 << "/m/1/file.bin";
        QTest::newRow("nested, encoded on the wire")
            << "a/b/deep name.bin" << QByteArray("deep") << ProductTree::md5("deep")
            << "/m/1/a/b/deep%20name.bin";
    }
    void fileSequence()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QString, md5);
        QFETCH(QString, requested);
        auto s = connectedStream(nginx.baseUrl() + "/m/1");
        QVERIFY(s);
        StreamRecorder rec(s.get());
        const int before = nginx.accessEntries().size();
        s->getFile(fileName, md5, content.size());
        QCOMPARE(rec.events, QStringList{"state 3"});
        QTRY_VERIFY(rec.ended());
        QCOMPARE(rec.events, (QStringList{"state 3", "state 2", "finished"}));
        QVERIFY(!rec.progress.isEmpty());
        QCOMPARE(readFile(root + "/" + fileName), content);
        quint64 done = 0, total = 0;
        s->getProgress(&done, &total);
        QCOMPARE(done, quint64(content.size()));
        QCOMPARE(total, quint64(content.size()));
        const auto entries = nginx.accessEntries();
        QCOMPARE(entries.size(), before + 1);
        QCOMPARE(entries.last().path, requested);
    }

    void basicAuth_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right") << "s3cret" << true;
        QTest::newRow("wrong") << "guess" << false;
    }
    void basicAuth()
    {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        NginxServer guarded;
        guarded.setBasicAuth("mirror", "s3cret");
        QVERIFY2(guarded.start(docRoot), qPrintable(guarded.output()));
        QUrl url(guarded.baseUrl() + "/m/1");
        url.setUserName("mirror");
        url.setPassword(password);

        HTTPDownloadStream s(root);
        StreamRecorder rec(&s);
        s.initiateConnection(url, QString(), 3, 0);
        QTRY_COMPARE(rec.events, (QStringList{"state 1", "state 2", "connected"}));
        s.getFile("file.bin", ProductTree::md5(fileContent), fileContent.size());
        QTRY_VERIFY(rec.ended());
        if (accepted) {
            QCOMPARE(rec.events.last(), QString("finished"));
            QCOMPARE(guarded.accessEntries().last().user, QString("mirror"));
        } else {
            // Refused for good: one request, no pause.
            QVERIFY(rec.events.last().startsWith("error 4 ERROR: "));
            QCOMPARE(rec.events.size(), 6);
            QCOMPARE(guarded.accessEntries().size(), 1);
            QCOMPARE(guarded.accessEntries().last().status, 401);
        }
    }

    void retryWithPause()
    {
        fault.setRoute("/busy/r.bin", FaultRoute::withStatus(503, "try later"));
        auto s = connectedStream(fault.baseUrl() + "/busy", 3, 1);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        const QString notice = "message Download error. Timeout 1 seconds to repeat.";
        s->getFile("r.bin", ProductTree::md5("x"), 1);
        QTRY_COMPARE(rec.events.size(), 2);
        QCOMPARE(rec.events.last(), notice);
        QCOMPARE(faultRequests().size(), 1);
        // The pause: nothing is asked while it lasts.
        QTest::qWait(300);
        QCOMPARE(faultRequests().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(rec.ended(), 8000);
        QCOMPARE(rec.events.mid(0, 8),
                 (QStringList{"state 3", notice, "state 3", "message Download attempt 2", notice,
                              "state 3", "message Download attempt 3", "state 2"}));
        QCOMPARE(rec.events.size(), 9);
        QVERIFY(rec.events.last().startsWith("error 4 ERROR: "));
        QCOMPARE(s->getState(), DSS_Ready);
        QCOMPARE(faultRequests(), QStringList(3, "GET /busy/r.bin HTTP/1.1"));
        QVERIFY(!QFile::exists(root + "/r.bin"));
    }

    void repeated_data()
    {
        QTest::addColumn<FaultRoute>("route");
        QTest::addColumn<int>("requests");
        // An error page of exactly the file's length: only the status can tell it apart.
        for (int status : {404, 403})
            QTest::addRow("%d is final", status)
                << FaultRoute::withStatus(status, "0123456789") << 1;
        for (int status : {500, 429})
            QTest::addRow("%d is repeated", status)
                << FaultRoute::withStatus(status, "0123456789") << 3;
        QTest::newRow("stall is repeated") << FaultRoute::stallAt("abcdefghij", 2) << 3;
    }
    void repeated()
    {
        QFETCH(FaultRoute, route);
        QFETCH(int, requests);
        fault.setRoute("/s/f.bin", route);
        auto s = connectedStream(fault.baseUrl() + "/s", 3, 0);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile("f.bin", ProductTree::md5("abcdefghij"), 10);
        QTRY_VERIFY_WITH_TIMEOUT(rec.ended(), 10000);
        QVERIFY(rec.events.last().startsWith("error 4 ERROR: "));
        QCOMPARE(faultRequests().size(), requests);
        QCOMPARE(rec.events.count("state 3"), requests);
        QVERIFY(!QFile::exists(root + "/f.bin"));
    }

    void wrongBody_data()
    {
        QTest::addColumn<FaultRoute>("route");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QString>("error"); // %1: the local path

        const QByteArray body = ProductTree::randomBytes(4096, 7);
        const QString sum = ProductTree::md5(body);
        QTest::newRow("one byte too long")
            << FaultRoute::ok(body + "!") << sum << qint64(4096)
            << "error 2 ERROR: Wrong length of %1 (4097 while required 4096)";
        QTest::newRow("error page of the right size")
            << FaultRoute::ok(QByteArray(4096, '<')) << sum << qint64(4096)
            << "error 1 ERROR: Wrong checksum for %1";
        QTest::newRow("endless, checked")
            << FaultRoute::endless() << sum << qint64(4096)
            << "error 2 ERROR: Wrong length of %1 (4097 while required 4096)";
        QTest::newRow("endless index")
            << FaultRoute::endless() << "" << qint64(0)
            << "error 2 ERROR: Wrong length of %1 (67108864 while required 0)";
    }
    void wrongBody()
    {
        QFETCH(FaultRoute, route);
        QFETCH(QString, md5);
        QFETCH(qint64, length);
        QFETCH(QString, error);
        fault.setRoute("/w/f.bin", route);
        auto s = connectedStream(fault.baseUrl() + "/w", 3, 0);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile("f.bin", md5, length);
        QTRY_VERIFY_WITH_TIMEOUT(rec.ended(), 20000);
        const QString path = root + "/f.bin";
        QCOMPARE(rec.events,
                 (QStringList{"state 3", "state 2", QString(error).replace("%1", path)}));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(faultRequests().size(), 1);
    }

    void tls_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("trustCa");
        QTest::addColumn<bool>("ok");
        QTest::newRow("trusted") << QStringList{"IP:127.0.0.1"} << true << true;
        QTest::newRow("unknown authority") << QStringList{"IP:127.0.0.1"} << false << false;
        QTest::newRow("other name") << QStringList{"DNS:mirror.example"} << true << false;
    }
    void tls()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, trustCa);
        QFETCH(bool, ok);
        NginxServer secure;
        secure.setCertificateNames(names);
        QVERIFY2(secure.start(docRoot, true), qPrintable(secure.output()));
        transport::setTestCaFile(trustCa ? secure.caFile() : QString());
        auto s = connectedStream(secure.baseUrl() + "/m/1", 1, 0);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile("file.bin", ProductTree::md5(fileContent), fileContent.size());
        QTRY_VERIFY(rec.ended());
        transport::setTestCaFile(QString());
        if (ok) {
            QCOMPARE(rec.events.last(), QString("finished"));
            QCOMPARE(readFile(root + "/file.bin"), fileContent);
        } else {
            QVERIFY(rec.events.last().startsWith("error 4 ERROR: "));
            QVERIFY(secure.accessEntries().isEmpty());
            QVERIFY(!QFile::exists(root + "/file.bin"));
        }
    }

    void cancelDuringTransfer()
    {
        const QByteArray body(4000, 'c');
        fault.setRoute("/c/f.bin", FaultRoute::drip(body, 100, 20));
        auto s = connectedStream(fault.baseUrl() + "/c", 3, 0);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile("f.bin", ProductTree::md5(body), body.size());
        QTRY_VERIFY(!rec.progress.isEmpty());
        QVERIFY(QFile::exists(root + "/f.bin"));
        s->cancel();
        QCOMPARE(s->getState(), DSS_Idle);
        QVERIFY(!QFile::exists(root + "/f.bin"));
        const QStringList afterCancel = rec.events;
        QTest::qWait(300);
        QCOMPARE(rec.events, afterCancel);
        QCOMPARE(rec.events.last(), QString("state 0"));
        QVERIFY(!QFile::exists(root + "/f.bin"));
        QTRY_COMPARE(fault.openConnections(), 0);
        QCOMPARE(faultRequests().size(), 1);
    }

    void throughProxy_data()
    {
        QTest::addColumn<QString>("proxy"); // PROXY: squid's host and port
        QTest::addColumn<bool>("withUser");
        QTest::addColumn<bool>("viaProxy");
        QTest::newRow("without scheme") << "PROXY" << false << true;
        QTest::newRow("authenticated") << "http://proxyuser:pw@PROXY" << true << true;
        QTest::newRow("invalid means direct") << "http://" << false << false;
    }
    void throughProxy()
    {
        QFETCH(QString, proxy);
        QFETCH(bool, withUser);
        QFETCH(bool, viaProxy);
        SquidServer squid;
        if (withUser)
            squid.setCredentials("proxyuser", "pw");
        QVERIFY2(squid.start(), qPrintable(squid.output()));
        proxy.replace("PROXY", QString("127.0.0.1:%1").arg(squid.port()));
        auto s = connectedStream(nginx.baseUrl() + "/m/1", 1, 0, proxy);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile("file.bin", ProductTree::md5(fileContent), fileContent.size());
        QTRY_VERIFY(rec.ended());
        QCOMPARE(rec.events, (QStringList{"state 3", "state 2", "finished"}));
        if (!viaProxy) {
            QTest::qWait(100);
            QVERIFY(squid.requests().isEmpty());
            return;
        }
        QTRY_VERIFY(!squid.requests().isEmpty());
        QCOMPARE(squid.requests().last(), "GET " + nginx.baseUrl() + "/m/1/file.bin");
        if (withUser)
            QCOMPARE(squid.users().last(), QString("proxyuser"));
    }
};

QTEST_GUILESS_MAIN(TestDownloadStreamHttp)
#include "tst_download_stream_http.moc"
