// FTP download streams against vsftpd, also through squid's CONNECT tunnel.
#include "ftpdownloadstream.h"
#include "producttree.h"
#include "streamrecorder.h"
#include "testservers.h"
#include "transport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QByteArray fileContent = ProductTree::randomBytes(300000, 9);
const QByteArray bigContent = ProductTree::randomBytes(24 * 1024 * 1024, 10);
const QStringList connected{"state 1", "state 2", "connected"};

} // namespace

class TestDownloadStreamFtp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    QString ftpRoot, root;
    VsftpdServer ftp;
    std::unique_ptr<FTPDownloadStream> stream;
    std::unique_ptr<StreamRecorder> rec;

    // login: "" (anonymous), "password", "wrong password" or "unreachable"; events: "<local>" is
    // the local directory; log: logins and file commands seen by the server.
    static void row(const char* tag, const QString& login, const QString& file, const QString& md5,
                    qint64 length, const QStringList& events, const QStringList& log)
    {
        QTest::newRow(tag) << login << file << md5 << length << events << log;
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
        QVERIFY(writeFile(ftpRoot + "/m/2/x/y/deep file.bin", fileContent));
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
        stream = std::make_unique<FTPDownloadStream>(root);
        rec = std::make_unique<StreamRecorder>(stream.get());
    }

    void fetch_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("log");
        const QString sum = ProductTree::md5(fileContent);
        const qint64 size = fileContent.size();
        const QStringList fetched = connected + QStringList{"state 3", "state 2", "finished"};
        // One login: the control connection of the login also carries the file.
        const QStringList sent{"1 login, 0 refused", "SIZE /m/2/file.bin", "RETR /m/2/file.bin"};
        row("anonymous", "", "file.bin", sum, size, fetched, sent);
        row("password", "password", "file.bin", sum, size, fetched, sent);
        // A stream that failed to connect ignores requests for files.
        row("refused", "wrong password", "file.bin", sum, size, {"state 1", "failedToConnect"},
            {"0 login, 1 refused"});
        row("unreachable", "unreachable", "file.bin", sum, size, {"failedToConnect"},
            {"0 login, 0 refused"});
        row("nested", "", "x/y/deep file.bin", sum, size, fetched,
            {"1 login, 0 refused", "SIZE /m/2/x/y/deep file.bin", "RETR /m/2/x/y/deep file.bin"});
        row("longer than expected", "", "file.bin", sum, size - 2,
            connected + QStringList{"state 3", "state 2",
                                    QString("error 2 ERROR: Wrong length of <local>/file.bin (%1 "
                                            "while required %2)")
                                        .arg(size - 1)
                                        .arg(size - 2)},
            sent);
        // Refused for good (550): asked once although five attempts are allowed.
        row("missing file", "", "absent.bin", "", 0,
            connected + QStringList{"state 3", "state 2",
                                    "error 4 ERROR: The file does not exist (FTP 550)"},
            {"1 login, 0 refused", "SIZE /m/2/absent.bin"});
    }
    void fetch()
    {
        QFETCH(QString, login);
        QFETCH(QString, file);
        QFETCH(QString, md5);
        QFETCH(qint64, length);
        QFETCH(QStringList, events);
        QFETCH(QStringList, log);
        QUrl url(login == "unreachable"
                     ? QString("ftp://127.0.0.1:%1/").arg(testservers::freePort())
                     : ftp.baseUrl() + "/m/2");
        if (login.endsWith("password")) {
            url.setUserName(ftp.userName());
            url.setPassword(login == "password" ? ftp.password() : "not-" + ftp.password());
        }
        const int logins = ftp.loginCount(), refused = ftp.failedLoginCount();
        const qsizetype commands = ftp.commands().size();
        stream->initiateConnection(url, QString(), 5, 0);
        QVERIFY(rec->events.isEmpty());
        QTRY_VERIFY(
            !rec->events.filter(QRegularExpression("^(connected|failedToConnect)")).isEmpty());
        QStringList seen = rec->fetch(file, md5, length, root);
        QTest::qWait(100);
        // The reason for a failed connection is the library's text.
        seen.replaceInStrings(QRegularExpression("^failedToConnect .+"), "failedToConnect");
        QCOMPARE(seen, events);
        const auto serverLog = [&] {
            return QStringList{QString("%1 login, %2 refused")
                                   .arg(ftp.loginCount() - logins)
                                   .arg(ftp.failedLoginCount() - refused)} +
                   ftp.commands().mid(commands).filter(QRegularExpression("^(SIZE|RETR) "));
        };
        QTRY_COMPARE(serverLog(), log);
        QCOMPARE(QFile::exists(root + "/" + file), events.last() == "finished");
        if (events.last() == "finished")
            QCOMPARE(readFile(root + "/" + file), fileContent);
    }

    void cancelInsideProgress()
    {
        QVERIFY(rec->connectTo(ftp.baseUrl() + "/m/2", 3, 0));
        // The worst moment: from inside the transport's own notification.
        FTPDownloadStream* raw = stream.get();
        const auto once = QObject::connect(raw, &SingleFileDownloadStream::progressCount, raw,
                                           [raw](qint64 done, qint64) {
                                               if (done > 0 && raw->getState() == DSS_Downloading)
                                                   raw->cancel();
                                           });
        stream->getFile("big.bin", ProductTree::md5(bigContent), bigContent.size());
        QTRY_COMPARE(stream->getState(), DSS_Idle);
        QTest::qWait(300);
        QCOMPARE(rec->events.mid(3), (QStringList{"state 3", "state 0"}));
        QVERIFY(!QFile::exists(root + "/big.bin"));

        // The same object connects again and fetches a file.
        QObject::disconnect(once);
        QVERIFY(rec->connectTo(ftp.baseUrl() + "/m/2", 1, 0));
        QCOMPARE(
            rec->fetch("file.bin", ProductTree::md5(fileContent), fileContent.size(), root).last(),
            QString("finished"));
    }

    void throughProxyTunnel()
    {
        SquidServer squid;
        QVERIFY2(squid.start(), qPrintable(squid.output()));
        // The FTP stream hands only host and port to the tunnel.
        QString proxy = squid.proxyUrl().replace("http://", "http://ignored:user@");
        QVERIFY(rec->connectTo(ftp.baseUrl() + "/m/2", 1, 0, proxy));
        QCOMPARE(
            rec->fetch("file.bin", ProductTree::md5(fileContent), fileContent.size(), root).last(),
            QString("finished"));
        // squid logs a tunnel only when it closes; the control connection may stay pooled,
        // the data connection of the transfer is closed.
        QTRY_VERIFY(!squid.requests().isEmpty());
        QCOMPARE(squid.requests().filter(QRegularExpression("^CONNECT 127.0.0.1:\\d+$")),
                 squid.requests());
    }
};

QTEST_GUILESS_MAIN(TestDownloadStreamFtp)
#include "tst_download_stream_ftp.moc"
