#include "e2efixture.h"

// Start-up: the command line, the version query, the record and the bundle replacing itself.
class StartTest : public EndToEndTest
{
    Q_OBJECT

private Q_SLOTS:
    void startChecks_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("errorText");
        const QStringList given{"--nouser", clientType, "1"};
        QTest::newRow("temporary directory unusable")
            << "tmpfile" << given << 1 << "Unable to get temp directory.";
        QTest::newRow("no mirror list")
            << "nomirrors" << given << 1 << "mirrors.ini is missing, cannot proceed.";
        QTest::newRow("client running goes on") << "client" << given << 0 << "Client should be";
        // A recorded download directory that is a link is never resumed in, emptied or removed.
        QTest::newRow("recorded directory is a link") << "link" << given << 0 << "version: 1";
        // A record of another type (a typo) is cleaned up; a subgroup does not hide the record.
        QTest::newRow("record of another type") << "typo" << given << 0 << "Cleanup";
        QTest::newRow("record after a subgroup") << "subgroup" << given << 0 << "v. 1 found";
        // A proxy the updater cannot speak to is refused, never bypassed.
        QTest::newRow("SOCKS proxy") << "socks5://127.0.0.1:9" << given << 1 << "scheme socks5";
        QTest::newRow("HTTPS proxy") << "https://127.0.0.1:9" << given << 1 << "scheme https";
        // A limit that is not a rate stops the start; QSettings reads "1,5M" as a list.
        const QString notRate =
            "The limit-rate in update.ini is not a rate such as 500K, 8M or 1G: ";
        QTest::newRow("limit, bad unit") << "limit-rate=5X" << given << 1 << notRate + "5X";
        QTest::newRow("limit, a list") << "limit-rate=1,5M" << given << 1 << notRate + "1,5M";
        QTest::newRow("limit, good") << "limit-rate=8m" << given << 0 << "version: 1";
        QTest::newRow("update.ini cannot be written")
            << "inidir" << given << 1 << "Unable to write ";
        QTest::newRow("wrong version code, German")
            << "de_DE.UTF-8" << QStringList{"--nouser", clientType, "1x"} << 1
            << "Falsche Versionsnummer";
        QTest::newRow("version from the query")
            << "query" << QStringList{"--nouser"} << 0 << "Update finished, version: 1";
        // The one query waits five seconds for a silent server.
        QTest::newRow("no answer from the update server")
            << "silent" << QStringList{"--nouser"} << 1 << "Can't detect default parameters";
        // Scheduled runs with a stray argument too many still run unattended, with the version
        // the update server names; a version without a type is refused, not guessed at.
        QTest::newRow("four arguments, unattended")
            << "query" << QStringList{"--nouser", "a", "b", "c"} << 0
            << "Update finished, version: 1";
        QTest::newRow("a version without a type")
            << "query" << QStringList{"--nouser", "57"} << 1 << "No client version specified";
    }

    void startChecks()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, errorText);
        const ProductTree p = clientProduct(1);
        publish(p, 1);
        inst->writeMirrors({{mirror(nginx.baseUrl())}});
        // Moved-aside copies are removed beside the binary, not in the working directory.
        QVERIFY(writeFile(inst->path("_old_update"), "x") &&
                writeFile(inst->root() + "/_old_update", "x"));
        UdpResponder responder;
        responder.setReply("1,7,7");
        responder.setSilent(setup == "silent");
        inst->writeSettings(2, QString("127.0.0.1:%1").arg(responder.port()),
                            setup.contains("://") ? setup : QString());
        if (setup == "tmpfile") {
            QVERIFY(QDir(inst->tempDir()).removeRecursively());
            QVERIFY(writeFile(inst->tempDir(), "a file where the directory must be"));
        } else if (setup == "nomirrors") {
            QVERIFY(QFile::remove(inst->path("mirrors.ini")));
        } else if (setup == "inidir") {
            QVERIFY(QFile::remove(inst->path("update.ini")) &&
                    QDir().mkpath(inst->path("update.ini")));
        } else if (setup.startsWith("limit-rate=")) {
            QVERIFY(writeFile(inst->path("update.ini"), "[update]\nstreams=2\n" + setup.toUtf8()));
        } else if (setup == "link" || setup == "typo" || setup == "subgroup") {
            const QString recorded = inst->tempDir() + "/voxmere_temp_0";
            QVERIFY(writeFile(inst->root() + "/elsewhere/files/readme.txt", "precious"));
            QVERIFY(setup == "link" ? QFile::link(inst->root() + "/elsewhere", recorded)
                                    : QDir().mkpath(recorded));
            // A subgroup first, as a user may write it (QSettings would fold it into a key).
            QVERIFY(writeFile(inst->path("update.ini"),
                              QByteArray(setup == "subgroup" ? "[current/a]\nx=1\n" : "") +
                                  "[current]\nversion=1\ntype=" +
                                  (setup == "typo" ? "client_linx_x86" : clientType.toUtf8()) +
                                  "\ndir=" + QFile::encodeName(recorded) + "\n"));
        }
        QProcess client;
        if (setup == "client") {
            QVERIFY(QFile::copy("/bin/sleep", inst->path("vm3client_linux_x86")));
            client.start(inst->path("vm3client_linux_x86"), {"60"});
            QVERIFY(client.waitForStarted());
        }
        qputenv("LC_ALL", setup.startsWith("de_") ? setup.toLatin1() : "C.UTF-8");

        const Installation::Run run = inst->run(args);
        qputenv("LC_ALL", "C.UTF-8");
        client.kill();
        client.waitForFinished();
        QVERIFY2(run.finished && run.exitCode == exitCode && run.errorOutput.contains(errorText),
                 qPrintable(run.errorOutput));
        QCOMPARE(responder.requestCount(), args.size() == 1 || args.size() >= 4 ? 1 : 0);
        QVERIFY(QFileInfo::exists(inst->root() + "/_old_update"));
        if (exitCode == 0)
            QVERIFY(!QFileInfo::exists(inst->path("_old_update")));
        if (setup == "link") {
            QCOMPARE(readFile(inst->root() + "/elsewhere/files/readme.txt"),
                     QByteArray("precious"));
            QCOMPARE(inst->compareWith(p), QString());
        } else if (exitCode == 0) {
            QCOMPARE(inst->finishedWith(p), QString());
        } else {
            QVERIFY(!inst->record().present() && inst->tempEntries().isEmpty());
            QCOMPARE(httpFetched(1), QStringList());
        }
    }

    // The installation as the product ships it, the bundle the build installs, updated to a
    // version that holds changed copies of its own files: they are replaced while in use, the
    // new updater runs at the next start and removes the copies moved aside.
    void bundleReplacesItself()
    {
#ifdef UPDATE_SANITIZED
        QSKIP("a sanitized build loads a runtime that no bundle holds");
#endif
        QCOMPARE(QProcess::execute(CMAKE_COMMAND,
                                   {"--install", UPDATE_BUILD_DIR, "--prefix", inst->dir()}),
                 0);
        ProductTree p = clientProduct(2);
        const QStringList own{"update", "libQt6Core.so.6", "plugins/platforms/libqoffscreen.so"};
        for (const QString& name : own)
            p.add("files", name, readFile(inst->path(name)) + "\nnext build\n");
        publish(p, 5);
        inst->writeMirrors({{mirror(nginx.baseUrl())}});
        for (int run = 1; run <= 2; ++run) {
            const Installation::Run result = update("5");
            QVERIFY2(result.exitCode == 0, qPrintable(result.errorOutput));
            QCOMPARE(inst->compareWith(p), QString());
            for (const QString& name : own) {
                const QString aside =
                    QFileInfo(name).path() + "/_old_" + QFileInfo(name).fileName();
                QCOMPARE(QFileInfo::exists(inst->path(aside)), run == 1);
            }
        }
        QCOMPARE(httpFetched(5).filter(productIndex).size(), 2);
    }
};

QTEST_GUILESS_MAIN(StartTest)
#include "tst_e2e_start.moc"
