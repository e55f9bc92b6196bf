// FtpClient against vsftpd (anonymous and a password user).
#include "commandlog.h"
#include "ftpclient.h"
#include "producttree.h"
#include "testservers.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TransferError)

namespace
{

const QString odd = QString::fromUtf8("/odd dir/a b#50%\xc3\xbc.txt");

} // namespace

class FtpClientTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void loginAndFiles_data();
    void loginAndFiles();
    void failedOrAbortedGet_data();
    void failedOrAbortedGet();
    void eightParallelClientsManyFiles();

private:
    QTemporaryDir root;
    VsftpdServer ftp;
};

void FtpClientTest::initTestCase()
{
    QVERIFY(writeFile(root.filePath("dir/one.txt"), "one"));
    QVERIFY(writeFile(root.filePath("dir/two.txt"), "two two"));
    QVERIFY(writeFile(root.filePath(odd.mid(1)), "odd"));
    QVERIFY(writeFile(root.filePath("big.bin"), ProductTree::randomBytes(200000, 5)));
    for (int i = 0; i < 120; ++i) {
        QVERIFY(writeFile(root.filePath(QStringLiteral("many/f%1.bin").arg(i)),
                          ProductTree::randomBytes(1000 + 97 * i, quint32(i))));
    }
    QVERIFY2(ftp.start(root.path(), true), qPrintable(ftp.output()));
    transport::setTestTimeouts(3, 3);
}

void FtpClientTest::loginAndFiles_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port"); // 0: the server's
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password"); // "*": the right one
    QTest::addColumn<QStringList>("events");
    // okSteps commands succeed, the next one fails and clears the rest without signals.
    const auto row = [](const char* tag, const QString& host, int port, const QString& user,
                        const QString& password, int okSteps) {
        QStringList events = {"queued"};
        const QStringList steps = {"connect", "login", "odd", "big"};
        for (int i = 0; i < qMin(okSteps + 1, 4); ++i)
            events << steps[i] + (i < okSteps ? " ok" : " error");
        QTest::newRow(tag) << host << port << user << password << events;
    };
    row("anonymous", "127.0.0.1", 0, "", "", 4);
    row("password user", "127.0.0.1", 0, "vmftptest", "*", 4);
    row("refused login", "127.0.0.1", 0, "vmftptest", "wrong", 1);
    row("unreachable", "127.0.0.1", testservers::freePort(), "", "", 0);
    // An empty label: refused by the C library, no name server is asked.
    row("name does not resolve", "bad..invalid", 21, "", "", 0);
}

void FtpClientTest::loginAndFiles()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QStringList, events);
    const int logins = ftp.loginCount();
    const int retrieved = ftp.retrievedPaths().size();
    FtpClient client;
    CommandLog log(&client, &FtpClient::commandFinished);
    QSignalSpy progress(&client, &FtpClient::dataTransferProgress);
    QBuffer a, b;
    a.open(QIODevice::WriteOnly);
    b.open(QIODevice::WriteOnly);
    log("connect", client.connectToHost(host, quint16(port ? port : ftp.port())));
    log("login", client.login(user, password == "*" ? ftp.password() : password));
    log("odd", client.get(odd, &a));
    log("big", client.get("/big.bin", &b));
    log.events << "queued";
    QTRY_COMPARE_WITH_TIMEOUT(log.events, events, 10000);
    QTest::qWait(100);
    QCOMPARE(log.events, events);
    if (!events.last().endsWith(" ok")) {
        QVERIFY(!client.errorString().isEmpty());
        QCOMPARE(a.size() + b.size(), 0);
        return;
    }
    QCOMPARE(a.data(), QByteArray("odd"));
    QCOMPARE(b.data(), readFile(root.filePath("big.bin")));
    QCOMPARE(progress.last()[0].toLongLong(), 200000);
    // One login for several files; absolute paths from the server's root, as RETR /path did.
    // vsftpd's log shows bytes above ASCII as "?".
    QCOMPARE(ftp.loginCount(), logins + 1);
    QCOMPARE(ftp.retrievedPaths().mid(retrieved),
             QStringList({"/odd dir/a b#50%??.txt", "/big.bin"}));
}

