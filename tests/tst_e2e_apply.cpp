#include "e2efixture.h"

// Interrupted updates and patch updates: each ends exactly at the version on the next start.
class ApplyTest : public EndToEndTest
{
    Q_OBJECT

private Q_SLOTS:
    void killedThenResumed_data()
    {
        QTest::addColumn<QString>("setup"); // the mirror of the next start, or "damaged"
        QTest::addColumn<QString>("logText");
        const auto row = [](const char* name, const char* setup, const char* logText) {
            QTest::newRow(name) << QString(setup) << QString(logText);
        };
        const char* continued = "Continuing files/c.bin at byte ";
        const char* restarted = "Fetching files/c.bin from its start";
        row("continued over HTTP", "", continued);
        row("continued over FTP", "ftp", continued);
        row("mirror ignores Range", "/norange", restarted);
        row("mirror answers another range", "/badrange", restarted);
        row("part damaged on disk", "damaged", "the continued files/c.bin is not");
        // Pieces of 16 KiB: of the 42 KiB or so kept, the first two are good; with the first one
        // damaged, the second is kept all the same. A mirror without ranges sends it whole.
        row("checked by pieces", "pieces", "2 of 19 pieces of files/c.bin kept");
        row("piece damaged on disk", "pieces damaged", "1 of 19 pieces of files/c.bin kept");
        row("pieces, mirror ignores Range", "pieces /norange", restarted);
    }

    // Killed while downloading, beside a second updater that the lock turns away: the next start
    // resumes with what the first one fetched, and continues the file it was fetching.
    void killedThenResumed()
    {
        QFETCH(QString, setup);
        QFETCH(QString, logText);
        ProductTree p = fourFiles();
        p.pieceLength = setup.startsWith("pieces") ? 16384 : 0;
        publish(p, 7);
        inst->writeSettings(1);
        inst->writeMirrors({{mirror(nginx.baseUrl(), "/slow")}});
        std::unique_ptr<QProcess> first = inst->start({"--nouser", clientType, "7"});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(inst->record().dir + "/files/c.bin").size() > 40000,
                                 scaledMs(20000));
        // A second updater, even for another version, must not touch the first one's download,
        // nor what it writes or moved aside in the installation.
        const Installation::Record record = inst->record();
        const QStringList itsFiles{inst->path(".update-new.a.bin"), inst->path("_old_update")};
        for (const QString& path : itsFiles)
            QVERIFY(writeFile(path, "the first updater's"));
        for (const QString version : {"7", "12"}) {
            const Installation::Run second = update(version);
            QVERIFY2(second.finished && second.exitCode == 1 &&
                         second.errorOutput.contains("Another update is running."),
                     qPrintable(second.errorOutput));
            QCOMPARE(inst->record().dir, record.dir);
        }
        QCOMPARE(first->state(), QProcess::Running);
        QVERIFY(QFileInfo::exists(itsFiles[0]) && QFileInfo::exists(itsFiles[1]));
        first->kill();
        QVERIFY(!Installation::wait(first.get()).finished);

