// The protocol-independent half of a download stream, driven by a scripted protocol binding:
// states, the final check, retries, cancel and local failures.
#include "downloadstream.h"
#include "producttree.h"
#include "streamrecorder.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// Stands in for the HTTP/FTP binding: records every request and lets the test decide how it
// ends.
class ScriptedStream : public SingleFileDownloadStream
{
public:
    using SingleFileDownloadStream::SingleFileDownloadStream;

    int kind() const override { return 1; }
    void initiateConnection(const QUrl& url, const QString& proxy, int retries,
                            int timeout) override
    {
        internalInitDownloadParams(url, proxy, retries, timeout);
        setState(DSS_Connected);
        setState(DSS_Ready);
        emit connected();
    }

    bool initParams(const QString& proxyText)
    {
        return internalInitDownloadParams(QUrl("http://127.0.0.1/"), proxyText, 1, 0);
    }
    QUrl proxyUrl() const { return proxy; }
    qint64 limit() const { return byteLimit(); }
    void force(DownloadStream_State s) { setState(s); }

    void finish(const QByteArray& body)
    {
        device->write(body);
        fileRequestId = -1;
        finalCheckCurrentFile();
    }
    void fail(const QString& text, bool repeatable = true)
    {
        fileRequestId = -1;
        handleFileRequestError(text, repeatable);
    }
    void overflow(const QByteArray& bodyUpToLimit)
    {
        device->write(bodyUpToLimit);
        fileRequestId = -1;
        handleFileTooLarge();
    }

    QStringList requests;
    int prerequisiteChecks = 0;

protected:
    void checkGetFilePrerequisitions() override { ++prerequisiteChecks; }
    int createFileRequest(const QString& path, QFile* file) override
    {
        requests << path;
        device = file;
        return requests.size();
    }

private:
    QFile* device = nullptr;
};

const QString retryNotice = "message Download error. Timeout %1 seconds to repeat.";

} // namespace

