#include "installation.h"
#include "mirrorfixtures.h"
#include "producttree.h"
#include "testservers.h"
#include "udpresponder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The real updater, run unattended against mirrors on 127.0.0.1. The servers are shared by
// all cases; each case publishes below a directory of its own and reads only its own requests
// from the servers' logs.

namespace
{

const char* const clientType = "client_linux_x86";

const QFile::Permissions mode0755 = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther;

QFile::Permissions unixMode(const QString& path)
{
    return QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
}

// Versions 1 and 2 of a small client: plain, nested, packed and executable files, and an old
// file that version 2 deletes.
ProductTree clientProduct(int version)
{
    ProductTree p;
    p.add("files", "readme.txt",
          QByteArray("Voxmere client, version ") + QByteArray::number(version));
    p.add("files", "data/maps/town.map", ProductTree::randomBytes(30000, 10 + version));
    p.addPacked("files", "data/levels.pak.gz", "data/levels.pak",
                ProductTree::randomBytes(150000, 20 + version).repeated(2));
    p.add("files", "vm3client_linux_x86",
          "#!/bin/sh\necho client " + QByteArray::number(version) + "\n");
    p.add("files", "lib/libvoice.so", ProductTree::randomBytes(5000, 30 + version));
    if (version > 1)
        p.deletePaths << "old_notes.txt";
    return p;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QStringList fileNames(const ProductTree& p, const QStringList& only = {})
{
    QStringList names;
    for (const ProductFile& f : p.files) {
        if (only.isEmpty() || only.contains(f.name))
            names << f.mirrorPath();
    }
    return names;
}

} // namespace

class UpdateEndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void freshUpdate_data();
    void freshUpdate();
    void failover_data();
    void failover();
    void interruptedThenResumed_data();
    void interruptedThenResumed();
    void unsafeIndex_data();
    void unsafeIndex();
    void startChecks_data();
    void startChecks();

private:
    QString newCase() { return QString("case%1").arg(++caseCount); }
    QString publish(const ProductTree& p, const QString& caseName, int version)
    {
        return p.write(mirrorRoot.path() + "/" + caseName, QString::number(version), clientType);
    }
    QStringList httpFetched(const QString& caseName, int version) const
    {
        return pathsBelow(nginx.requestedPaths(), QString("/%1/%2/").arg(caseName).arg(version));
    }
    // Serves the published version from the fault server as well, each file as given.
    void route(const QString& caseName, int version, const QString& mirrorPath, const FaultRoute& r)
    {
        fault.setRoute(QString("/%1/%2/%3").arg(caseName).arg(version).arg(mirrorPath), r);
    }
    void routeAll(const ProductTree& p, const QString& caseName, int version)
    {
        const QString dir = mirrorRoot.path() + "/" + caseName + "/" + QString::number(version);
        route(caseName, version, QString(clientType) + ".ini",
              FaultRoute::ok(readFile(dir + "/" + clientType + ".ini")));
        for (const ProductFile& f : p.files)
            route(caseName, version, f.mirrorPath(), FaultRoute::ok(p.mirrorBytes(f)));
    }
    QString httpMirror(const QString& caseName) const
    {
        return nginx.baseUrl() + "/" + caseName + "/";
    }
    QString faultMirror(const QString& caseName) const
    {
        return fault.baseUrl() + "/" + caseName + "/";
    }

    QTemporaryDir mirrorRoot;
    NginxServer nginx;
    VsftpdServer vsftpd;
    FaultServer fault;
    int caseCount = 0;
};

void UpdateEndToEndTest::initTestCase()
{
    QVERIFY(mirrorRoot.isValid());
    makeTreeWorldReadable(mirrorRoot.path());
    QVERIFY2(nginx.start(mirrorRoot.path()), qPrintable(nginx.output()));
    QVERIFY2(vsftpd.start(mirrorRoot.path()), qPrintable(vsftpd.output()));
    QVERIFY(fault.start());
}

