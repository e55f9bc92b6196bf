#include "installation.h"
#include "producttree.h"
#include "testservers.h"

#include <QtTest>

#include <sys/stat.h>
#include <sys/statvfs.h>

// The real updater, run unattended against mirrors on 127.0.0.1. The servers are shared by all
// cases; each case publishes below a directory of its own and reads only its own requests.

namespace
{

const QString clientType = QStringLiteral("client_linux_x86");
const QString productIndex = clientType + ".ini";
const QString manifestFile = clientType + ".manifest.ini";

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

const QString refused = QStringLiteral("Index signature from mirror0 is missing or not valid.");
const QString notSigned = "Updates are not signed: there is no update.pub in the installation "
                          "directory.";

bool openssl(const QStringList& arguments)
{
    return QProcess::execute("openssl", arguments) == 0;
}

QString installedVersion(const Installation& i)
{
    const QSettings settings(i.path("update.ini"), QSettings::IniFormat);
    return settings.value("installed/version").toString();
}

QByteArray message(const QString& type, const QString& version, const QByteArray& index,
                   const QByteArray& manifest)
{
    return QString("voxmere-release-v2\n%1\n%2\n%3\n%4\n")
        .arg(type, version, ProductTree::sha256(index), ProductTree::sha256(manifest))
        .toUtf8();
}

} // namespace

class UpdateEndToEndTest : public QObject
{
    Q_OBJECT

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
    // Starts an update and kills it the moment `file` appears; false when it had ended before.
    // New copies live only while they are written and flushed: polled every millisecond.
    bool killWhenThere(const QString& version, const QString& file) const
    {
        std::unique_ptr<QProcess> run = inst->start({"--nouser", clientType, version});
        QDeadlineTimer deadline(scaledMs(60000));
        while (!QFileInfo::exists(file) && !deadline.hasExpired())
            QTest::qWait(1);
        const bool running = run->state() == QProcess::Running;
        run->kill();
        Installation::wait(run.get());
        return running;
    }

    QString key(const QString& name) const { return keys.filePath(name); }
    // openssl's signature of the bytes by the private key name.pem.
    QByteArray sign(const QString& name, const QByteArray& signedBytes) const
    {
        const bool made = writeFile(key("message"), signedBytes) &&
                          openssl({"pkeyutl", "-sign", "-rawin", "-inkey", key(name + ".pem"),
                                   "-in", key("message"), "-out", key("signature")});
        return made ? readFile(key("signature")) : QByteArray();
    }