class TestDownloadStream : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    QString root;

    std::unique_ptr<ScriptedStream> readyStream(const QString& url = "http://127.0.0.1/m/1",
                                                int retries = 5, int timeout = 0)
    {
        auto s = std::make_unique<ScriptedStream>(root);
        s->initiateConnection(QUrl(url), QString(), retries, timeout);
        return s;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<DownloadStream_State>("DownloadStream_State");
        qRegisterMetaType<DownloadStream_Error>("DownloadStream_Error");
        QVERIFY(tmp.isValid());
    }

    void init()
    {
        root = tmp.path() + "/" + QTest::currentTestFunction() + "_" +
               (QTest::currentDataTag() ? QTest::currentDataTag() : "");
        root.replace(' ', '_');
        QVERIFY(QDir().mkpath(root));
    }

    void requestPath_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("path");
        const auto row = [](const char* tag, const char* url, const char* name, const char* path) {
            QTest::newRow(tag) << QString(url) << QString(name) << QString(path);
        };
        row("no path", "http://127.0.0.1", "x.ini", "/x.ini");
        row("nested", "ftp://127.0.0.1/m/5", "a/b/c.dat", "/m/5/a/b/c.dat");
        row("trailing slash", "http://127.0.0.1/m/5/", "c.dat", "/m/5/c.dat");
        row("not encoded", "http://127.0.0.1/m%20x/5", "a b%.dat", "/m x/5/a b%.dat");
    }
    void requestPath()
    {
        QFETCH(QString, url);
        QFETCH(QString, fileName);
        QFETCH(QString, path);
        auto s = readyStream(url);
        StreamRecorder rec(s.get());
        s->getFile(fileName, "", 0);
        QCOMPARE(s->requests, QStringList{path});
        QCOMPARE(s->prerequisiteChecks, 1);
        QCOMPARE(rec.events, QStringList{"state 3"});
        QCOMPARE(s->getDestFilePath(), QDir(root).absoluteFilePath(fileName));
        QVERIFY(QFile::exists(s->getDestFilePath()));
    }

    void finalCheck_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QString>("outcome"); // "finished" or the fileError line with %1 = path
        QTest::addColumn<bool>("overLimit");  // the transport stopped at the byte limit

        const QByteArray content = ProductTree::randomBytes(5000, 1);
        const QString sum = ProductTree::md5(content);
        const QByteArray errorPage = QByteArray(5000, 'E');
        QTest::newRow("good") << content << sum << qint64(5000) << "finished" << false;
        QTest::newRow("upper-case sum")
            << content << sum.toUpper() << qint64(5000) << "finished" << false;
        QTest::newRow("empty sum, any length")
            << content << "" << qint64(12) << "finished" << false;
        QTest::newRow("short") << content.left(4999) << sum << qint64(5000)
                               << "error 2 ERROR: Wrong length of %1 (4999 while required 5000)"
                               << false;
        QTest::newRow("error page, same size")
            << errorPage << sum << qint64(5000) << "error 1 ERROR: Wrong checksum for %1" << false;
        const QString tooLarge = "error 2 ERROR: Wrong length of %1 (5 while required 4)";
        QTest::newRow("too large, checked")
            << QByteArray("abcde") << ProductTree::md5("abcd") << qint64(4) << tooLarge << true;
        QTest::newRow("too large, unchecked")
            << QByteArray("abcde") << QString() << qint64(4) << tooLarge << true;
    }
    void finalCheck()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, md5);
        QFETCH(qint64, length);
        QFETCH(QString, outcome);
        QFETCH(bool, overLimit);

        auto s = readyStream();
        StreamRecorder rec(s.get());
        s->getFile("sub/f%2.bin", md5, length);
        const QString path = s->getDestFilePath();
        if (overLimit)
            s->overflow(body);
        else
            s->finish(body);
        QCOMPARE(s->getState(), DSS_Ready);
        if (outcome == "finished") {
            // Announced later, from the event loop, never from inside the check.
            QCOMPARE(rec.events, (QStringList{"state 3", "state 2"}));
            QTRY_COMPARE(rec.events.size(), 3);
            QCOMPARE(rec.events.last(), QString("finished"));
            QCOMPARE(readFile(path), body);
        } else {
            // The path holds "%2": it must be taken literally, not as a placeholder.
            QCOMPARE(rec.events,
                     (QStringList{"state 3", "state 2", QString(outcome).replace("%1", path)}));
            QVERIFY(!QFile::exists(path));
        }
        QTest::qWait(30);
        QCOMPARE(s->requests.size(), 1);
    }

    void leftoverTruncated()
    {
        QVERIFY(QDir().mkpath(root + "/d"));
        QVERIFY(writeFile(root + "/d/f.bin", QByteArray(10000, 'L')));
        auto s = readyStream();
        s->getFile("d/f.bin", "", 3);
        QCOMPARE(QFileInfo(root + "/d/f.bin").size(), 0);
        s->finish("abc");
        QCOMPARE(readFile(root + "/d/f.bin"), QByteArray("abc"));
    }

    void progress()
    {
        auto s = readyStream();
        StreamRecorder rec(s.get());
        s->getFile("p.bin", "", 1000);
        quint64 total = 0;
        s->getProgress(nullptr, &total);
        QCOMPARE(total, 1000u);
        quint64 done = 99;
        s->getProgress(&done, nullptr);
        QCOMPARE(done, 0u);
        s->getProgress(nullptr, nullptr);

        // The total the server announces is passed on but does not replace the expected length.
        QMetaObject::invokeMethod(s.get(), "onDataTransferProgress", Q_ARG(qint64, 300),
                                  Q_ARG(qint64, 5000000000));
        s->getProgress(&done, &total);
        QCOMPARE(done, 300u);
        QCOMPARE(total, 1000u);
        QCOMPARE(rec.progress.last(), qMakePair(qint64(300), qint64(5000000000)));
    }

    void byteLimit_data()
    {
        QTest::addColumn<QString>("md5");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<qint64>("limit");
        const QString sum = ProductTree::md5("x");
        QTest::newRow("checked") << sum << qint64(1) << qint64(2);
        QTest::newRow("checked, large") << sum << qint64(5000000000) << qint64(5000000001);
        QTest::newRow("index") << "" << qint64(0) << qint64(64 * 1024 * 1024);
        QTest::newRow("unchecked with length") << "" << qint64(10) << qint64(-1);
    }
    void byteLimit()
    {
        QFETCH(QString, md5);
        QFETCH(qint64, length);
        QFETCH(qint64, limit);
        auto s = readyStream();
        s->getFile("l.bin", md5, length);
        QCOMPARE(s->limit(), limit);
    }

    void retries_data()
    {
        QTest::addColumn<int>("retries");
        QTest::addColumn<int>("requests");
        QTest::newRow("3") << 3 << 3;
        QTest::newRow("0") << 0 << 1;
        QTest::newRow("negative") << -2 << 1;
    }
    void retries()
    {
        QFETCH(int, retries);
        QFETCH(int, requests);
        auto s = readyStream("http://127.0.0.1/m", retries, 0);
        StreamRecorder rec(s.get());
        s->getFile("r.bin", "", 0);
        QStringList expected{"state 3"};
        for (int i = 1; i <= requests; ++i) {
            QTRY_COMPARE(s->requests.size(), i);
            QVERIFY(QFile::exists(root + "/r.bin"));
            s->fail("connection refused");
            QVERIFY(!QFile::exists(root + "/r.bin"));
            if (i < requests) {
                expected << retryNotice.arg(0);
                QCOMPARE(s->getState(), DSS_Downloading);
                // The next attempt waits for the event loop.
                QCOMPARE(rec.events, expected);
                expected << "state 3" << QString("message Download attempt %1").arg(i + 1);
            }
        }
        expected << "state 2"
                 << "error 4 ERROR: connection refused";
        QCOMPARE(rec.events, expected);
        QCOMPARE(s->getState(), DSS_Ready);
        QTest::qWait(20);
        QCOMPARE(s->requests.size(), requests);
        QCOMPARE(s->requests, QStringList(requests, "/m/r.bin"));
        QCOMPARE(s->prerequisiteChecks, requests);
    }

    void cancelStopsWaitingRetry()
    {
        auto s = readyStream("http://127.0.0.1/", 3, 0);
        StreamRecorder rec(s.get());
        s->getFile("c.bin", "", 0);
        s->fail("reset");
        s->cancel();
        QTest::qWait(30);
        QCOMPARE(s->requests.size(), 1);
        QCOMPARE(rec.events, (QStringList{"state 3", retryNotice.arg(0), "state 0"}));
        QCOMPARE(s->getState(), DSS_Idle);
    }

    void cancel_data()
    {
        QTest::addColumn<int>("finished"); // 0 no, 1 checked but not yet announced, 2 announced
        QTest::addColumn<bool>("fileKept");
        QTest::newRow("while downloading") << 0 << false;
        QTest::newRow("before the announcement") << 1 << true;
        QTest::newRow("after the announcement") << 2 << true;
    }
    void cancel()
    {
        QFETCH(int, finished);
        QFETCH(bool, fileKept);
        auto s = readyStream();
        StreamRecorder rec(s.get());
        s->getFile("x/c.bin", "", 0);
        if (finished > 0)
            s->finish("data");
        if (finished > 1)
            QTRY_VERIFY(rec.events.contains("finished"));
        s->cancel();
        QCOMPARE(rec.events.last(), QString("state 0"));
        QCOMPARE(QFile::exists(root + "/x/c.bin"), fileKept);
        QTest::qWait(40);
        QCOMPARE(rec.events.contains("finished"), finished > 1);
        // A cancelled stream can be connected again and fetch the file.
        s->initiateConnection(QUrl("http://127.0.0.1/"), QString(), 1, 0);
        s->getFile("x/c.bin", "", 0);
        s->finish("ok");
        QCOMPARE(readFile(root + "/x/c.bin"), QByteArray("ok"));
    }

    void refusedGetFile_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("blocker"); // a plain file created first, relative to root
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("text"); // %1 = root; empty: ignored without a signal
        const int ready = DSS_Ready;
        QTest::newRow("idle") << int(DSS_Idle) << QString() << QString("a/x.dat") << QString();
        QTest::newRow("connected")
            << int(DSS_Connected) << QString() << QString("a/x") << QString();
        QTest::newRow("downloading")
            << int(DSS_Downloading) << QString() << QString("a/x") << QString();
        QTest::newRow("file where a directory must go")
            << ready << QString("a") << QString("a/b/c.dat")
            << QString("ERROR: failed creating subdirectory: %1/a/b");
        QTest::newRow("directory where the file must go")
            << ready << QString() << QString("d/dir") << QString("ERROR: failed creating %1/d/dir");
        for (const char* name : {"../out.dat", "/tmp/abs.dat", ""})
            QTest::addRow("bad name '%s'", name)
                << ready << QString() << QString(name)
                << QString("ERROR: failed to detect local path for ") + name;
    }
    void refusedGetFile()
    {
        QFETCH(int, state);
        QFETCH(QString, blocker);
        QFETCH(QString, fileName);
        QFETCH(QString, text);
        if (!blocker.isEmpty())
            QVERIFY(writeFile(root + "/" + blocker, "x"));
        QVERIFY(QDir().mkpath(root + "/d/dir"));
        auto s = readyStream();
        s->force(DownloadStream_State(state));
        StreamRecorder rec(s.get());
        s->getFile(fileName, "", 1);
        QCOMPARE(rec.events, text.isEmpty() ? QStringList()
                                            : QStringList{"error 3 " + text.replace("%1", root)});
        QCOMPARE(int(s->getState()), state);
        QVERIFY(s->requests.isEmpty());
        QVERIFY(!QFile::exists(root + "/a/x.dat") && !QFile::exists(root + "/a/x"));
        QVERIFY(!QFile::exists(tmp.path() + "/out.dat"));
        QVERIFY(!QFile::exists("/tmp/abs.dat"));
    }

    void localFailureOnRepeat()
    {
        auto s = readyStream("http://127.0.0.1/", 3, 0);
        StreamRecorder rec(s.get());
        s->getFile("rep.bin", "", 0);
        s->fail("reset");
        // The destination turns into a directory during the pause.
        QVERIFY(QDir().mkpath(root + "/rep.bin"));
        QTRY_COMPARE(s->getState(), DSS_Ready);
        QCOMPARE(rec.events.last(), "error 3 ERROR: failed creating " + root + "/rep.bin");
        QTest::qWait(20);
        QCOMPARE(s->requests.size(), 1);
    }

    void proxyText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("proxy");
        QTest::newRow("none") << "" << true << "";
        QTest::newRow("host and port") << "127.0.0.1:3129" << true << "http://127.0.0.1:3129";
        QTest::newRow("url with user")
            << "http://u:p@127.0.0.1:8" << true << "http://u:p@127.0.0.1:8";
        QTest::newRow("upper-case scheme") << "HTTP://127.0.0.1:8" << true << "http://127.0.0.1:8";
        QTest::newRow("other scheme") << "socks5://127.0.0.1:1080" << false << "";
        QTest::newRow("bad port") << "127.0.0.1:99999999" << false << "";
        QTest::newRow("space in host") << "http://a b:1" << false << "";
    }
    void proxyText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, proxy);
        ScriptedStream s(root);
        QCOMPARE(s.initParams(text), valid);
        QCOMPARE(s.proxyUrl(), QUrl(proxy));
    }
};

QTEST_GUILESS_MAIN(TestDownloadStream)
#include "tst_download_stream.moc"