void UpdateEndToEndTest::freshUpdate_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("selfReplacing");
    QTest::newRow("http") << "http" << false;
    QTest::newRow("ftp") << "ftp" << false;
    QTest::newRow("updater replaces itself") << "http" << true;
}

void UpdateEndToEndTest::freshUpdate()
{
    QFETCH(QString, scheme);
    QFETCH(bool, selfReplacing);
    const QString caseName = newCase();
    const QByteArray builtUpdater = readFile(QStringLiteral(UPDATE_BINARY));
    ProductTree p = clientProduct(2);
    if (selfReplacing) {
        // Bytes after the end of an ELF file change its checksum, not what it does.
        p.add("files", "update", builtUpdater + "\nnext updater\n");
        p.add("files", "libQtCore.so.4", "new core library");
    }
    publish(p, caseName, 2);

    Installation inst;
    QVERIFY(inst.create());
    QVERIFY(inst.install(clientProduct(1)));
    QVERIFY(writeFile(inst.path("old_notes.txt"), "notes of version 1"));
    QVERIFY(writeFile(inst.path("libQtCore.so.4"), "old core library"));
    const QString url =
        scheme == "http" ? httpMirror(caseName) : vsftpd.baseUrl() + "/" + caseName + "/";
    inst.writeMirrors({{url}});
    inst.writeSettings(2);
    const auto fetched = [&] {
        return scheme == "http" ? httpFetched(caseName, 2)
                                : pathsBelow(vsftpd.retrievedPaths(), "/" + caseName + "/2/");
    };

    const Installation::Run run = inst.run({"--nouser", clientType, "2"});
    QVERIFY2(run.finished, qPrintable(run.errorOutput));
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorOutput));

    QCOMPARE(inst.compareWith(p), QString());
    QVERIFY(!QFileInfo::exists(inst.path("old_notes.txt")));
    QVERIFY(!QFileInfo::exists(inst.path("data/levels.pak.gz")));
    QCOMPARE(unixMode(inst.path("vm3client_linux_x86")), mode0755);
    QCOMPARE(unixMode(inst.path("lib/libvoice.so")), mode0755);
    QVERIFY(!(QFileInfo(inst.path("readme.txt")).permissions() & QFile::ExeOther));
    QCOMPARE(inst.worldWritable(), QStringList());
    QCOMPARE(inst.tempEntries(), QStringList());
    QVERIFY(!inst.record().present());
    QVERIFY(!QFileInfo::exists(inst.path("session_2.ini")));
    // Every log line reaches standard error with a time stamp.
    static const QRegularExpression stamped(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} Update finished, version: 2$",
        QRegularExpression::MultilineOption);
    QVERIFY2(stamped.match(run.errorOutput).hasMatch(), qPrintable(run.errorOutput));
    // Every file differs from version 1: each was fetched, once.
    QCOMPARE(sorted(fetched()), sorted(fileNames(p) << QString(clientType) + ".ini"));
    if (selfReplacing) {
        QCOMPARE(readFile(inst.path("_old_update")), builtUpdater);
        QCOMPARE(readFile(inst.path("_old_libQtCore.so.4")), QByteArray("old core library"));
        QCOMPARE(unixMode(inst.path("update")), mode0755);
        QCOMPARE(unixMode(inst.path("libQtCore.so.4")), mode0755);
    }

    // The next start (the new updater, if it was replaced) removes what the old one left and
    // finds nothing to do but to read the index.
    const int before = int(fetched().size());
    const Installation::Run again = inst.run({"--nouser", clientType, "2"});
    QVERIFY2(again.exitCode == 0, qPrintable(again.errorOutput));
    QVERIFY(again.errorOutput.contains("Update finished, version: 2"));
    QCOMPARE(fetched().mid(before), QStringList{QString(clientType) + ".ini"});
    QCOMPARE(inst.compareWith(p), QString());
    QCOMPARE(inst.tempEntries(), QStringList());
    QVERIFY(!QFileInfo::exists(inst.path("_old_update")));
    QVERIFY(!QFileInfo::exists(inst.path("_old_libQtCore.so.4")));
}

