// FTP download streams against vsftpd, also through squid's CONNECT tunnel.
#include "ftpdownloadstream.h"
#include "producttree.h"
#include "streamrecorder.h"
#include "testservers.h"
#include "transport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QByteArray fileContent = ProductTree::randomBytes(300000, 9);
const QByteArray bigContent = ProductTree::randomBytes(24 * 1024 * 1024, 10);

} // namespace

class TestDownloadStreamFtp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    QString ftpRoot;
    VsftpdServer ftp;
    QString root;

    std::unique_ptr<FTPDownloadStream> connectedStream(const QUrl& url, int retries = 1,
                                                       int timeout = 0,
                                                       const QString& proxy = QString())
    {
        auto s = std::make_unique<FTPDownloadStream>(root);
        s->initiateConnection(url, proxy, retries, timeout);
        if (!QTest::qWaitFor([&] { return s->getState() == DSS_Ready; }, 10000))
            return nullptr;
        return s;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<DownloadStream_State>("DownloadStream_State");
        qRegisterMetaType<DownloadStream_Error>("DownloadStream_Error");
        QVERIFY(tmp.isValid());
        ftpRoot = tmp.path() + "/ftp";
        QVERIFY(QDir().mkpath(ftpRoot + "/m/2/x/y"));
        QVERIFY(writeFile(ftpRoot + "/m/2/file.bin", fileContent));
        QVERIFY(writeFile(ftpRoot + "/m/2/big.bin", bigContent));
        QVERIFY(writeFile(ftpRoot + "/m/2/x/y/deep file.txt", "deep"));
        makeTreeWorldReadable(ftpRoot);
        QVERIFY2(ftp.start(ftpRoot, true), qPrintable(ftp.output()));
        transport::setTestTimeouts(3, 3);
    }

    void cleanupTestCase() { transport::setTestTimeouts(0, 0); }

    void init()
    {
        static int n = 0;
        root = tmp.path() + QString("/local%1").arg(++n);
        QVERIFY(QDir().mkpath(root));
    }

    void login_data()
    {
        QTest::addColumn<QString>("user"); // empty: anonymous
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QStringList>("events"); // "failedToConnect": that signal with any text
        const QStringList connected{"state 1", "state 2", "connected"};
        QTest::newRow("anonymous") << ""
                                   << "" << true << connected;
        QTest::newRow("password") << ftp.userName() << ftp.password() << true << connected;
        QTest::newRow("refused") << ftp.userName() << "not-" + ftp.password() << true
                                 << QStringList{"state 1", "failedToConnect"};
        QTest::newRow("unreachable") << ""
                                     << "" << false << QStringList{"failedToConnect"};
    }
    void login()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, reachable);
        QFETCH(QStringList, events);
        QUrl url(reachable ? ftp.baseUrl() + "/m/2"
                           : QString("ftp://127.0.0.1:%1/").arg(testservers::freePort()));
        url.setUserName(user);
        url.setPassword(password);
        const int logins = ftp.loginCount();
        const int failed = ftp.failedLoginCount();

        FTPDownloadStream s(root);
        StreamRecorder rec(&s);
        s.initiateConnection(url, QString(), 1, 0);
        QVERIFY(rec.events.isEmpty());
        QTRY_COMPARE(rec.events.size(), events.size());
        QTest::qWait(100);
        QStringList seen = rec.events;
        for (QString& e : seen) {
            if (e.startsWith("failedToConnect ") && e.size() > 16)
                e = "failedToConnect";
        }
        QCOMPARE(seen, events);
        if (events.last() != "connected") {
            QCOMPARE(s.getState(), reachable ? DSS_Connected : DSS_Idle);
            QCOMPARE(ftp.failedLoginCount(), failed + (reachable ? 1 : 0));
            s.getFile("file.bin", "", 0);
            QCOMPARE(rec.events.size(), events.size());
            return;
        }
        QTRY_COMPARE(ftp.loginCount(), logins + 1);
        s.getFile("file.bin", ProductTree::md5(fileContent), fileContent.size());
        QTRY_VERIFY(rec.ended());
        QCOMPARE(rec.events.mid(3), (QStringList{"state 3", "state 2", "finished"}));
        QCOMPARE(readFile(root + "/file.bin"), fileContent);
        QVERIFY(!rec.progress.isEmpty());
        QCOMPARE(ftp.downloadedPaths().last(), QString("/m/2/file.bin"));
        // The control connection of the login is used for the file.
        QCOMPARE(ftp.loginCount(), logins + 1);
    }

    void files_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QString>("outcome"); // %1: local path

        const QString sum = ProductTree::md5(fileContent);
        const qint64 size = fileContent.size();
        QTest::newRow("nested") << "x/y/deep file.txt" << ProductTree::md5("deep") << qint64(4)
                                << "finished";
        QTest::newRow("upper-case sum") << "file.bin" << sum.toUpper() << size << "finished";
        QTest::newRow("wrong checksum") << "file.bin" << ProductTree::md5("other") << size
                                        << "error 1 ERROR: Wrong checksum for %1";
        QTest::newRow("longer than expected")
            << "file.bin" << sum << size - 2
            << QString("error 2 ERROR: Wrong length of %1 (%2 while required %3)")
                   .arg("%1", QString::number(size - 1), QString::number(size - 2));
    }
    void files()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, md5);
        QFETCH(qint64, length);
        QFETCH(QString, outcome);
        auto s = connectedStream(QUrl(ftp.baseUrl() + "/m/2/"), 3, 0);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile(fileName, md5, length);
        QTRY_VERIFY(rec.ended());
        const QString path = root + "/" + fileName;
        QCOMPARE(rec.events,
                 (QStringList{"state 3", "state 2", QString(outcome).replace("%1", path)}));
        QCOMPARE(QFile::exists(path), outcome == "finished");
        QCOMPARE(ftp.retrievedPaths().filter(fileName.section('/', -1)).isEmpty(), false);
    }

    void missingFileIsNotRepeated()
    {
        auto s = connectedStream(QUrl(ftp.baseUrl() + "/m/2"), 5, 0);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile("absent.bin", "", 0);
        QTRY_VERIFY(rec.ended());
        QTest::qWait(100);
        QCOMPARE(rec.events.size(), 3);
        QVERIFY(rec.events.last().startsWith("error 4 ERROR: "));
        // One attempt: the server saw each command for the file at most once.
        const QStringList asked = ftp.commands().filter("/m/2/absent.bin");
        QVERIFY(!asked.isEmpty());
        QCOMPARE(asked.filter("SIZE ").size() <= 1 && asked.filter("RETR ").size() <= 1, true);
        QVERIFY(!QFile::exists(root + "/absent.bin"));
    }

    void cancelInsideProgress()
    {
        auto s = connectedStream(QUrl(ftp.baseUrl() + "/m/2"), 3, 0);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        FTPDownloadStream* raw = s.get();
        // The worst moment: from inside the transport's own notification.
        const auto once = QObject::connect(raw, &SingleFileDownloadStream::progressCount, raw,
                                           [raw](qint64 done, qint64) {
                                               if (done > 0 && raw->getState() == DSS_Downloading)
                                                   raw->cancel();
                                           });
        s->getFile("big.bin", ProductTree::md5(bigContent), bigContent.size());
        QTRY_COMPARE(s->getState(), DSS_Idle);
        QVERIFY(!QFile::exists(root + "/big.bin"));
        QTest::qWait(300);
        QCOMPARE(rec.events, (QStringList{"state 3", "state 0"}));
        QVERIFY(!QFile::exists(root + "/big.bin"));

        // The same object connects again and fetches a file.
        QObject::disconnect(once);
        s->initiateConnection(QUrl(ftp.baseUrl() + "/m/2"), QString(), 1, 0);
        QTRY_COMPARE(s->getState(), DSS_Ready);
        s->getFile("file.bin", ProductTree::md5(fileContent), fileContent.size());
        QTRY_VERIFY(rec.ended());
        QCOMPARE(rec.events.last(), QString("finished"));
    }

    void throughProxyTunnel()
    {
        SquidServer squid;
        QVERIFY2(squid.start(), qPrintable(squid.output()));
        // The FTP stream hands only host and port to the tunnel.
        QString proxy = squid.proxyUrl();
        proxy.replace("http://", "http://ignored:user@");
        auto s = connectedStream(QUrl(ftp.baseUrl() + "/m/2"), 1, 0, proxy);
        QVERIFY(s);
        StreamRecorder rec(s.get());
        s->getFile("file.bin", ProductTree::md5(fileContent), fileContent.size());
        QTRY_VERIFY_WITH_TIMEOUT(rec.ended(), 10000);
        QCOMPARE(rec.events.last(), QString("finished"));
        // squid logs a tunnel only when it closes; the control connection may stay pooled,
        // the data connection of the transfer is closed.
        QTRY_VERIFY(!squid.requests().isEmpty());
        for (const QString& r : squid.requests())
            QVERIFY2(r.startsWith("CONNECT 127.0.0.1:"), qPrintable(r));
    }
};

QTEST_GUILESS_MAIN(TestDownloadStreamFtp)
#include "tst_download_stream_ftp.moc"
