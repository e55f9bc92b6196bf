#include "installation.h"
#include "producttree.h"
#include "testservers.h"
#include "udpresponder.h"

#include <QtTest>

#include <sys/stat.h>

// The real updater, run unattended against mirrors on 127.0.0.1. The servers are shared by all
// cases; each case publishes below a directory of its own and reads only its own requests.

namespace
{

const QString clientType = QStringLiteral("client_linux_x86");
const QString productIndex = clientType + ".ini";

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// For each "path mode" line of `expected`, the same line with the file's mode as it is below
// `inst`, or "missing".
QStringList modes(const Installation& inst, const QStringList& expected)
{
    QStringList actual;
    for (const QString& line : expected) {
        const QString path = line.section(' ', 0, 0);
        struct stat st;
        const bool found = ::stat(QFile::encodeName(inst.path(path)).constData(), &st) == 0;
        actual << path + (found ? QString(" %1").arg(st.st_mode & 07777, 0, 8) : " missing");
    }
    return actual;
}

} // namespace

class UpdateEndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void freshUpdate_data();
    void freshUpdate();
    void failover();
    void failingMirror_data();
    void failingMirror();
    void interruptedThenResumed_data();
    void interruptedThenResumed();
    void unsafeIndex_data();
    void unsafeIndex();
    void startChecks_data();
    void startChecks();

private:
    QString mirror(const QString& server, const QString& kind = QString()) const
    {
        return server + kind + "/" + caseName + "/";
    }
    QString publish(const ProductTree& p, int version, const QString& where = QString()) const
    {
        return p.write(mirrorRoot.path() + "/" + caseName + where, QString::number(version),
                       clientType);
    }
    // What nginx served of this case's version, mirror paths in order, on plain paths only.
    QStringList httpFetched(int version, int from = 0) const
    {
        QStringList plain = nginx.requestedPaths().mid(from);
        plain.removeIf(
            [](const QString& p) { return p.contains(QRegularExpression("^/(slow|drop|busy)/")); });
        return pathsBelow(plain, QString("/%1/%2/").arg(caseName).arg(version));
    }
    Installation::Run update(const QString& version) const
    {
        return inst->run({"--nouser", clientType, version});
    }

    QTemporaryDir mirrorRoot;
    NginxServer nginx, tls;
    VsftpdServer vsftpd;
    SquidServer squid;
    std::unique_ptr<Installation> inst;
    QString caseName;
    int caseCount = 0;
};

void UpdateEndToEndTest::initTestCase()
{
    QVERIFY(mirrorRoot.isValid());
    QVERIFY2(nginx.start(mirrorRoot.path(),
                         "location /slow/ { alias ROOT/; limit_rate_after 40k; limit_rate 1k; }\n"
                         "location /busy/ { return 503; }\nlocation /drop/ { return 444; }"),
             qPrintable(nginx.output()));
    QVERIFY2(tls.start(mirrorRoot.path(), QString(), true), qPrintable(tls.output()));
    QVERIFY2(vsftpd.start(mirrorRoot.path()), qPrintable(vsftpd.output()));
    QVERIFY2(squid.start(), qPrintable(squid.output()));
}

void UpdateEndToEndTest::init()
{
    caseName = QString("case%1").arg(++caseCount);
    inst = std::make_unique<Installation>();
    QVERIFY(inst->create());
    inst->writeSettings(2);
}

void UpdateEndToEndTest::freshUpdate_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("proxy");
    QTest::addColumn<bool>("selfReplacing");
    QTest::newRow("http") << "http" << false << false;
    QTest::newRow("ftp") << "ftp" << false << false;
    QTest::newRow("http through the proxy") << "http" << true << false;
    QTest::newRow("ftp tunnelled through the proxy") << "ftp" << true << false;
    QTest::newRow("updater replaces itself") << "http" << false << true;
}

