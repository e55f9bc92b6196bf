#include "e2efixture.h"

// What a hostile mirror serves: unsafe indexes, signatures, manifests and MD5 twins.
class TrustTest : public EndToEndTest
{
    Q_OBJECT

private Q_SLOTS:
    void unsafeIndex_data()
    {
        QTest::addColumn<QString>("indexText");
        QTest::addColumn<QString>("logText"); // empty: downloaded, and not installed
        // In an INI file a "\" in a key is the "/" of a path. %F is a usable entry, %V one for the
        // file the mirror planted, %P and %L a packed copy of it whose unpacked checksum or length
        // is not its own, %M a checksum, %I the index's name.
        const auto row = [](const char* name, const char* text, const char* log) {
            QTest::newRow(name) << QString(text) << QString(log);
        };
        row("file installed outside", "[files]\n%F..\\victim.txt=%V\n", "outside the directories");
        row("group outside", "[files]\n%F[..]\nvictim.txt=%V\n", "outside the directories");
        row("deletion outside", "[files]\n%F[delete]\n..\\victim.txt=\n", "deletion of");
        row("absolute deletion", "[files]\n%F[delete]\n\\ROOT\\victim.txt=\n", "not a path");
        row("deletion of the updater", "[files]\n%F[delete]\nupdate=\n", "deletion of update");
        row("deletion of its settings", "[files]\n%F[delete]\nupdate.ini=\n", "deletion of");
        row("deletion of the trusted keys", "[files]\n%F[delete]\nupdate.pub=\n", "deletion of");
        row("unpacked checksum not as listed", "[files]\n%Fvictim.gz=%P::victim.txt\n", "");
        row("unpacked length not as listed", "[files]\n%Fvictim.gz=%L::victim.txt\n", "");
        row("two groups install one path", "[files]\n%F[more]\n%F", "listed twice");
        row("packed copy unpacks onto a plain file", "[files]\n%Fvictim.gz=%P::readme.txt\n",
            "listed twice");
        row("serialised value", "[files]\n%Fa=@Variant(AAAAfwA)\n", "begin with @");
        row("list value", "[files]\n%Fa=%V,%V\n", "outside quotes");
        row("no checksum", "[files]\n%Fvictim.txt=::1000\n", "not 32 hexadecimal digits");
        row("length past 2^63", "[files]\n%Fa=%M::9223372036854775000\n", "not a decimal number");
        row("lengths add up past the bound",
            "[files]\n%Fa=%M::200000000000000\nb=%M::200000000000000\n", "add up to more");
        row("entry is the directory of another", "[files]\n%Fb=%V\nb\\c=%V\n", "directory of");
        row("group in the index's place", "[files]\n%F[%I]\nx=%V\n", "directory of");
        row("entry over the mirror list", "[files]\n%Fmirrors.ini=%V\n", "installation's own");
        row("entry over the lock", "[files]\n%Fupdate.lock=%V\n", "installation's own");
        row("unsigned entry over the trusted keys", "[files]\n%Fupdate.pub=%V\n",
            "installation's own");
    }