        // The record and the download directory stay for the next start, which fetches only
        // what the first did not, and a kept copy changed since.
        QCOMPARE(inst->tempEntries(), QStringList{QFileInfo(record.dir).fileName()});
        QVERIFY(writeFile(record.dir + "/" + p.files[0].mirrorPath(),
                          flipped(p.files[0].content, 100)));
        const QString part = record.dir + "/files/c.bin";
        const qint64 kept = QFileInfo(part).size();
        if (setup.endsWith("damaged"))
            QVERIFY(writeFile(part, flipped(readFile(part), 7)));
        const QString path = setup.section(' ', -1);
        inst->writeMirrors(
            {{setup == "ftp" ? mirror(vsftpd.baseUrl())
                             : mirror(nginx.baseUrl(), path.startsWith('/') ? path : "")}});
        const qint64 good = setup == "pieces" ? 32768 : setup == "pieces damaged" ? 16384 : kept;
        const int before = int(nginx.requestedPaths().size());
        const Installation::Run resumed = update("7");
        QVERIFY2(resumed.exitCode == 0 &&
                     resumed.errorOutput.contains("Previous update session for v. 7 found") &&
                     resumed.errorOutput.contains(logText),
                 qPrintable(resumed.errorOutput));
        QCOMPARE(inst->finishedWith(p), QString());
        if (setup == "ftp")
            QVERIFY(vsftpd.commands("REST").contains(QString::number(kept)));
        if (!setup.isEmpty() && good == kept)
            return;
        QStringList fetched = httpFetched(7, before);
        fetched.removeDuplicates();
        QCOMPARE(fetched, QStringList({productIndex, manifestFile, p.files[0].mirrorPath()}) +
                              p.mirrorPaths().mid(2));
        // Only what is not good of the file it was fetching.
        QCOMPARE(rangeBytes(nginx.sent("/" + caseName + "/7/files/c.bin").mid(1)),
                 p.files[2].content.size() - good);
    }

    void splitFile_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("logText");
        QTest::newRow("a second mirror sends other bytes") << "copy"
                                                           << "Stream 0 connected";
        QTest::newRow("no mirror sends ranges") << "/norange"
                                                << "does not send the range";
        QTest::newRow("killed, then resumed") << "/slow"
                                              << "pieces of files/c.bin kept";
    }

    // A large file with pieces is fetched in ranges by all streams at once, each range checked
    // by its pieces as it arrives; whatever goes wrong, the file ends exact.
    void splitFile()
    {
        QFETCH(QString, setup);
        QFETCH(QString, logText);
        ProductTree p = fourFiles();
        p.pieceLength = 16384;
        publish(p, 7);
        const QString copy = publish(p, 7, "/copy");
        QVERIFY(writeFile(copy + "/files/c.bin", ProductTree::randomBytes(300000, 99)));
        inst->writeSettings(4);
        inst->writeMirrors({{mirror(nginx.baseUrl(), setup == "copy" ? "" : setup)}});
        if (setup == "copy")
            inst->writeMirrors(
                {{mirror(nginx.baseUrl())}, {nginx.baseUrl() + "/" + caseName + "/copy/"}});
        const QString cBin = caseName + "/7/files/c.bin";
        const QByteArray content = p.files[2].content;
        qint64 good = 0; // the bytes of the good pieces kept
        if (setup == "/slow") {
            std::unique_ptr<QProcess> first = inst->start({"--nouser", clientType, "7"});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(inst->record().dir + "/files/c.bin").size() > 100000,
                                     scaledMs(20000));
            first->kill();
            Installation::wait(first.get());
            inst->writeMirrors({{mirror(nginx.baseUrl())}});
            const QByteArray kept = readFile(inst->record().dir + "/files/c.bin");
            for (qsizetype at = 0; at < kept.size(); at += 16384) {
                const QByteArray piece = kept.mid(at, 16384);
                good += piece == content.mid(at, 16384) ? piece.size() : 0;
            }
            QVERIFY(good > 0 && good < kept.size());
        }
        const int before = int(nginx.requestedPaths().size());
        const qsizetype sentBefore = nginx.sent(cBin).size();
        const Installation::Run run = update("7");
        QVERIFY2(run.exitCode == 0 && run.errorOutput.contains(logText),
                 qPrintable(run.errorOutput));
        QCOMPARE(inst->finishedWith(p), QString());
        const QStringList sent = nginx.requestedPaths().mid(before).filter("c.bin");
        if (setup == "copy") {
            // Each range the second mirror sent failed and marked it; the first one sent every
            // range once, in ranges, and nothing more.
            QVERIFY(sent.filter("/copy/").isEmpty() ||
                    run.errorOutput.contains("a range of files/c.bin from mirror1 failed"));
            const QStringList ranges = nginx.sent(cBin);
            QVERIFY2(ranges.size() > 2 && rangeBytes(ranges) == 300000,
                     qPrintable(ranges.join(", ")));
        }
        // Of a kept copy, what is not good, and nothing more.
        if (setup == "/slow")
            QCOMPARE(rangeBytes(nginx.sent(cBin).mid(sentBefore)), content.size() - good);
    }

    void interruptedApply_data()
    {
        QTest::addColumn<bool>("patches");
        QTest::addColumn<int>("file");     // killed when its new copy appears beside it
        QTest::addColumn<bool>("blocked"); // instead, a directory stands where it goes
        for (const bool patches : {false, true}) {
            const QString kind = patches ? "patch update" : "whole files";
            for (int file : {0, 3, 6, 7})
                QTest::newRow(qPrintable(QString("%1, killed at file %2 of 8").arg(kind).arg(file)))
                    << patches << file << false;
            QTest::newRow(qPrintable(kind + ", file 3 blocked")) << patches << 3 << true;
        }
    }

    // Between an interruption and the next start every file is old or new, never missing or
    // partial; the next start completes the application without fetching anything but the
    // index, its manifest and signature, and a kept patch that was damaged meanwhile.
    void interruptedApply()
    {
        QFETCH(bool, patches);
        QFETCH(int, file);
        QFETCH(bool, blocked);
        const QByteArray builtUpdater = readFile(QStringLiteral(UPDATE_BINARY));
        ProductTree old, p;
        for (int i = 0; i < 7; ++i) {
            QByteArray content = ProductTree::randomBytes(3000000, i);
            old.add("files", QString("big%1.bin").arg(i), content);
            content.insert(1000 + i, "a patch that changes the length"); // cannot re-apply
            // Nearly incompressible, like a game's data pack: where its gzip blocks end, the
            // packed big3.bin once failed to unpack.
            QByteArray fresh = ProductTree::randomBytes(3000000, 53 + i);
            for (int at = 0; at < fresh.size(); at += 16)
                fresh[at] = char(fresh[at] & 0x0f);
            p.add("files", QString("big%1.bin").arg(i), patches ? content : fresh);
        }
        p.add("files", "update", builtUpdater + "\nnext updater\n");
        QVERIFY(publishReleases(old, p, !patches));
        inst->writeMirrors({{mirror(nginx.baseUrl())}});
        const QString name = p.files[file].name;
        if (blocked) {
            QVERIFY(QFile::remove(inst->path(name)) && writeFile(inst->path(name + "/x"), "x"));
            QCOMPARE(update("2").exitCode, 3);
        } else {
            QVERIFY(killWhenThere("2", inst->path(".update-new." + name)));
        }
        for (int i = 0; i < p.files.size(); ++i) {
            const QByteArray now = readFile(inst->path(p.files[i].name));
            QVERIFY2(now == p.files[i].content || (blocked && i == file) ||
                         now == (i < 7 ? old.files[i].content : builtUpdater),
                     qPrintable(p.files[i].name));
        }
        // A kept patch not applied yet, damaged on the disk meanwhile, is fetched again.
        QStringList again{productIndex, manifestFile, productIndex + ".sig"};
        const QString patch = inst->record().dir + "/patches/1/big6.bin.zst";
        if (QFileInfo::exists(patch) && readFile(inst->path("big6.bin")) == old.files[6].content) {
            QVERIFY(writeFile(patch, flipped(readFile(patch), 20)));
            again << "patches/1/big6.bin.zst";
        }
        QVERIFY(!blocked || QDir(inst->path(name)).removeRecursively());
        const int before = int(nginx.requestedPaths().size());
        const Installation::Run rerun = update("2");
        QVERIFY2(rerun.exitCode == 0, qPrintable(rerun.errorOutput));
        QCOMPARE(httpFetched(2, before), again);
        QCOMPARE(inst->finishedWith(p), QString());
        QCOMPARE(QDir(inst->dir()).entryList({".update-new.*"}, QDir::Files | QDir::Hidden),
                 QStringList());
    }

    void patchUpdate_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("firstLog");  // a first run changes `setup` while a file crawls
        QTest::addColumn<QStringList>("whole"); // the big files fetched whole
        const QStringList all{"big0.bin", "big1.bin", "big2.bin", "big3.bin.gz"};
        QTest::newRow("every changed file as a patch") << ""
                                                       << "" << QStringList();
        QTest::newRow("a file the user changed comes whole") << "user"
                                                             << "" << QStringList{"big2.bin"};
        // A patch that cannot be had or used is replaced by its whole file in the same run.
        QTest::newRow("damaged patch") << "damaged"
                                       << "" << QStringList{"big0.bin"};
        QTest::newRow("mirror without its patches") << "nopatches"
                                                    << "" << all;
        QTest::newRow("FTP mirror without its patches") << "ftp"
                                                        << "" << all;
        QTest::newRow("installed file changed before rebuilding")
            << "big1.bin"
            << "Can't patch " << QStringList{"big1.bin"};
        QTest::newRow("published without patches") << "whole"
                                                   << "" << all;
        // What lies in the download directory is checked again before anything is applied.
        const QString signature = "The signature of ";
        QTest::newRow("index changed before applying")
            << productIndex << signature << QStringList();
        QTest::newRow("manifest changed before applying")
            << manifestFile << signature << QStringList();
        QTest::newRow("manifest removed before applying")
            << "-" + manifestFile << "The manifest of " << QStringList();
    }

    // Versions 1 and 2 published and signed by update-publish, 2 with patches from 1: four 3 MB
    // files with a few bytes changed (one of them packed) and a new one.
    void patchUpdate()
    {
        QFETCH(QString, setup);
        QFETCH(QString, firstLog);
        QFETCH(QStringList, whole);
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
        QVERIFY(publishReleases(v1, v2, setup == "whole"));
        const QString damaged = caseDir + "/2/patches/1/big0.bin.zst";
        if (setup == "damaged")
            QVERIFY(writeFile(damaged, flipped(readFile(damaged), 10)));
        if (setup == "nopatches" || setup == "ftp")
            QVERIFY(QDir(caseDir + "/2/patches").removeRecursively());
        if (setup == "user")
            QVERIFY(writeFile(inst->path("big2.bin"), "changed by the user"));
        inst->writeSettings(1);
        const auto served = [&] {
            return setup == "ftp" ? vsftpd.retrievedPaths() : nginx.requestedPaths();
        };
        const int before = int(served().size());
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
            inst->writeMirrors({{mirror(nginx.baseUrl())}}); // for what the run fetches next
            const Installation::Run firstRun = Installation::wait(first.get());
            // The whole file mends a failed rebuild at once; a changed index or manifest stops
            // the apply before anything is installed.
            const bool mended = setup == "big1.bin";
            QVERIFY2(firstRun.exitCode == (mended ? 0 : 3) &&
                         firstRun.errorOutput.contains(firstLog),
                     qPrintable(firstRun.errorOutput));
            QCOMPARE(inst->compareWith(mended ? v2 : v1), QString());
        }
        inst->writeMirrors({{mirror(setup == "ftp" ? vsftpd.baseUrl() : nginx.baseUrl())}});
        const Installation::Run run = update("2");
        QVERIFY2(run.exitCode == 0 &&
                     run.errorOutput.contains(setup == "damaged" ? "ERROR: Wrong checksum for"
                                                                 : "Update finished"),
                 qPrintable(run.errorOutput));
        QCOMPARE(inst->finishedWith(v2), QString());

        // What was fetched, in bytes, against the whole files of version 2.
        const QStringList fetched = pathsBelow(served().mid(before), caseName + "/2/");
        quint64 bytes = 0;
        for (const QString& path : fetched)
            bytes += quint64(QFileInfo(caseDir + "/2/" + path).size());
        QCOMPARE(fetched.filter(QRegularExpression("^files/big")),
                 whole.replaceInStrings(QRegularExpression("^"), "files/"));
        QVERIFY2(!whole.isEmpty() || bytes < v2.totalMirrorSize() / 50,
                 qPrintable(fetched.join(' ')));
    }
};

QTEST_GUILESS_MAIN(ApplyTest)
#include "tst_e2e_apply.moc"