void UpdateEndToEndTest::freshUpdate()
{
    QFETCH(QString, scheme);
    QFETCH(bool, proxy);
    QFETCH(bool, selfReplacing);
    const QByteArray builtUpdater = readFile(QStringLiteral(UPDATE_BINARY));
    ProductTree p = clientProduct(2);
    QStringList expectedModes{"old_notes.txt missing",   "data/levels.pak.gz missing",
                              "readme.txt 644",          "data/levels.pak 644",
                              "vm3client_linux_x86 755", "lib/libvoice.so 755"};
    if (selfReplacing) {
        // Bytes after the end of an ELF file change its checksum, not what it does.
        p.add("files", "update", builtUpdater + "\nnext updater\n")
            .add("files", "libQtCore.so.4", "new core library");
        expectedModes << "update 755"
                      << "libQtCore.so.4 755";
    }
    publish(p, 2);
    QVERIFY(inst->install(clientProduct(1)));
    QVERIFY(writeFile(inst->path("libQtCore.so.4"), "old core library"));
    inst->writeMirrors({{mirror(scheme == "http" ? nginx.baseUrl() : vsftpd.baseUrl())}});
    if (proxy)
        inst->writeSettings(2, QString(), squid.address());
    const auto fetched = [&] {
        return scheme == "http" ? httpFetched(2)
                                : pathsBelow(vsftpd.retrievedPaths(), "/" + caseName + "/2/");
    };

    const Installation::Run run = update("2");
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.errorOutput));
    QCOMPARE(inst->finishedWith(p), QString());
    QCOMPARE(modes(*inst, expectedModes), expectedModes);
    // Every log line reaches standard error with a time stamp.
    QVERIFY2(run.errorOutput.contains(QRegularExpression(
                 "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} Update finished, version: 2$",
                 QRegularExpression::MultilineOption)),
             qPrintable(run.errorOutput));
    // Every file differs from version 1: each was fetched, once.
    QCOMPARE(sorted(fetched()), sorted(p.mirrorPaths() << productIndex));
    const QStringList viaProxy = squid.requests().filter(
        QRegularExpression(scheme == "http" ? "/" + caseName + "/2/" : "^CONNECT 127.0.0.1:"));
    QCOMPARE(viaProxy.size() >= 1, proxy);
    if (proxy && scheme == "http")
        QCOMPARE(viaProxy.size(), p.files.size() + 1);
    if (selfReplacing) {
        QCOMPARE(readFile(inst->path("_old_update")), builtUpdater);
        QCOMPARE(readFile(inst->path("_old_libQtCore.so.4")), QByteArray("old core library"));
    }

    // The next start (the new updater, if it was replaced) removes what the old one left and
    // finds nothing to do but to read the index.
    const int before = int(fetched().size());
    const Installation::Run again = update("2");
    QVERIFY2(again.exitCode == 0 && again.errorOutput.contains("Update finished, version: 2"),
             qPrintable(again.errorOutput));
    QCOMPARE(fetched().mid(before), QStringList{productIndex});
    QCOMPARE(inst->finishedWith(p), QString());
    const QStringList leftovers{"_old_update missing", "_old_libQtCore.so.4 missing"};
    QCOMPARE(modes(*inst, leftovers), leftovers);
}

// The first mirror serves the index with every file damaged (half of them one byte longer, the
// others with a changed byte), the second refuses connections, the third closes them unanswered,
// the fourth is good. Stream 0 fetches the index from the first mirror and then its first file
// there, so the damaged mirror is always tried.
void UpdateEndToEndTest::failover()
{
    const ProductTree p = clientProduct(1);
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
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorOutput));
    QCOMPARE(inst->finishedWith(p), QString());
    QVERIFY(!nginx.requests().filter("/damaged/3/files/").isEmpty());
    QCOMPARE(sorted(httpFetched(3)), sorted(p.mirrorPaths()));
}

void UpdateEndToEndTest::failingMirror_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("requests"); // of the index
    QTest::newRow("busy, three tries") << "/busy" << 3 << 3;
    QTest::newRow("busy, one try") << "/busy" << 1 << 1;
    QTest::newRow("no answer, two tries") << "/drop" << 2 << 2;
    // A missing file is not asked for again.
    QTest::newRow("missing index") << "/missing" << 3 << 1;
    // A certificate nobody vouches for ends the connection before any request.
    QTest::newRow("https, unknown authority") << "https" << 3 << 0;
}

// Every mirror fails: the download ends as failed, the installation untouched.
void UpdateEndToEndTest::failingMirror()
{
    QFETCH(QString, kind);
    QFETCH(int, retries);
    QFETCH(int, requests);
    QVERIFY(inst->install(clientProduct(1)));
    const bool https = kind == "https";
    inst->writeMirrors(
        {{https ? mirror(tls.baseUrl()) : mirror(nginx.baseUrl(), kind), retries, 0}});
    const Installation::Run run = update("4");
    QVERIFY2(run.finished && run.exitCode == 2, qPrintable(run.errorOutput));
    QCOMPARE((https ? tls : nginx).requests().filter(caseName + "/4/" + productIndex).size(),
             requests);
    QCOMPARE(inst->compareWith(clientProduct(1)), QString());
}

void UpdateEndToEndTest::interruptedThenResumed_data()
{
    QTest::addColumn<QString>("interruption");
    QTest::addColumn<int>("firstExitCode"); // -1: killed
    QTest::addColumn<int>("kept");          // files of the first run kept for the next
    QTest::newRow("every mirror failing") << "failing" << 2 << 2;
    QTest::newRow("second updater refused, first killed") << "killed" << -1 << 2;
    QTest::newRow("apply cannot write a file") << "blocked" << 3 << 4;
}

