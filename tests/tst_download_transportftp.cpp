// FtpClient against vsftpd (anonymous and a password user) and through squid.
#include "ftpclient.h"
#include "producttree.h"
#include "testservers.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TransferError)

class FtpClientTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void loginsAndFirstCommands_data();
    void loginsAndFirstCommands();
    void oneLoginForSeveralFiles();
    void failedGetClearsTheQueue_data();
    void failedGetClearsTheQueue();
    void awkwardNames_data();
    void awkwardNames();
    void abortStopsWithoutLaterSignals();
    void eightParallelClientsManyFiles();

private:
    QTemporaryDir root;
    VsftpdServer ftp;
    ProductTree tree;
};

void FtpClientTest::initTestCase()
{
    QVERIFY(writeFile(root.filePath("dir/one.txt"), "one"));
    QVERIFY(writeFile(root.filePath("dir/two.txt"), "two two"));
    QVERIFY(writeFile(root.filePath("big.bin"), ProductTree::randomBytes(200000, 5)));
    for (int i = 0; i < 120; ++i) {
        QVERIFY(writeFile(root.filePath(QStringLiteral("many/f%1.bin").arg(i)),
                          ProductTree::randomBytes(1000 + 97 * i, quint32(i))));
    }
    QVERIFY2(ftp.start(root.path(), true), qPrintable(ftp.output()));
    transport::setTestTimeouts(3, 3);
}

void FtpClientTest::loginsAndFirstCommands_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port"); // 0: the server's
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password"); // "*": the right one
    QTest::addColumn<bool>("connectOk");
    QTest::addColumn<bool>("loginOk");
    QTest::newRow("anonymous") << "127.0.0.1" << 0 << ""
                               << "" << true << true;
    QTest::newRow("password user") << "127.0.0.1" << 0 << "vmftptest"
                                   << "*" << true << true;
    QTest::newRow("refused login") << "127.0.0.1" << 0 << "vmftptest"
                                   << "wrong" << true << false;
    QTest::newRow("unreachable") << "127.0.0.1" << int(testservers::freePort()) << ""
                                 << "" << false << false;
    // An empty label: refused by the C library, no name server is asked.
    QTest::newRow("name does not resolve") << "bad..invalid" << 21 << ""
                                           << "" << false << false;
}

void FtpClientTest::loginsAndFirstCommands()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, connectOk);
    QFETCH(bool, loginOk);
    if (password == "*")
        password = ftp.password();
    const int loginsBefore = ftp.loginCount();
    FtpClient client;
    QSignalSpy finished(&client, &FtpClient::commandFinished);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const int c = client.connectToHost(host, quint16(port ? port : ftp.port()));
    const int l = client.login(user, password);
    const int g = client.get("/dir/one.txt", &out);
    QCOMPARE(finished.size(), 0);
    const int expected = !connectOk ? 1 : !loginOk ? 2 : 3;
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), expected, 10000);
    QTest::qWait(100);
    QCOMPARE(finished.size(), expected); // a failure clears the rest without signals
    QCOMPARE(finished[0][0].toInt(), c);
    QCOMPARE(finished[0][1].toBool(), !connectOk);
    if (connectOk) {
        QCOMPARE(finished[1][0].toInt(), l);
        QCOMPARE(finished[1][1].toBool(), !loginOk);
    }
    if (loginOk) {
        QCOMPARE(finished[2][0].toInt(), g);
        QCOMPARE(finished[2][1].toBool(), false);
        QCOMPARE(out.data(), QByteArray("one"));
        QCOMPARE(ftp.loginCount(), loginsBefore + 1);
    } else {
        QVERIFY(!client.errorString().isEmpty());
        QCOMPARE(out.size(), 0);
    }
}

void FtpClientTest::oneLoginForSeveralFiles()
{
    VsftpdServer server;
    QVERIFY(server.start(root.path()));
    FtpClient client;
    QSignalSpy finished(&client, &FtpClient::commandFinished);
    QSignalSpy progress(&client, &FtpClient::dataTransferProgress);
    QBuffer a, b, c;
    for (QBuffer* x : {&a, &b, &c})
        x->open(QIODevice::WriteOnly);
    client.connectToHost("127.0.0.1", server.port());
    client.login();
    client.get("/dir/one.txt", &a);
    client.get("/dir/two.txt", &b);
    client.get("/big.bin", &c);
    QTRY_COMPARE(finished.size(), 5);
    for (const auto& args : finished)
        QCOMPARE(args[1].toBool(), false);
    QCOMPARE(a.data(), QByteArray("one"));
    QCOMPARE(b.data(), QByteArray("two two"));
    QCOMPARE(c.data(), readFile(root.filePath("big.bin")));
    QCOMPARE(server.loginCount(), 1);
    // Absolute paths from the server's root, as RETR /path did.
    QCOMPARE(server.retrievedPaths(), QStringList({"/dir/one.txt", "/dir/two.txt", "/big.bin"}));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last()[0].toLongLong(), 200000);
}

void FtpClientTest::failedGetClearsTheQueue_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<TransferError>("kind");
    QTest::addColumn<qint64>("written");
    QTest::newRow("missing file") << "/dir/none.txt" << qint64(-1) << TransferError::Refused
                                  << qint64(0);
    QTest::newRow("over the limit")
        << "/big.bin" << qint64(50000) << TransferError::TooLarge << qint64(50000);
}

