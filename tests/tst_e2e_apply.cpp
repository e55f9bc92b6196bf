#include "e2efixture.h"

// Interrupted updates and patch updates: each ends exactly at the version on the next start.
class ApplyTest : public EndToEndTest
{
    Q_OBJECT

private Q_SLOTS:
    void interruptedThenResumed_data()
    {
        QTest::addColumn<QString>("interruption");
        QTest::addColumn<int>("firstExitCode"); // -1: killed
        QTest::addColumn<int>("kept");          // files of the first run kept for the next
        QTest::newRow("every mirror failing") << "failing" << 2 << 2;
        QTest::newRow("second updater refused, first killed") << "killed" << -1 << 2;
        QTest::newRow("apply cannot write a file") << "blocked" << 3 << 4;
    }

    void interruptedThenResumed()
    {
        QFETCH(QString, interruption);
        QFETCH(int, firstExitCode);
        QFETCH(int, kept);
        const ProductTree p = fourFiles();
        publish(p, 7);
        QString firstMirror = mirror(nginx.baseUrl());
        if (interruption == "failing") {
            QVERIFY(QFile::remove(publish(p, 7, "/partial") + "/files/c.bin"));
            firstMirror = nginx.baseUrl() + "/" + caseName + "/partial/";
        } else if (interruption == "killed") {
            firstMirror = mirror(nginx.baseUrl(), "/slow");
        } else { // A directory where a file must go cannot be replaced.
            QVERIFY(writeFile(inst->path("b.bin/keep"), "in the way"));
        }
        inst->writeSettings(1);
        inst->writeMirrors({{firstMirror}});

        std::unique_ptr<QProcess> first = inst->start({"--nouser", clientType, "7"});
        if (interruption == "killed") {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(inst->record().dir + "/files/c.bin").size() > 40000,
                                     scaledMs(20000));
            // A second updater, even for another version, must not touch the first one's download,
            // nor what it writes or moved aside in the installation.
            const Installation::Record running = inst->record();
            const QStringList itsFiles{inst->path(".update-new.a.bin"), inst->path("_old_update")};
            for (const QString& path : itsFiles)
                QVERIFY(writeFile(path, "the first updater's"));
            for (const QString version : {"7", "12"}) {
                const Installation::Run second = update(version);
                QVERIFY2(second.finished && second.exitCode == 1 &&
                             second.errorOutput.contains("Another update is running."),
                         qPrintable(second.errorOutput));
                QCOMPARE(inst->record().dir, running.dir);
            }
            QCOMPARE(first->state(), QProcess::Running);
            QVERIFY(QFileInfo::exists(itsFiles[0]) && QFileInfo::exists(itsFiles[1]));
            first->kill();
        }
        const Installation::Run firstRun = Installation::wait(first.get());
        QVERIFY2(firstExitCode < 0 ? !firstRun.finished
                                   : firstRun.finished && firstRun.exitCode == firstExitCode,
                 qPrintable(firstRun.errorOutput));

        // The record and the download directory stay for the next start.
        const Installation::Record record = inst->record();
        QCOMPARE(QStringList({record.version, record.type, QFileInfo(record.dir).absolutePath()}),
                 QStringList({"7", clientType, inst->tempDir()}));
        QCOMPARE(inst->tempEntries(), QStringList{QFileInfo(record.dir).fileName()});
        for (int i = 0; i < kept; ++i)
            QCOMPARE(readFile(record.dir + "/" + p.files[i].mirrorPath()),
                     p.mirrorBytes(p.files[i]));
        // A kept copy changed since is fetched again.
        QByteArray changed = p.mirrorBytes(p.files[0]);
        changed[100] = char(changed[100] ^ 1);
        QVERIFY(writeFile(record.dir + "/" + p.files[0].mirrorPath(), changed));