    QTemporaryDir mirrorRoot, keys;
    NginxServer nginx, tls;
    VsftpdServer vsftpd;
    SquidServer squid;
    std::unique_ptr<Installation> inst;
    QString caseName;
    int caseCount = 0;
    quint16 secondPort = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(mirrorRoot.isValid());
        // Redirects: /hops/ takes one hop per "a" after it and one more; /here/ to the same server,
        // /away/ to its second port, /tohttp/ from TLS to plain HTTP.
        secondPort = freePort();
        const QString here = "location ~ ^/here/(.*)$ { return 301 /$1; }\n";
        QVERIFY2(nginx.start(
                     mirrorRoot.path(),
                     "location /slow/ { alias ROOT/; limit_rate_after 40k; limit_rate 1k; }\n"
                     "location /busy/ { return 503; }\nlocation /drop/ { return 444; }\n"
                     "location ~ ^/hops/a(a*)/(.*)$ { return 302 /hops/$1/$2; }\n"
                     "location ~ ^/hops/(.*)$ { return 302 /$1; }\n" +
                         here +
                         QString("listen 127.0.0.1:%1;\n"
                                 "location ~ ^/away/(.*)$ { return 302 http://127.0.0.1:%1/$1; }")
                             .arg(secondPort)),
                 qPrintable(nginx.output()));
        QVERIFY2(tls.start(mirrorRoot.path(),
                           here + QString("location ~ ^/tohttp/(.*)$ "
                                          "{ return 301 http://127.0.0.1:%1/$1; }")
                                      .arg(nginx.port()),
                           true),
                 qPrintable(tls.output()));
        QVERIFY2(vsftpd.start(mirrorRoot.path()), qPrintable(vsftpd.output()));
        QVERIFY2(squid.start(), qPrintable(squid.output()));
        for (const QString name : {"a", "b", "rsa"}) {
            QVERIFY(openssl({"genpkey", "-algorithm", name == "rsa" ? "rsa" : "ed25519", "-out",
                             key(name + ".pem")}));
            QVERIFY(openssl(
                {"pkey", "-in", key(name + ".pem"), "-pubout", "-out", key(name + ".pub")}));
        }
        QVERIFY(writeFile(key("junk.pub"), "-----BEGIN PUBLIC KEY-----\nnot a key\n"));
    }

    void init()
    {
        caseName = QString("case%1").arg(++caseCount);
        inst = std::make_unique<Installation>();
        QVERIFY(inst->create());
        inst->writeSettings(2);
    }

    void freshUpdate_data()
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

    void freshUpdate()
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

        const Installation::Run run = update("2");
        QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.errorOutput));
        QCOMPARE(inst->finishedWith(p), QString());
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
        QCOMPARE(fetched().mid(before), QStringList({productIndex, manifestFile}));
        QCOMPARE(inst->finishedWith(p), QString());
        const QStringList leftovers{"_old_update missing", "_old_libQtCore.so.4 missing"};
        QCOMPARE(modes(*inst, leftovers), leftovers);
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
        QTest::newRow("no answer, two tries") << "/drop" << 2 << 2 << 1 << "";
        // A missing file is not asked for again.
        QTest::newRow("missing index") << "/missing" << 3 << 1 << 1 << "";
        // A certificate nobody vouches for ends the connection before any request.
        QTest::newRow("https, unknown authority") << "https" << 3 << 0 << 1 << "";
        // The second stream still has the mirror when the first gives up; it takes the file back
        // and fails on it too.
        QTest::newRow("a file missing, two streams") << "/partial" << 1 << 1 << 2 << "";
        // An index that announces more bytes than any test machine's disk holds.
        QTest::newRow("not enough disk space") << "/huge" << 1 << 1 << 0 << "";
        const QString noFiles = "Index from mirror0 lists no files.";
        QTest::newRow("empty index") << "/empty" << 1 << 1 << 1 << noFiles;
        QTest::newRow("index without files") << "/nofiles" << 1 << 1 << 1 << noFiles;
        QTest::newRow("file longer than listed")
            << "/long" << 1 << 1 << 1 << "/a/x.bin (more than the required 1)";
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
                          QByteArray::number(quint64(1) << 52) + "\n"},
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
        inst->writeMirrors({{url, retries, 0}});
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
        if (kind != "/huge")
            return;
        struct statvfs fs;
        QCOMPARE(::statvfs(QFile::encodeName(inst->tempDir()).constData(), &fs), 0);
        const QRegularExpressionMatch m =
            QRegularExpression("Not enough disk space: 4503599628 MB needed, (\\d+) MB free\\.")
                .match(run.errorOutput);
        // The free space may move a little while the test runs.
        QVERIFY2(m.hasMatch() && qAbs(qint64(m.captured(1).toULongLong()) -
                                      qint64(quint64(fs.f_bavail) * fs.f_frsize / 1000000)) < 1000,
                 qPrintable(run.errorOutput));
    }

    // A pause too long for a timer is cut to an hour, not turned into a negative interval that
    // never fires.
    void longRetryPause()
    {
        inst->writeMirrors({{mirror(nginx.baseUrl(), "/busy"), 2, 3000000}});
        std::unique_ptr<QProcess> running = inst->start({"--nouser", clientType, "4"});
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT(
            (log += running->readAllStandardError()).contains("Timeout 3600 seconds to repeat."),
            scaledMs(20000));
        QTest::qWait(200);
        log += running->readAllStandardError();
        QVERIFY2(running->state() == QProcess::Running && !log.contains("negative"), log);
        running->kill();
        running->waitForFinished();
    }

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

    void unsafeIndex_data()
    {
        QTest::addColumn<QString>("indexText");
        QTest::addColumn<bool>("downloads"); // false: refused before any file is fetched
        // In an INI file a "\" in a key is the "/" of a path. %F is a usable entry, %V one for the
        // file the mirror planted, %P and %L a packed copy of it whose unpacked checksum or length
        // is not its own.
        QTest::newRow("file installed outside") << "[files]\n%F..\\victim.txt=%V\n" << false;
        QTest::newRow("group outside") << "[files]\n%F[..]\nvictim.txt=%V\n" << false;
        QTest::newRow("deletion outside") << "[files]\n%F[delete]\n..\\victim.txt=\n" << false;
        QTest::newRow("absolute deletion") << "[files]\n%F[delete]\n\\ROOT\\victim.txt=\n" << false;
        QTest::newRow("deletion of the updater") << "[files]\n%F[delete]\nupdate=\n" << false;
        QTest::newRow("deletion of its settings") << "[files]\n%F[delete]\nupdate.ini=\n" << false;
        QTest::newRow("unpacked checksum not as listed") << "[files]\n%Fvictim.gz=%P::victim.txt\n"
                                                         << true;
        QTest::newRow("unpacked length not as listed") << "[files]\n%Fvictim.gz=%L::victim.txt\n"
                                                       << true;
        QTest::newRow("two groups install one path") << "[files]\n%F[more]\n%F" << false;
        QTest::newRow("packed copy unpacks onto a plain file")
            << "[files]\n%Fvictim.gz=%P::readme.txt\n"
            << false;
    }

    void unsafeIndex()
    {
        QFETCH(QString, indexText);
        QFETCH(bool, downloads);
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
        QCOMPARE(httpFetched(9).filter("/").isEmpty(), !downloads);
        QCOMPARE(QDir(inst->root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList({"install", "runtime", "tmp", "victim.txt"}));
    }

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
        if (setup == "tmpfile") {
            QVERIFY(QDir(inst->tempDir()).removeRecursively());
            QVERIFY(writeFile(inst->tempDir(), "a file where the directory must be"));
        } else if (setup == "nomirrors") {
            QVERIFY(QFile::remove(inst->path("mirrors.ini")));
        } else if (setup == "link") {
            QVERIFY(writeFile(inst->root() + "/elsewhere/files/readme.txt", "precious"));
            QVERIFY(QFile::link(inst->root() + "/elsewhere", inst->tempDir() + "/voxmere_temp_0"));
            QVERIFY(writeFile(inst->path("update.ini"),
                              "[current]\nversion=1\ntype=" + clientType.toUtf8() + "\ndir=" +
                                  QFile::encodeName(inst->tempDir()) + "/voxmere_temp_0\n"));
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
        if (setup == "link") {
            QCOMPARE(readFile(inst->root() + "/elsewhere/files/readme.txt"),
                     QByteArray("precious"));
            QCOMPARE(inst->compareWith(p), QString());
        } else if (exitCode == 0) {
            QCOMPARE(inst->finishedWith(p), QString());
        } else {
            QVERIFY(!inst->record().present());
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
        QTest::newRow("two keys, the first signs") << "a b;a;" << 0 << "" << 2;
        QTest::newRow("two keys, the second signs") << "rsa a b;b;" << 0 << "" << 2;
        QTest::newRow("bad first mirror, good second") << "a;a;failover" << 0 << refused << 2;
        QTest::newRow("no update.pub") << ";;" << 0 << notSigned << 2;
        QTest::newRow("signed by update-publish") << "a;a;publisher" << 0 << "" << 2;
        QTest::newRow("downgrade from the server refused")
            << "a;a;server" << 0 << "Version 1 is older than the installed version 2." << 2;
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
        UdpResponder responder;
        responder.setReply("1,1,1");
        inst->writeSettings(2, QString("127.0.0.1:%1").arg(responder.port()));
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
        const QStringList roots = setup == "failover"    ? QStringList{"bad", "good"}
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
            QVERIFY(openssl({"pkeyutl", "-verify", "-pubin", "-inkey", key("a.pub"), "-rawin",
                             "-in", key("message"), "-sigfile", index + ".sig"}));
            QCOMPARE(readFile(index + ".sig"), sign("a", readFile(key("message"))));
        }
        makeTreeWorldReadable(mirrorRoot.path());
        const QString base = nginx.baseUrl() + "/" + caseName;
        QList<Installation::Mirror> mirrors;
        for (const QString& root : roots)
            mirrors.append({base + "/" + root + "/"});
        inst->writeMirrors(mirrors);

        Installation::Run run = inst->run({"--nouser", clientType, "2"});
        if (setup == "server" || setup == "command") {
            // First version 2 from the command line; then version 1, from the server or the user.
            QVERIFY2(run.exitCode == 0 && installedVersion(*inst) == "2",
                     qPrintable(run.errorOutput));
            run = setup == "server" ? inst->run({"--nouser"})
                                    : inst->run({"--nouser", clientType, "1"});
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
};

QTEST_GUILESS_MAIN(UpdateEndToEndTest)
#include "tst_e2e_update.moc"