void FtpClientTest::failedGetClearsTheQueue()
{
    QFETCH(QString, path);
    QFETCH(qint64, limit);
    QFETCH(TransferError, kind);
    QFETCH(qint64, written);
    FtpClient client;
    QSignalSpy finished(&client, &FtpClient::commandFinished);
    QBuffer a, b;
    a.open(QIODevice::WriteOnly);
    b.open(QIODevice::WriteOnly);
    client.connectToHost("127.0.0.1", ftp.port());
    client.login();
    const int failing = client.get(path, &a, FtpClient::Binary, limit);
    client.get("/dir/one.txt", &b);
    QTRY_COMPARE(finished.size(), 3);
    QCOMPARE(finished[2][0].toInt(), failing);
    QCOMPARE(finished[2][1].toBool(), true);
    QCOMPARE(client.error(), kind);
    if (kind == TransferError::Refused)
        QVERIFY2(client.errorString().contains("550"), qPrintable(client.errorString()));
    QCOMPARE(a.size(), written);
    QTest::qWait(200);
    QCOMPARE(finished.size(), 3);
    QCOMPARE(b.size(), 0);
}

void FtpClientTest::awkwardNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("space") << "with space/a b.txt";
    QTest::newRow("hash") << "h/#hash.txt";
    QTest::newRow("percent") << "p/50%.txt";
    QTest::newRow("umlaut") << QString::fromUtf8("u/\xc3\xbc.txt");
}

void FtpClientTest::awkwardNames()
{
    QFETCH(QString, name);
    QVERIFY(writeFile(root.filePath(name), name.toUtf8()));
    FtpClient client;
    QSignalSpy finished(&client, &FtpClient::commandFinished);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    client.connectToHost("127.0.0.1", ftp.port());
    client.login();
    client.get("/" + name, &out);
    QTRY_COMPARE(finished.size(), 3);
    QVERIFY2(!finished[2][1].toBool(), qPrintable(client.errorString()));
    QCOMPARE(out.data(), name.toUtf8());
    // vsftpd's log shows bytes above ASCII as "?".
    QByteArray logged = ("/" + name).toUtf8();
    for (char& ch : logged) {
        if (uchar(ch) > 127)
            ch = '?';
    }
    QCOMPARE(ftp.retrievedPaths().last(), QString::fromLatin1(logged));
}

void FtpClientTest::abortStopsWithoutLaterSignals()
{
    FtpClient client;
    QSignalSpy finished(&client, &FtpClient::commandFinished);
    QBuffer a, b;
    a.open(QIODevice::WriteOnly);
    b.open(QIODevice::WriteOnly);
    client.connectToHost("127.0.0.1", ftp.port());
    client.login();
    QTRY_COMPARE(finished.size(), 2);
    const int running = client.get("/big.bin", &a);
    client.get("/dir/one.txt", &b);
    QTRY_COMPARE(client.currentId(), running);
    client.abort();
    QCOMPARE(finished.size(), 2);
    QTRY_COMPARE(finished.size(), 3);
    QCOMPARE(finished[2][0].toInt(), running);
    QCOMPARE(finished[2][1].toBool(), true);
    QTest::qWait(300);
    QCOMPARE(finished.size(), 3);
    QCOMPARE(b.size(), 0);
    // The client stays usable.
    QBuffer c;
    c.open(QIODevice::WriteOnly);
    client.get("/dir/two.txt", &c);
    QTRY_COMPARE(finished.size(), 4);
    QCOMPARE(c.data(), QByteArray("two two"));
}

void FtpClientTest::eightParallelClientsManyFiles()
{
    VsftpdServer server;
    QVERIFY(server.start(root.path()));
    const int clients = 8;
    const int files = 120;
    QList<FtpClient*> ftps;
    QList<QBuffer*> outs;
    int done = 0;
    int failures = 0;
    for (int i = 0; i < clients; ++i) {
        auto* client = new FtpClient(this);
        ftps.append(client);
        connect(client, &FtpClient::commandFinished, this, [&](int, bool error) {
            ++done;
            failures += error ? 1 : 0;
        });
        client->connectToHost("127.0.0.1", server.port());
        client->login();
    }
    for (int f = 0; f < files; ++f) {
        outs.append(new QBuffer(this));
        outs.last()->open(QIODevice::WriteOnly);
        ftps[f % clients]->get(QStringLiteral("/many/f%1.bin").arg(f), outs.last());
    }
    // With the stall limit at 3 s a stalled transfer would fail, not just be slow.
    QElapsedTimer t;
    t.start();
    QTRY_COMPARE_WITH_TIMEOUT(done, files + 2 * clients, 60000);
    QCOMPARE(failures, 0);
    for (int f = 0; f < files; ++f)
        QCOMPARE(outs[f]->data(), readFile(root.filePath(QStringLiteral("many/f%1.bin").arg(f))));
    QCOMPARE(server.loginCount(), clients);
    qInfo("%d files over %d parallel FTP clients in %lld ms", files, clients, t.elapsed());
    qDeleteAll(ftps);
    qDeleteAll(outs);
}

QTEST_GUILESS_MAIN(FtpClientTest)
#include "tst_download_transportftp.moc"