    void unsafeIndex()
    {
        QFETCH(QString, indexText);
        QFETCH(QString, logText);
        const QString victim = inst->root() + "/victim.txt";
        QVERIFY(writeFile(victim, "precious"));
        const QByteArray readme = "harmless", evil = "planted by the mirror";
        const QByteArray packed = ProductTree::gzip(evil);
        const QString versionDir = mirrorRoot.path() + "/" + caseName + "/9/";
        QVERIFY(writeFile(versionDir + "files/readme.txt", readme));
        QVERIFY(writeFile(versionDir + "files/victim.gz", packed));
        QVERIFY(writeFile(versionDir + "victim.txt", evil));
        const auto entry = [](const QByteArray& bytes) {
            return ProductTree::md5(bytes) + "::" + QString::number(bytes.size());
        };
        indexText.replace("%F", "readme.txt=" + entry(readme) + "\n")
            .replace("%V", entry(evil))
            .replace("%P", entry(packed) + "::" + entry(evil.toUpper()))
            .replace("%L", entry(packed) + "::" + ProductTree::md5(evil) +
                               "::" + QString::number(evil.size() + 1))
            .replace("%M", ProductTree::md5(evil))
            .replace("%I", productIndex)
            .replace("\\ROOT", QString(inst->root()).replace('/', '\\'));
        QVERIFY(writeFile(versionDir + productIndex, indexText.toUtf8()));
        inst->writeMirrors({{mirror(nginx.baseUrl())}});
        const QByteArray updater = readFile(inst->path("update"));
        QVERIFY(writeFile(inst->path("update.ini"), "[update]\nstreams=2\n"));

        const Installation::Run run = update("9");
        // What reaches outside or does not check out is not installed: a refused index fails the
        // mirror, saying why, a file that does not check out leaves the update incomplete.
        const bool downloads = logText.isEmpty();
        const QStringList refusal = run.errorOutput.split('\n').filter("is not usable: ");
        QVERIFY2(
            run.finished && run.exitCode == (downloads ? 3 : 2) &&
                run.errorOutput.contains(downloads ? "Update incomplete" : "Download cancelled") &&
                (downloads ? refusal.isEmpty() : refusal.value(0).contains(logText)),
            qPrintable(run.errorOutput));
        QCOMPARE(readFile(victim), QByteArray("precious"));
        QCOMPARE(readFile(inst->path("update")), updater);
        QVERIFY(readFile(inst->path("update.ini")).contains("streams=2"));
        QVERIFY(!QFileInfo::exists(inst->path("victim.txt")));
        QCOMPARE(httpFetched(9).filter("/").isEmpty(), !downloads);
        QCOMPARE(QDir(inst->root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList({"install", "runtime", "tmp", "victim.txt"}));
    }

    void signedIndex_data()
    {
        // "trusted;signer;setup": the keys in update.pub (a, b, rsa, junk text; none: no file), the
        // key that signs (none: no signature), what else the row does.
        QTest::addColumn<QString>("row");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("logText");
        QTest::addColumn<int>("installed"); // the version the installation holds afterwards
        const QString unusable = "The trusted key file update.pub cannot be used: ";
        QTest::newRow("signed and good") << "a;a;" << 0 << "" << 2;
        QTest::newRow("one byte of the index changed") << "a;a;byte" << 2 << refused << 1;
        QTest::newRow("signature of another version") << "a;a;version" << 2 << refused << 1;
        QTest::newRow("signature of another type") << "a;a;type" << 2 << refused << 1;
        QTest::newRow("signature cut short") << "a;a;short" << 2 << refused << 1;
        QTest::newRow("no signature") << "a;;" << 2 << refused << 1;
        QTest::newRow("signed by an untrusted key") << "a;b;" << 2 << refused << 1;
        QTest::newRow("update.pub without a key") << "junk;a;" << 1 << unusable << 1;
        QTest::newRow("update.pub with an RSA key only") << "rsa;a;" << 1 << unusable << 1;
        QTest::newRow("two keys, the second signs") << "rsa a b;b;" << 0 << "" << 2;
        QTest::newRow("bad first mirror, good second") << "a;a;failover" << 0 << refused << 2;
        QTest::newRow("unusable index on the first mirror, unsigned")
            << ";;unusable" << 0 << "Index from mirror0 is not usable: " << 2;
        QTest::newRow("no update.pub") << ";;" << 0 << notSigned << 2;
        QTest::newRow("signed by update-publish") << "a;a;publisher" << 0 << "" << 2;
        QTest::newRow("downgrade on the command line") << "a;a;command" << 0 << "" << 1;
        // A plug-in of version 2 has a twin of its MD5 and length; only SHA-256 tells them apart.
        const QString twin = "ERROR: Wrong checksum for ";
        QTest::newRow("MD5 twin, hostile mirror only") << "a;a;twin" << 2 << twin << 1;
        QTest::newRow("MD5 twin, honest mirror next") << "a;a;twinfirst" << 0 << twin << 2;
        QTest::newRow("MD5 twin, unsigned") << ";;twin" << 2 << twin << 1;
        QTest::newRow("no manifest")
            << "a;a;nomanifest" << 2 << "Manifest from mirror0 is missing." << 1;
        QTest::newRow("signed manifest of other lengths")
            << "a;a;mismatch" << 2 << "Manifest from mirror0 is not valid: it lists files/" << 1;
        QTest::newRow("signed patch in the index's place")
            << "a;a;patchplace" << 2 << "Manifest from mirror0 is not valid: in the download" << 1;
        QTest::newRow("unsigned manifest of another index")
            << ";;otherindex" << 0 << "(it is the manifest of another index)" << 2;
        QTest::newRow("unsigned manifest of other lengths")
            << ";;mismatch" << 0 << "checked by MD5: no usable manifest from mirror0 (it lists"
            << 2;
    }

    void signedIndex()
    {
        QFETCH(QString, row);
        QFETCH(int, exitCode);
        QFETCH(QString, logText);
        QFETCH(int, installed);
        const QString trusted = row.section(';', 0, 0), signer = row.section(';', 1, 1),
                      setup = row.section(';', 2, 2);
        const QString caseDir = mirrorRoot.path() + "/" + caseName;
        QVERIFY(inst->install(clientProduct(1)));
        for (const QString& name : trusted.split(' ', Qt::SkipEmptyParts))
            QVERIFY(writeFile(inst->path("update.pub"),
                              readFile(inst->path("update.pub")) + readFile(key(name + ".pub"))));

        // Identical-prefix MD5 collision blocks (Wang and Yu, 2004): flipping the top bit of six
        // bytes keeps the MD5, and so does any common suffix.
        const QByteArray block =
            QByteArray::fromHex("d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
                                "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
                                "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
                                "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70");
        const QByteArray plugin = block + ProductTree::randomBytes(2000, 7);
        QByteArray evilTwin = plugin;
        for (const int at : {19, 45, 59, 83, 109, 123})
            evilTwin[at] = char(evilTwin[at] ^ 0x80);
        QCOMPARE(ProductTree::md5(evilTwin), ProductTree::md5(plugin));
        const auto product = [&](int version) {
            ProductTree p = clientProduct(version);
            if (version == 2)
                p.add("files", "plugins/voice.so", plugin);
            return p;
        };

        // Versions 1 and 2 signed as the row says below good/; bad/ signed by an untrusted key;
        // twin/ the good ones with the twin in place of the plug-in.
        const QStringList roots = setup == "failover" || setup == "unusable"
                                      ? QStringList{"bad", "good"}
                                  : setup == "twinfirst" ? QStringList{"twin", "good"}
                                  : setup == "twin"      ? QStringList{"twin"}
                                                         : QStringList{"good"};
        for (const QString& root : roots)
            for (const int version : {1, 2}) {
                const QString dir = product(version).write(caseDir + "/" + root,
                                                           QString::number(version), clientType);
                if (root == "twin" && version == 2)
                    QVERIFY(writeFile(dir + "/files/plugins/voice.so", evilTwin));
                QByteArray index = readFile(dir + "/" + productIndex);
                const QByteArray manifest =
                    readFile(dir + "/" + manifestFile).replace("length=", "length=1");
                if (setup == "mismatch")
                    QVERIFY(writeFile(dir + "/" + manifestFile, manifest));
                if (setup == "otherindex")
                    QVERIFY(writeFile(dir + "/" + manifestFile,
                                      QString(readFile(dir + "/" + manifestFile))
                                          .replace(QRegularExpression("index=\\w+"),
                                                   "index=" + ProductTree::sha256("another"))
                                          .toUtf8()));
                const QByteArray sum = ProductTree::sha256("x").toUtf8();
                if (setup == "patchplace" && version == 2)
                    QVERIFY(writeFile(dir + "/" + manifestFile,
                                      readFile(dir + "/" + manifestFile) + "\n[patches]\n1\\path=" +
                                          productIndex.toUtf8() + "\n1\\sha256=" + sum +
                                          "\n1\\length=1\n1\\installed=plugins/voice.so\n"
                                          "1\\sourceSha256=" +
                                          sum + "\n1\\sourceLength=1\nsize=1\n"));
                if (setup == "unusable" && root == "bad")
                    QVERIFY(writeFile(dir + "/" + productIndex, "[files]\n..\\x=0::1\n"));
                if (signer.isEmpty())
                    continue;
                const QByteArray signature =
                    sign(root == "bad" ? "b" : signer,
                         message(setup == "type" ? "client_win32" : clientType,
                                 setup == "version" ? "3" : QString::number(version), index,
                                 readFile(dir + "/" + manifestFile)));
                QVERIFY(writeFile(dir + "/" + productIndex + ".sig",
                                  setup == "short" ? signature.left(63) : signature));
                index[index.size() / 2] = char(index.at(index.size() / 2) ^ 1);
                if (setup == "byte")
                    QVERIFY(writeFile(dir + "/" + productIndex, index));
                if (setup == "nomanifest")
                    QVERIFY(QFile::remove(dir + "/" + manifestFile));
            }
        if (setup == "publisher") {
            const QString source = inst->root() + "/release";
            for (const ProductFile& f : product(2).files)
                QVERIFY(writeFile(source + "/" + f.installedPath(), f.content));
            QProcess publish;
            publish.start(UPDATE_PUBLISH_BINARY,
                          {"--quiet", "--replace", "--pack", "*.pak", "--delete", "old_notes.txt",
                           "--sign-key", key("a.pem"), source, caseDir + "/good", "2", clientType});
            QVERIFY(publish.waitForFinished(scaledMs(30000)) && publish.exitCode() == 0);
            const QString index = caseDir + "/good/2/" + productIndex;
            QVERIFY(
                writeFile(key("message"), message(clientType, "2", readFile(index),
                                                  readFile(caseDir + "/good/2/" + manifestFile))));
            // Ed25519 is deterministic: openssl, as the README shows, makes the same signature.
            QCOMPARE(readFile(index + ".sig"), sign("a", readFile(key("message"))));
        }
        makeTreeWorldReadable(mirrorRoot.path());
        const QString base = nginx.baseUrl() + "/" + caseName;
        QList<Installation::Mirror> mirrors;
        for (const QString& root : roots)
            mirrors.append({base + "/" + root + "/"});
        inst->writeMirrors(mirrors);

        Installation::Run run = inst->run({"--nouser", clientType, "2"});
        if (setup == "command") { // first version 2, then the user goes back to 1
            QVERIFY2(run.exitCode == 0 && installedVersion(*inst) == "2",
                     qPrintable(run.errorOutput));
            run = inst->run({"--nouser", clientType, "1"});
        }
        QVERIFY2(run.finished && run.exitCode == exitCode && run.errorOutput.contains(logText),
                 qPrintable(run.errorOutput));
        QCOMPARE(run.errorOutput.count(notSigned), trusted.isEmpty() ? 1 : 0);
        const ProductTree expected = product(installed);
        QCOMPARE(exitCode == 0 ? inst->finishedWith(expected) : inst->compareWith(expected),
                 QString());
        QCOMPARE(installedVersion(*inst), exitCode == 0 ? QString::number(installed) : QString());
        // Without a good signature nothing is downloaded (after failover, files may still come from
        // the refused mirror: each is checked against the signed index).
        const QStringList fetched = pathsBelow(nginx.requestedPaths(), "/" + caseName + "/");
        QCOMPARE(!fetched.filter(".ini.sig").isEmpty(),
                 !trusted.isEmpty() && exitCode != 1 && setup != "nomanifest");
        QCOMPARE(fetched.filter("good/2/files/").isEmpty(), exitCode != 0);
        QCOMPARE(fetched.filter("good/1/").isEmpty(), setup != "command");
    }

    void latestRecord_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("logText");
        QTest::addColumn<int>("installed"); // the version the installation holds afterwards
        const QString none = "No mirror has a valid latest-version record of " + clientType + ".";
        // Version 2 installed, no record of it in update.ini: the server's answer 1 is forged.
        QTest::newRow("forged older answer")
            << "forged" << 0 << "record names version 2, the update server 1." << 2;
        QTest::newRow("expired") << "expired" << 2 << none + " The newest expired on 20" << 1;
        QTest::newRow("refreshed by the publisher's timer") << "refreshed" << 0 << "" << 2;
        QTest::newRow("missing") << "missing" << 2 << "record from mirror0 is missing" << 1;
        QTest::newRow("of another type")
            << "client_win32" << 2 << "the record of client_win32" << 1;
        // A signed record of version 1 replayed where 2 is installed.
        QTest::newRow("older record replayed")
            << "replayed" << 0 << "Version 1 is older than the installed version 2." << 2;
    }