void UpdateEndToEndTest::interruptedThenResumed()
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
                                 20000);
        // A second updater, even for another version, must not touch the first one's download.
        const Installation::Record running = inst->record();
        for (const QString version : {"7", "12"}) {
            const Installation::Run second = update(version);
            QVERIFY2(second.finished && second.exitCode == 1 &&
                         second.errorOutput.contains("Another update is running."),
                     qPrintable(second.errorOutput));
            QCOMPARE(inst->record().dir, running.dir);
        }
        QCOMPARE(first->state(), QProcess::Running);
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
        QCOMPARE(readFile(record.dir + "/" + p.files[i].mirrorPath()), p.mirrorBytes(p.files[i]));
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
    const QStringList again{productIndex, interruption == "blocked" ? "" : p.files[0].mirrorPath()};
    QCOMPARE(httpFetched(7, before), QStringList(again).filter(".") + p.mirrorPaths().mid(kept));
    QCOMPARE(inst->finishedWith(p), QString());
}

void UpdateEndToEndTest::unsafeIndex_data()
{
    QTest::addColumn<QString>("indexText");
    // In an INI file a "\" in a key is the "/" of a path. %F is a usable entry, %V one for the
    // file the mirror planted, %P a packed copy of it whose unpacked checksum is not its own.
    QTest::newRow("file installed outside") << "[files]\n%F..\\victim.txt=%V\n";
    QTest::newRow("group outside") << "[files]\n%F[..]\nvictim.txt=%V\n";
    QTest::newRow("deletion outside") << "[files]\n%F[delete]\n..\\victim.txt=\n";
    QTest::newRow("absolute deletion") << "[files]\n%F[delete]\n\\ROOT\\victim.txt=\n";
    QTest::newRow("deletion of the updater") << "[files]\n%F[delete]\nupdate=\n";
    QTest::newRow("deletion of its settings") << "[files]\n%F[delete]\nupdate.ini=\n";
    QTest::newRow("unpacked content not as listed") << "[files]\n%Fvictim.gz=%P::victim.txt\n";
}

void UpdateEndToEndTest::unsafeIndex()
{
    QFETCH(QString, indexText);
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
        .replace("%P", entry(packed) + "::" + entry(evil + "!"))
        .replace("\\ROOT", QString(inst->root()).replace('/', '\\'));
    QVERIFY(writeFile(versionDir + productIndex, indexText.toUtf8()));
    inst->writeMirrors({{mirror(nginx.baseUrl())}});
    const QByteArray updater = readFile(inst->path("update"));
    QVERIFY(writeFile(inst->path("update.ini"), "[update]\nstreams=2\n"));

    const Installation::Run run = update("9");
    // What reaches outside or does not check out is not installed: the update is incomplete.
    QVERIFY2(run.finished && run.exitCode == 3 && run.errorOutput.contains("Update incomplete"),
             qPrintable(run.errorOutput));
    QCOMPARE(readFile(victim), QByteArray("precious"));
    QCOMPARE(readFile(inst->path("update")), updater);
    QVERIFY(readFile(inst->path("update.ini")).contains("streams=2"));
    QVERIFY(!QFileInfo::exists(inst->path("victim.txt")));
    QCOMPARE(QDir(inst->root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"install", "runtime", "tmp", "victim.txt"}));
}

void UpdateEndToEndTest::startChecks_data()
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
        << "query" << QStringList{"--nouser", "a", "b", "c"} << 0 << "Update finished, version: 1";
    QTest::newRow("a version without a type")
        << "query" << QStringList{"--nouser", "57"} << 1 << "No client version specified";
}

void UpdateEndToEndTest::startChecks()
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
    if (setup == "tmpfile") {
        QVERIFY(QDir(inst->tempDir()).removeRecursively());
        QVERIFY(writeFile(inst->tempDir(), "a file where the directory must be"));
    } else if (setup == "nomirrors") {
        QVERIFY(QFile::remove(inst->path("mirrors.ini")));
    }
    QProcess client;
    if (setup == "client") {
        QVERIFY(QFile::copy("/bin/sleep", inst->path("vm3client_linux_x86")));
        client.start(inst->path("vm3client_linux_x86"), {"60"});
        QVERIFY(client.waitForStarted());
    }
    UdpResponder responder;
    responder.setReply("1,7,7");
    responder.setSilent(setup == "silent");
    inst->writeSettings(2, QString("127.0.0.1:%1").arg(responder.port()));
    qputenv("LC_ALL", setup.startsWith("de_") ? setup.toLatin1() : "C.UTF-8");

    const Installation::Run run = inst->run(args);
    qputenv("LC_ALL", "C.UTF-8");
    client.kill();
    client.waitForFinished();
    QVERIFY2(run.finished && run.exitCode == exitCode && run.errorOutput.contains(errorText),
             qPrintable(run.errorOutput));
    QCOMPARE(responder.requestCount(), args.size() == 1 || args.size() >= 4 ? 1 : 0);
    QVERIFY(QFileInfo::exists(inst->root() + "/_old_update"));
    if (setup == "nomirrors" || exitCode == 0)
        QVERIFY(!QFileInfo::exists(inst->path("_old_update")));
    if (exitCode == 0) {
        QCOMPARE(inst->finishedWith(p), QString());
    } else {
        QVERIFY(!inst->record().present());
        QCOMPARE(httpFetched(1), QStringList());
    }
}

QTEST_GUILESS_MAIN(UpdateEndToEndTest)
#include "tst_e2e_update.moc"