        if (interruption == "blocked")
            QVERIFY(QDir(inst->path("b.bin")).removeRecursively());
        inst->writeMirrors({{mirror(nginx.baseUrl())}});
        const int before = int(nginx.requestedPaths().size());
        const Installation::Run resumed = update("7");
        QVERIFY2(resumed.exitCode == 0 &&
                     resumed.errorOutput.contains("Previous update session for v. 7 found"),
                 qPrintable(resumed.errorOutput));
        // (The apply had already installed it.)
        const QStringList again{productIndex, manifestFile,
                                interruption == "blocked" ? "" : p.files[0].mirrorPath()};
        QCOMPARE(httpFetched(7, before),
                 QStringList(again).filter(".") + p.mirrorPaths().mid(kept));
        QCOMPARE(inst->finishedWith(p), QString());
    }

    void killedWhileApplying_data()
    {
        QTest::addColumn<int>("file"); // killed when its new copy appears beside it
        for (int file : {0, 3, 6, 7})
            QTest::newRow(qPrintable(QString("at file %1 of 8").arg(file))) << file;
    }

    // Between a kill and the next start every file is old or new, never missing or partial;
    // the next start completes the application without fetching anything but the index.
    void killedWhileApplying()
    {
        QFETCH(int, file);
        const QByteArray builtUpdater = readFile(QStringLiteral(UPDATE_BINARY));
        ProductTree old, p;
        for (int i = 0; i < 7; ++i) {
            old.add("files", QString("big%1.bin").arg(i), ProductTree::randomBytes(3000000, i));
            p.add("files", QString("big%1.bin").arg(i), ProductTree::randomBytes(3000000, 50 + i));
        }
        p.add("files", "update", builtUpdater + "\nnext updater\n");
        publish(p, 2);
        QVERIFY(inst->install(old));
        inst->writeMirrors({{mirror(nginx.baseUrl())}});
        QVERIFY(killWhenThere("2", inst->path(".update-new." + p.files[file].name)));
        for (int i = 0; i < p.files.size(); ++i) {
            const QByteArray now = readFile(inst->path(p.files[i].name));
            QVERIFY2(now == p.files[i].content ||
                         now == (i < 7 ? old.files[i].content : builtUpdater),
                     qPrintable(p.files[i].name));
        }
        const int before = int(nginx.requestedPaths().size());
        const Installation::Run again = update("2");
        QVERIFY2(again.exitCode == 0, qPrintable(again.errorOutput));
        QCOMPARE(httpFetched(2, before), QStringList({productIndex, manifestFile}));
        QCOMPARE(inst->finishedWith(p), QString());
        QCOMPARE(QDir(inst->dir()).entryList({".update-new.*"}, QDir::Files | QDir::Hidden),
                 QStringList());
    }

    void patchUpdate_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("firstLog"); // a first run changes `setup` while a file crawls
        QTest::newRow("every changed file as a patch") << ""
                                                       << "";
        QTest::newRow("a file the user changed comes whole") << "user"
                                                             << "";
        QTest::newRow("damaged patch on the first mirror") << "damaged"
                                                           << "";
        QTest::newRow("mirror without patches") << "whole"
                                                << "";
        QTest::newRow("killed while rebuilding, then rerun") << "killed"
                                                             << "";
        QTest::newRow("installed file changed before rebuilding") << "big1.bin"
                                                                  << "Can't patch ";
        // What lies in the download directory is checked again before anything is applied.
        const QString signature = "The signature of ";
        QTest::newRow("index changed before applying") << productIndex << signature;
        QTest::newRow("manifest changed before applying") << manifestFile << signature;
        QTest::newRow("manifest removed before applying")
            << "-" + manifestFile << "The manifest of ";
    }

    // Versions 1 and 2 published and signed by update-publish, 2 with patches from 1: four 3 MB
    // files with a few bytes changed (one of them packed) and a new one.
    void patchUpdate()
    {
        QFETCH(QString, setup);
        QFETCH(QString, firstLog);
        const QString caseDir = mirrorRoot.path() + "/" + caseName;
        ProductTree v1, v2;
        for (int i = 0; i < 4; ++i) {
            QByteArray content = ProductTree::randomBytes(3000000, 60 + i);
            v1.add("files", QString("big%1.bin").arg(i), content);
            for (const int at : {1000, 1500000, 2999000})
                content[at + i] = char(content[at + i] ^ 0xff);
            v2.add("files", QString("big%1.bin").arg(i), content);
        }
        v2.add("files", "added.bin", ProductTree::randomBytes(42000, 9)); // crawls on /slow/
        for (const QString& root : setup == "damaged" ? QStringList{"/first", ""} : QStringList{""})
            for (const int version : {1, 2}) {
                for (const ProductFile& f : (version == 1 ? v1 : v2).files)
                    QVERIFY(
                        writeFile(QString("%1/src%2/%3").arg(inst->root()).arg(version).arg(f.name),
                                  f.content));
                QStringList args{"--quiet",  "--replace",  "--pack",
                                 "big3.bin", "--sign-key", key("a.pem")};
                if (version == 2 && setup != "whole")
                    args << "--delta-from"
                         << "1";
                QProcess publish;
                publish.start(UPDATE_PUBLISH_BINARY,
                              args << QString("%1/src%2").arg(inst->root()).arg(version)
                                   << caseDir + root << QString::number(version));
                QVERIFY(publish.waitForFinished(scaledMs(60000)) && publish.exitCode() == 0);
            }
        if (setup == "damaged") {
            const QString patch = caseDir + "/first/2/patches/1/big0.bin.zst";
            QByteArray bytes = readFile(patch);
            bytes[10] = char(bytes[10] ^ 1);
            QVERIFY(writeFile(patch, bytes));
        }
        makeTreeWorldReadable(caseDir);
        QVERIFY(inst->install(v1) && writeFile(inst->path("update.pub"), readFile(key("a.pub"))));
        if (setup == "user")
            QVERIFY(writeFile(inst->path("big2.bin"), "changed by the user"));
        inst->writeSettings(1);
        inst->writeMirrors(setup == "damaged"
                               ? QList<Installation::Mirror>{{mirror(nginx.baseUrl()) + "first/"},
                                                             {mirror(nginx.baseUrl())}}
                               : QList<Installation::Mirror>{{mirror(nginx.baseUrl())}});

        const int before = int(nginx.requestedPaths().size());
        int rerun = before;
        if (setup == "killed") {
            QVERIFY(killWhenThere("2", inst->path(".update-new.big1.bin")));
            for (int i = 0; i < 4; ++i) {
                const QByteArray now = readFile(inst->path(v1.files[i].name));
                QVERIFY(now == v1.files[i].content || now == v2.files[i].content);
            }
            rerun = int(nginx.requestedPaths().size());
        }
        if (!firstLog.isEmpty()) {
            inst->writeMirrors({{nginx.baseUrl() + "/slow/" + caseName + "/"}});
            std::unique_ptr<QProcess> first = inst->start({"--nouser", clientType, "2"});
            QTRY_VERIFY_WITH_TIMEOUT(
                QFileInfo(inst->record().dir + "/files/added.bin").size() > 40000, scaledMs(20000));
            // One byte changed: the installed file keeps its length.
            const QString name = QString(setup).remove('-');
            const QString target =
                setup == "big1.bin" ? inst->path(name) : inst->record().dir + "/" + name;
            QByteArray changed = readFile(target);
            changed[5] = char(changed[5] ^ 1);
            QVERIFY(setup.startsWith('-') ? QFile::remove(target) : writeFile(target, changed));
            const Installation::Run firstRun = Installation::wait(first.get());
            QVERIFY2(firstRun.exitCode == 3 && firstRun.errorOutput.contains(firstLog),
                     qPrintable(firstRun.errorOutput));
            // The other patched files went in; the changed one stays as the user left it.
            ProductTree now = setup == "big1.bin" ? v2 : v1;
            if (setup == "big1.bin")
                now.files[1].content = changed;
            QCOMPARE(inst->compareWith(now), QString());
            inst->writeMirrors({{mirror(nginx.baseUrl())}});
        }
        const Installation::Run run = update("2");
        QVERIFY2(run.exitCode == 0 &&
                     run.errorOutput.contains(setup == "damaged" ? "ERROR: Wrong checksum for"
                                                                 : "Update finished"),
                 qPrintable(run.errorOutput));
        QCOMPARE(inst->finishedWith(v2), QString());

        // What was fetched, in bytes, against the whole files of version 2.
        const QStringList fetched = pathsBelow(nginx.requestedPaths().mid(before), caseName + "/");
        quint64 bytes = 0, whole = 0;
        for (const QString& path : fetched)
            bytes += quint64(QFileInfo(caseDir + "/" + path).size());
        for (const QString& path : v2.mirrorPaths())
            whole += quint64(QFileInfo(caseDir + "/2/" + path).size());
        const QStringList wholeBig = fetched.filter(QRegularExpression("/files/big"));
        QCOMPARE(wholeBig, setup == "whole"
                               ? QStringList({"2/files/big0.bin", "2/files/big1.bin",
                                              "2/files/big2.bin", "2/files/big3.bin.gz"})
                           : setup == "user"     ? QStringList{"2/files/big2.bin"}
                           : setup == "big1.bin" ? QStringList{"2/files/big1.bin"}
                                                 : QStringList());
        QVERIFY2(setup == "whole" || setup == "user" || setup == "big1.bin" || bytes < whole / 50,
                 qPrintable(fetched.join(' ')));
        if (setup == "killed")
            QCOMPARE(httpFetched(2, rerun),
                     QStringList({productIndex, manifestFile, productIndex + ".sig"}));
    }
};

QTEST_GUILESS_MAIN(ApplyTest)
#include "tst_e2e_apply.moc"
