#include "e2efixture.h"

// Transfers: HTTP, HTTPS and FTP, proxies, redirects, failing mirrors and failover.
class TransferTest : public EndToEndTest
{
    Q_OBJECT

private Q_SLOTS:
    void freshUpdate_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<bool>("proxy");
        QTest::addColumn<int>("limitKiB"); // per second, all streams together; 0: none
        QTest::newRow("http") << "http" << false << 0;
        QTest::newRow("ftp") << "ftp" << false << 0;
        // Before the proxy rows: squid's log of CONNECTs is not kept apart by case.
        QTest::newRow("http, limited") << "http" << false << 256;
        QTest::newRow("ftp, limited") << "ftp" << false << 256;
        QTest::newRow("http through the proxy") << "http" << true << 0;
        QTest::newRow("ftp tunnelled through the proxy") << "ftp" << true << 0;
    }

    void freshUpdate()
    {
        QFETCH(QString, scheme);
        QFETCH(bool, proxy);
        QFETCH(int, limitKiB);
        ProductTree p = clientProduct(2);
        p.add("files", "lib/libz.so.1", "the client's own zlib, version 2");
        if (limitKiB) // two big files at once: the limit holds for both streams together
            p.add("files", "data/more.pak", ProductTree::randomBytes(300000, 40));
        const QStringList expectedModes{
            "old_notes.txt missing",     "data/levels.pak.gz missing", "readme.txt 644",
            "data/levels.pak 644",       "vm3client_linux_x86 755",    "lib/libvoice.so 755",
            "lib/_old_libz.so.1 missing"};
        publish(p, 2);
        QVERIFY(inst->install(clientProduct(1)));
        QVERIFY(writeFile(inst->path("lib/libz.so.1"), "the client's own zlib, version 1"));
        // A link in the way is replaced, not written through.
        QVERIFY(QFile::remove(inst->path("readme.txt")) && writeFile(inst->root() + "/out", "out"));
        QVERIFY(QFile::link(inst->root() + "/out", inst->path("readme.txt")));
        inst->writeMirrors({{mirror(scheme == "http" ? nginx.baseUrl() : vsftpd.baseUrl())}});
        if (proxy)
            inst->writeSettings(2, QString(), squid.address());
        const auto fetched = [&] {
            return scheme == "http" ? httpFetched(2)
                                    : pathsBelow(vsftpd.retrievedPaths(), "/" + caseName + "/2/");
        };

        if (limitKiB)
            QSettings(inst->path("update.ini"), QSettings::IniFormat)
                .setValue("update/limit-rate", QString("%1k").arg(limitKiB));

        const Installation::Run run = update("2");
        QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.errorOutput));
        QCOMPARE(inst->finishedWith(p), QString());
        if (limitKiB) { // the files came within a tenth of the limit, from the log's time stamps
            const auto at = [&run](const QString& line) {
                const QRegularExpression stamp("^(\\S+ \\S+) " + line,
                                               QRegularExpression::MultilineOption);
                return QDateTime::fromString(stamp.match(run.errorOutput).captured(1),
                                             "yyyy-MM-dd hh:mm:ss.zzz");
            };
            const double seconds = at("Verification of").msecsTo(at("Download finished")) / 1e3;
            const double expected = double(p.totalMirrorSize()) / (limitKiB * 1024);

            QVERIFY2(seconds > expected / 1.1 && seconds < expected * 1.1 * scaledMs(1000) / 1000,
                     qPrintable(QString("%1 s, expected %2 s").arg(seconds).arg(expected)));
        }
        QCOMPARE(modes(*inst, expectedModes), expectedModes);
        QVERIFY(!QFileInfo(inst->path("readme.txt")).isSymLink() &&
                readFile(inst->root() + "/out") == "out");
        // Every log line reaches standard error with a time stamp.
        QVERIFY(run.errorOutput.contains(
            QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:"
                               "\\d\\d\\.\\d{3} Update finished, version: 2$",
                               QRegularExpression::MultilineOption)));
        // Every file differs from version 1: each was fetched, once.
        QCOMPARE(sorted(fetched()), sorted(p.mirrorPaths() << productIndex << manifestFile));
        const QStringList viaProxy = squid.requests().filter(
            QRegularExpression(scheme == "http" ? "/" + caseName + "/2/" : "^CONNECT 127.0.0.1:"));
        QCOMPARE(viaProxy.size() >= 1, proxy);
        if (proxy && scheme == "http")
            QCOMPARE(viaProxy.size(), p.files.size() + 2);
        // The next start finds nothing to do but to read the index.
        const int before = int(fetched().size());
        const Installation::Run again = update("2");
        QVERIFY2(again.exitCode == 0 && again.errorOutput.contains("Update finished, version: 2"),
                 qPrintable(again.errorOutput));
        QCOMPARE(fetched().mid(before), QStringList({productIndex, manifestFile}));
        QCOMPARE(inst->finishedWith(p), QString());
    }

    // The first mirror serves the index with every file damaged (half of them one byte longer, the
    // others with a changed byte), the second refuses connections, the third closes them
    // unanswered, the fourth is good. Stream 0 fetches the index from the first mirror and then its
    // first file there, so the damaged mirror is always tried.
    void failover()
    {
        // Mirrors of older publishers, without a manifest: the index's MD5 checksums decide.
        ProductTree p = clientProduct(1);
        p.manifest = false;
        publish(p, 3);
        const QString damaged = publish(p, 3, "/damaged");
        for (int i = 0; i < p.files.size(); ++i) {
            QByteArray bytes = p.mirrorBytes(p.files[i]) + (i % 2 ? "" : "x");
            bytes[0] = char(bytes[0] ^ (i % 2 ? 0x55 : 0));
            QVERIFY(writeFile(damaged + "/" + p.files[i].mirrorPath(), bytes));
        }
        inst->writeMirrors({{nginx.baseUrl() + "/" + caseName + "/damaged/"},
                            {QString("http://127.0.0.1:%1/").arg(freePort())},
                            {mirror(nginx.baseUrl(), "/drop")},
                            {mirror(nginx.baseUrl())}});
        inst->writeSettings(3);
        const Installation::Run run = update("3");
        QVERIFY2(run.exitCode == 0 && run.errorOutput.contains("ERROR: Wrong length of ") &&
                     run.errorOutput.contains("ERROR: Wrong checksum for "),
                 qPrintable(run.errorOutput));
        QCOMPARE(inst->finishedWith(p), QString());
        QCOMPARE(sorted(httpFetched(3)), sorted(p.mirrorPaths()));
    }

    void failingMirror_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("retries");
        QTest::addColumn<int>("requests"); // of the index
        QTest::addColumn<int>("givenUp");  // streams that end with "can't continue"
        QTest::addColumn<QString>("logText");
        QTest::newRow("busy, three tries") << "/busy" << 3 << 3 << 1 << "";
        QTest::newRow("busy, one try") << "/busy" << 1 << 1 << 1 << "";
        // A pause too long for a timer is cut to an hour (of a clock run 1000 times as fast), not
        // turned into a negative interval that never fires.
        QTest::newRow("busy, a pause of a month")
            << "/busy" << 2 << 2 << 1 << "Timeout 3600 seconds to repeat.";
        QTest::newRow("no answer, two tries") << "/drop" << 2 << 2 << 1 << "";
        // A missing file is not asked for again.
        QTest::newRow("missing index") << "/missing" << 3 << 1 << 1 << "";
        // A certificate nobody vouches for ends the connection before any request.
        QTest::newRow("https, unknown authority") << "https" << 3 << 0 << 1 << "";
        // The second stream still has the mirror when the first gives up; it takes the file back
        // and fails on it too.
        QTest::newRow("a file missing, two streams") << "/partial" << 1 << 1 << 2 << "";
        // An index that announces more bytes than any test machine's disk holds.
        QTest::newRow("not enough disk space")
            << "/huge" << 1 << 1 << 0 << "Not enough disk space: 281474977 MB needed, ";
        const QString noFiles = "Index from mirror0 lists no files.";
        QTest::newRow("empty index") << "/empty" << 1 << 1 << 1 << noFiles;
        QTest::newRow("index without files") << "/nofiles" << 1 << 1 << 1 << noFiles;
        QTest::newRow("file longer than listed")
            << "/long" << 1 << 1 << 1 << "/a/x.bin (more than the required 1)";
        // A burst of 100 bytes a second, one every twenty seconds of the updater's clock (run
        // twenty times as fast by libfaketime, of its own architecture): slow, yet not stalled.
        QTest::newRow("dripping") << "/drip" << 1 << 1 << 1 << "Operation too slow";
        QTest::newRow("redirect with an endless body")
            << "/redirect" << 1 << 1 << 1 << "its body is larger than 65536 bytes";
        // Served with a length, but fetched as if it had none: only the cap ends it.
        QTest::newRow("index that never ends")
            << "/endless" << 1 << 1 << 1
            << QString("%1 (more than 67108864 bytes)").arg(productIndex);
    }

    // Every mirror fails: the download ends as failed, the installation untouched.
    void failingMirror()
    {
        QFETCH(QString, kind);
        QFETCH(int, retries);
        QFETCH(int, requests);
        QFETCH(int, givenUp);
        QFETCH(QString, logText);
        QVERIFY(inst->install(clientProduct(1)));
        if (kind == "/partial")
            QVERIFY(QFile::remove(publish(clientProduct(2), 4, kind) + "/files/readme.txt"));
        const bool https = kind == "https";
        QString url = https ? mirror(tls.baseUrl()) : mirror(nginx.baseUrl(), kind);
        const QByteArray x = "[a]\nx.bin=" + ProductTree::md5("x").toLatin1() + "::1\n";
        const QMap<QString, QByteArray> indexes{
            {"/huge", x + "huge.bin=0123456789abcdef0123456789abcdef::" +
                          QByteArray::number((quint64(1) << 48) - 2) + "\n"},
            {"/long", x},
            {"/empty", ""},
            {"/nofiles", "[delete]\na=\n"}};
        if (indexes.contains(kind))
            QVERIFY(writeFile(mirrorRoot.path() + "/" + caseName + kind + "/4/" + productIndex,
                              indexes[kind]));
        const QString endless = mirrorRoot.path() + "/" + caseName + "/endless/4/" + productIndex;
        if (kind == "/endless") // sparse, past the cap
            QVERIFY(writeFile(endless, "") && QFile::resize(endless, 100 << 20));
        if (kind == "/long")
            QVERIFY(writeFile(mirrorRoot.path() + "/" + caseName + "/long/4/a/x.bin", "xyz"));
        if (kind == "/partial" || kind == "/endless" || indexes.contains(kind))
            url = nginx.baseUrl() + "/" + caseName + kind + "/";
        const bool month = logText.startsWith("Timeout");
        inst->writeMirrors({{url, retries, month ? 2592000 : 0}});
        if (kind == "/drip")
            publish(clientProduct(2), 4);
        if (kind == "/drip" || month)
            inst->environment = {"LD_PRELOAD=/usr/$LIB/faketime/libfaketime.so.1",
                                 month ? "FAKETIME=+0 x1000" : "FAKETIME=+0 x20"};
        const Installation::Run run = update("4");
        QVERIFY2(run.finished && run.exitCode == 2 && run.errorOutput.contains(logText),
                 qPrintable(run.errorOutput));
        QCOMPARE(installedVersion(*inst), QString());
        QCOMPARE((https ? tls : nginx)
                     .requests()
                     .filter("/" + caseName + "/")
                     .filter("/4/" + productIndex)
                     .size(),
                 requests);
        QCOMPARE(run.errorOutput.count("can't continue - all mirrors reported error"), givenUp);
        QCOMPARE(inst->compareWith(clientProduct(1)), QString());
    }

    void redirects_data()
    {
        QTest::addColumn<QString>("path"); // on the TLS server if it starts with "https:"
        QTest::addColumn<bool>("credentials");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("logText");
        QTest::newRow("five hops") << "/hops/aaaa" << false << 0 << "";
        QTest::newRow("six hops") << "/hops/aaaaa" << false << 2
                                  << "Too many redirects (more than 5)";
        QTest::newRow("https to https") << "https:/here" << false << 0 << "";
        QTest::newRow("https to plain http")
            << "https:/tohttp" << false << 2 << "Redirect from HTTPS to plain HTTP refused";
        QTest::newRow("credentials kept on the same port") << "/here" << true << 0 << "";
        QTest::newRow("credentials dropped on another port") << "/away" << true << 0 << "";
    }

    // nginx's own redirects in front of every request of the version.
    void redirects()
    {
        QFETCH(QString, path);
        QFETCH(bool, credentials);
        QFETCH(int, exitCode);
        QFETCH(QString, logText);
        const ProductTree p = clientProduct(2);
        publish(p, 2);
        QVERIFY(inst->install(clientProduct(1)));
        const bool https = path.startsWith("https:");
        QString url = (https ? tls.baseUrl() : nginx.baseUrl()) + path.section(':', -1) + "/" +
                      caseName + "/";
        if (credentials)
            url.replace("://", "://user:secret@");
        inst->writeMirrors({{url}});
        inst->trustAuthority(tls.caFile());
        const Installation::Run run = update("2");
        QVERIFY2(run.finished && run.exitCode == exitCode && run.errorOutput.contains(logText),
                 qPrintable(run.errorOutput));
        QCOMPARE(exitCode == 0 ? inst->finishedWith(p) : inst->compareWith(clientProduct(1)),
                 QString());
        // Who asked plain HTTP for the version, from which port.
        QStringList asked = nginx.users("/" + caseName + "/2/");
        asked.removeDuplicates();
        QStringList expected;
        if (!https)
            expected << QString("%1 %2").arg(nginx.port()).arg(credentials ? "user" : "-");
        if (path == "/away")
            expected << QString("%1 -").arg(secondPort);
        QCOMPARE(sorted(asked), sorted(expected));
    }
};

QTEST_GUILESS_MAIN(TransferTest)
#include "tst_e2e_transfer.moc"