void UpdateEndToEndTest::failover_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("first mirror refuses connections") << "refused";
    QTest::newRow("first mirror sends wrong bytes") << "wrong";
    QTest::newRow("first mirror lacks the files") << "missing";
}

void UpdateEndToEndTest::failover()
{
    QFETCH(QString, kind);
    const QString caseName = newCase();
    const ProductTree p = clientProduct(1);
    publish(p, caseName, 3);

    QString firstMirror;
    if (kind == "refused") {
        firstMirror = QString("http://127.0.0.1:%1/%2/").arg(testservers::freePort()).arg(caseName);
    } else {
        firstMirror = faultMirror(caseName);
        routeAll(p, caseName, 3);
        for (const ProductFile& f : p.files) {
            QByteArray bytes = p.mirrorBytes(f);
            bytes[0] = char(bytes[0] ^ 0x55);
            route(caseName, 3, f.mirrorPath(),
                  kind == "wrong" ? FaultRoute::ok(bytes) : FaultRoute::withStatus(404));
        }
    }

    Installation inst;
    QVERIFY(inst.create());
    inst.writeMirrors({{firstMirror}, {httpMirror(caseName)}});
    inst.writeSettings(2);
    const Installation::Run run = inst.run({"--nouser", clientType, "3"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorOutput));
    QCOMPARE(inst.compareWith(p), QString());
    QCOMPARE(inst.tempEntries(), QStringList());
    // Whatever the first mirror did not deliver came from the second.
    const QStringList fromSecond = httpFetched(caseName, 3);
    for (const QString& name : fileNames(p))
        QVERIFY2(fromSecond.contains(name), qPrintable(name));
    if (kind != "refused") {
        const QStringList tried = pathsBelow(fault.requests(), "/" + caseName + "/3/");
        QVERIFY2(!tried.isEmpty(), "the first mirror was never asked");
    }
}

void UpdateEndToEndTest::interruptedThenResumed_data()
{
    QTest::addColumn<QString>("interruption");
    QTest::addColumn<int>("firstExitCode"); // -1: killed
    QTest::addColumn<QStringList>("keptDownloads");
    QTest::addColumn<QStringList>("fetchedOnResume");

    const QString index = QString(clientType) + ".ini";
    QTest::newRow("every mirror failing") << "failing" << 2 << QStringList{"a.bin", "b.bin"}
                                          << QStringList{index, "files/c.bin", "files/d.bin"};
    QTest::newRow("second updater refused, first killed")
        << "killed" << -1 << QStringList{"a.bin", "b.bin"}
        << QStringList{index, "files/c.bin", "files/d.bin"};
    QTest::newRow("apply cannot write a file")
        << "blocked" << 3 << QStringList{"a.bin", "b.bin", "c.bin", "d.bin"} << QStringList{index};
}