    // Under update.pub the version comes from the signed latest-version record that
    // update-publish writes beside the versions, not from the update server's answer alone.
    void latestRecord()
    {
        QFETCH(QString, setup);
        QFETCH(int, exitCode);
        QFETCH(QString, logText);
        QFETCH(int, installed);
        const ProductTree v1 = clientProduct(1), v2 = clientProduct(2);
        QVERIFY(publishReleases(v1, v2, true));
        inst->writeMirrors({{mirror(nginx.baseUrl())}});
        UdpResponder responder;
        responder.setReply("1,1,1");
        inst->writeSettings(2, QString("127.0.0.1:%1").arg(responder.port()));
        const QString record =
            mirrorRoot.path() + "/" + caseName + "/" + clientType + ".latest.ini";
        // Thirty days on: the record, valid for fourteen, has expired unless the timer renewed it.
        const QStringList later = {"LD_PRELOAD=/usr/$LIB/faketime/libfaketime.so.1",
                                   "FAKETIME=+30d"};
        if (setup == "expired" || setup == "refreshed")
            inst->environment = later;
        if (setup == "refreshed") {
            QProcess timer;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("LD_PRELOAD", later[0].section('=', 1));
            env.insert("FAKETIME", "+30d");
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
            timer.setProcessEnvironment(env);
            timer.start(UPDATE_PUBLISH_BINARY,
                        {"--refresh-latest", "--sign-key", key("a.pem"), QFileInfo(record).path()});
            QVERIFY(timer.waitForFinished(scaledMs(30000)) && timer.exitCode() == 0);
        }
        if (setup == "missing")
            QVERIFY(QFile::remove(record) && QFile::remove(record + ".sig"));
        if (setup == "forged" || setup == "replayed")
            QVERIFY(inst->install(v2));
        if (setup == "replayed") // a subgroup before it, as a user may write, hides nothing
            QVERIFY(writeFile(inst->path("update.ini"),
                              "[installed/a]\nx=1\n[installed]\nversion=2\ntype=" +
                                  clientType.toUtf8() + "\n" + readFile(inst->path("update.ini"))));
        if (setup == "replayed" || setup.startsWith("client_")) {
            const QString type = setup == "replayed" ? clientType : setup;
            const QByteArray text = "[latest]\nformat=1\ntype=" + type.toUtf8() +
                                    "\nversion=1\nexpires=2099-12-31T00:00:00Z\n";
            QVERIFY(writeFile(record, text));
            QVERIFY(writeFile(record + ".sig",
                              sign("a", "voxmere-latest-v1\n" + type.toUtf8() + "\n" +
                                            ProductTree::sha256(text).toLatin1() + "\n")));
        }
        const Installation::Run run = inst->run({"--nouser"});
        QVERIFY2(run.finished && run.exitCode == exitCode && run.errorOutput.contains(logText),
                 qPrintable(run.errorOutput));
        QCOMPARE(inst->compareWith(installed == 1 ? v1 : v2), QString());
        QCOMPARE(responder.requestCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TrustTest)
#include "tst_e2e_trust.moc"