void FtpClientTest::failedOrAbortedGet_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("abort");
    QTest::addColumn<TransferError>("kind");
    QTest::addColumn<QString>("text"); // part of the error text
    QTest::addColumn<qint64>("written");
    QTest::newRow("missing file") << "/dir/none.txt" << qint64(-1) << false
                                  << TransferError::Refused << "550" << qint64(0);
    QTest::newRow("over the limit")
        << "/big.bin" << qint64(50000) << false << TransferError::TooLarge << "" << qint64(50000);
    QTest::newRow("aborted") << "/big.bin" << qint64(-1) << true << TransferError::Failed
                             << "aborted" << qint64(-1);
}

void FtpClientTest::failedOrAbortedGet()
{
    QFETCH(QString, path);
    QFETCH(qint64, limit);
    QFETCH(bool, abort);
    QFETCH(TransferError, kind);
    QFETCH(QString, text);
    QFETCH(qint64, written);
    FtpClient client;
    CommandLog log(&client, &FtpClient::commandFinished);
    QBuffer a, b, c;
    for (QBuffer* x : {&a, &b, &c})
        x->open(QIODevice::WriteOnly);
    log("connect", client.connectToHost("127.0.0.1", ftp.port()));
    log("login", client.login());
    const int failing = log("failing", client.get(path, &a, FtpClient::Binary, limit));
    log("next", client.get("/dir/one.txt", &b));
    QStringList events = {"connect ok", "login ok", "failing error"};
    if (abort) {
        QTRY_COMPARE(client.currentId(), failing);
        client.abort();
        log.events << "aborted";
        events.insert(2, "aborted");
    }
    QTRY_COMPARE(log.events, events);
    QTest::qWait(200);
    QCOMPARE(log.events, events); // the cleared get never finishes
    QCOMPARE(client.error(), kind);
    QVERIFY2(client.errorString().contains(text), qPrintable(client.errorString()));
    if (written >= 0)
        QCOMPARE(a.size(), written);
    QCOMPARE(b.size(), 0);
    // The client stays usable.
    log("after", client.get("/dir/two.txt", &c));
    QTRY_COMPARE(log.events.last(), QString("after ok"));
    QCOMPARE(c.data(), QByteArray("two two"));
}

void FtpClientTest::eightParallelClientsManyFiles()
{
    VsftpdServer server;
    QVERIFY(server.start(root.path()));
    const int clients = 8;
    const int files = 120;
    QStringList failures;
    int done = 0;
    std::vector<std::unique_ptr<QBuffer>> outs;
    std::vector<std::unique_ptr<FtpClient>> ftps; // gone first
    for (int i = 0; i < clients; ++i) {
        ftps.push_back(std::make_unique<FtpClient>());
        connect(ftps.back().get(), &FtpClient::commandFinished, this, [&, i](int id, bool error) {
            ++done;
            if (error)
                failures << QStringLiteral("client %1 command %2").arg(i).arg(id);
        });
        ftps.back()->connectToHost("127.0.0.1", server.port());
        ftps.back()->login();
    }
    for (int f = 0; f < files; ++f) {
        outs.push_back(std::make_unique<QBuffer>());
        outs.back()->open(QIODevice::WriteOnly);
        ftps[f % clients]->get(QStringLiteral("/many/f%1.bin").arg(f), outs.back().get());
    }
    // With the stall limit at 3 s a stalled transfer would fail, not just be slow.
    QTRY_COMPARE_WITH_TIMEOUT(done, files + 2 * clients, 60000);
    QCOMPARE(failures, QStringList());
    for (int f = 0; f < files; ++f)
        QCOMPARE(outs[f]->data(), readFile(root.filePath(QStringLiteral("many/f%1.bin").arg(f))));
    // The clients share one connection cache: a file may find every idle connection busy and
    // open one more, but connections are reused, never one per file.
    const int logins = server.loginCount();
    QVERIFY2(logins >= clients && logins <= 2 * clients, qPrintable(QString::number(logins)));
}

QTEST_GUILESS_MAIN(FtpClientTest)
#include "tst_download_transportftp.moc"