void UpdateEndToEndTest::interruptedThenResumed()
{
    QFETCH(QString, interruption);
    QFETCH(int, firstExitCode);
    QFETCH(QStringList, keptDownloads);
    QFETCH(QStringList, fetchedOnResume);

    const QString caseName = newCase();
    const ProductTree p = fourFiles();
    publish(p, caseName, 7);
    const ProductFile& big = p.files.at(2);

    Installation inst;
    QVERIFY(inst.create());
    inst.writeSettings(1);
    if (interruption == "blocked") {
        // A directory where a file must go cannot be replaced.
        QVERIFY(writeFile(inst.path("b.bin/keep"), "in the way"));
        inst.writeMirrors({{httpMirror(caseName)}});
    } else {
        routeAll(p, caseName, 7);
        route(caseName, 7, big.mirrorPath(),
              interruption == "failing" ? FaultRoute::withStatus(404)
                                        : FaultRoute::stallAt(p.mirrorBytes(big), 1000));
        inst.writeMirrors({{faultMirror(caseName)}});
    }

    std::unique_ptr<QProcess> first = inst.start({"--nouser", clientType, "7"});
    if (interruption == "killed") {
        const QString bigRequest = QString("GET /%1/7/%2 HTTP/1.1").arg(caseName, big.mirrorPath());
        QTRY_VERIFY_WITH_TIMEOUT(fault.requests().contains(bigRequest), 20000);
        // A second updater, even for another version, must not touch the first one's download.
        const Installation::Record running = inst.record();
        for (const QString& version : {QString("7"), QString("12")}) {
            const Installation::Run second = inst.run({"--nouser", clientType, version});
            QVERIFY2(second.finished && second.exitCode == 1, qPrintable(second.errorOutput));
            QVERIFY2(second.errorOutput.contains("Another update is running."),
                     qPrintable(second.errorOutput));
            QCOMPARE(inst.record().dir, running.dir);
            QCOMPARE(inst.record().version, QString("7"));
            QVERIFY(QFileInfo::exists(running.dir + "/files/a.bin"));
            QCOMPARE(inst.tempEntries().size(), 1);
        }
        QCOMPARE(first->state(), QProcess::Running);
        first->kill();
    }
    const Installation::Run firstRun = Installation::wait(first.get());
    if (firstExitCode >= 0) {
        QVERIFY2(firstRun.finished, qPrintable(firstRun.errorOutput));
        QVERIFY2(firstRun.exitCode == firstExitCode, qPrintable(firstRun.errorOutput));
    } else {
        QVERIFY(!firstRun.finished);
    }

    // The record and the download directory stay for the next start.
    const Installation::Record record = inst.record();
    QCOMPARE(record.version, QString("7"));
    QCOMPARE(record.type, QString(clientType));
    QCOMPARE(QFileInfo(record.dir).absolutePath(), inst.tempDir());
    QCOMPARE(inst.tempEntries(), QStringList{QFileInfo(record.dir).fileName()});
    for (const QString& name : keptDownloads) {
        const ProductFile* f = nullptr;
        for (const ProductFile& candidate : p.files)
            if (candidate.name == name)
                f = &candidate;
        QVERIFY(f);
        QCOMPARE(readFile(record.dir + "/" + f->mirrorPath()), p.mirrorBytes(*f));
    }

    if (interruption == "blocked")
        QVERIFY(QDir(inst.path("b.bin")).removeRecursively());
    inst.writeMirrors({{httpMirror(caseName)}});
    const int before = int(httpFetched(caseName, 7).size());
    const Installation::Run resumed = inst.run({"--nouser", clientType, "7"});
    QVERIFY2(resumed.exitCode == 0, qPrintable(resumed.errorOutput));
    QVERIFY2(resumed.errorOutput.contains("Previous update session for v. 7 found"),
             qPrintable(resumed.errorOutput));
    QCOMPARE(httpFetched(caseName, 7).mid(before), fetchedOnResume);
    QCOMPARE(inst.compareWith(p), QString());
    QVERIFY(!inst.record().present());
    QCOMPARE(inst.tempEntries(), QStringList());
}

void UpdateEndToEndTest::unsafeIndex_data()
{
    QTest::addColumn<QString>("indexText");
    // In an INI file a "\" in a key is the "/" of a path.
    QTest::newRow("file installed outside")
        << "[files]\nreadme.txt=%1::%2\n..\\victim.txt=%3::%4\n";
    QTest::newRow("deletion outside") << "[files]\nreadme.txt=%1::%2\n[delete]\n..\\victim.txt=\n";
    QTest::newRow("absolute deletion")
        << "[files]\nreadme.txt=%1::%2\n[delete]\n\\ROOT\\victim.txt=\n";
}

void UpdateEndToEndTest::unsafeIndex()
{
    QFETCH(QString, indexText);
    const QString caseName = newCase();
    Installation inst;
    QVERIFY(inst.create());
    const QString victim = inst.root() + "/victim.txt";
    QVERIFY(writeFile(victim, "precious"));

    const QByteArray readme = "harmless";
    const QByteArray evil = "planted by the mirror";
    const QString versionDir = mirrorRoot.path() + "/" + caseName + "/9";
    QVERIFY(writeFile(versionDir + "/files/readme.txt", readme));
    QVERIFY(writeFile(versionDir + "/victim.txt", evil));
    QString text = indexText;
    text.replace("%1", ProductTree::md5(readme)).replace("%2", QString::number(readme.size()));
    text.replace("%3", ProductTree::md5(evil)).replace("%4", QString::number(evil.size()));
    text.replace("\\ROOT", QString(inst.root()).replace('/', '\\'));
    QVERIFY(writeFile(versionDir + "/" + clientType + ".ini", text.toUtf8()));
    makeTreeWorldReadable(mirrorRoot.path());

    const QStringList rootBefore =
        QDir(inst.root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    inst.writeMirrors({{httpMirror(caseName)}});
    inst.writeSettings(1);
    const Installation::Run run = inst.run({"--nouser", clientType, "9"});
    QVERIFY2(run.finished, qPrintable(run.errorOutput));
    // An index that reaches outside is unusable as a whole: the update is incomplete.
    QVERIFY2(run.exitCode == 3, qPrintable(run.errorOutput));
    QVERIFY2(run.errorOutput.contains("Update incomplete"), qPrintable(run.errorOutput));
    QCOMPARE(readFile(victim), QByteArray("precious"));
    QStringList rootAfter = QDir(inst.root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    rootAfter.removeAll("runtime");
    QStringList expected = rootBefore;
    expected.removeAll("runtime");
    QCOMPARE(rootAfter, expected);
    QVERIFY(!QFileInfo::exists(mirrorRoot.path() + "/" + caseName + "/victim.txt"));
}

void UpdateEndToEndTest::startChecks_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("errorText");
    QTest::newRow("mirrors.ini missing")
        << "nomirrors" << 1 << "mirrors.ini is missing, cannot proceed.";
    QTest::newRow("temporary directory unusable")
        << "tmpfile" << 1 << "Unable to get temp directory.";
    QTest::newRow("client running goes on") << "client" << 0 << "The Voxmere 3 Client should be";
    QTest::newRow("version from the query") << "query" << 0 << "Update finished, version: 1";
}

void UpdateEndToEndTest::startChecks()
{
    QFETCH(QString, setup);
    QFETCH(int, exitCode);
    QFETCH(QString, errorText);
    const QString caseName = newCase();
    const ProductTree p = clientProduct(1);
    publish(p, caseName, 1);

    Installation inst;
    QVERIFY(inst.create());
    inst.writeSettings(2);
    if (setup != "nomirrors")
        inst.writeMirrors({{httpMirror(caseName)}});
    if (setup == "tmpfile") {
        QVERIFY(QDir(inst.tempDir()).removeRecursively());
        QVERIFY(writeFile(inst.tempDir(), "a file where the directory must be"));
    }
    QProcess client;
    if (setup == "client") {
        QVERIFY(QFile::copy("/bin/sleep", inst.path("vm3client_linux_x86")));
        QFile::setPermissions(inst.path("vm3client_linux_x86"), mode0755);
        client.start(inst.path("vm3client_linux_x86"), {"60"});
        QVERIFY(client.waitForStarted());
    }

    UdpResponder responder;
    responder.setReply("1,7,7");
    if (setup == "query")
        inst.writeSettings(2, QString("127.0.0.1:%1").arg(responder.port()));
    const Installation::Run run = inst.run(
        setup == "query" ? QStringList{"--nouser"} : QStringList{"--nouser", clientType, "1"});
    QCOMPARE(responder.requestCount(), setup == "query" ? 1 : 0);
    if (client.state() != QProcess::NotRunning) {
        client.kill();
        client.waitForFinished();
    }
    QVERIFY2(run.finished, qPrintable(run.errorOutput));
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.errorOutput));
    QVERIFY2(run.errorOutput.contains(errorText), qPrintable(run.errorOutput));
    if (exitCode == 0) {
        QCOMPARE(inst.compareWith(p), QString());
    } else {
        QVERIFY(!inst.record().present());
        QVERIFY(httpFetched(caseName, 1).isEmpty());
    }
}

QTEST_GUILESS_MAIN(UpdateEndToEndTest)
#include "tst_e2e_update.moc"
