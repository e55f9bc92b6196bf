#include "testservers.h"
#include "tst_session_sessionrig.h"

#include <QtTest>

// Whole downloads from real HTTP and FTP mirrors, and resuming an interrupted one.
class TestSessionDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void wholeDownload_data();
    void wholeDownload();
    void resume_data();
    void resume();
    void manyFilesOverParallelFtp();

private:
    QTemporaryDir served;
    NginxServer nginx;
    VsftpdServer vsftpd;
    ProductTree product;
};

namespace
{
const int endMs = 60000;

// Requests per mirror file, over both servers, for the files of the tree.
QMap<QString, int> requestCounts(const ProductTree& tree, const QStringList& requested)
{
    QMap<QString, int> counts;
    for (const ProductFile& f : tree.files)
        counts[f.mirrorPath()] = timesRequested(requested, f.mirrorPath());
    return counts;
}

bool monotonic(const QList<QPair<quint64, quint64>>& progress)
{
    for (int i = 1; i < progress.size(); ++i) {
        if (progress[i].first < progress[i - 1].first || progress[i].second != progress[0].second)
            return false;
    }
    return true;
}
} // namespace

void TestSessionDownload::initTestCase()
{
    QVERIFY(served.isValid());
    product.add("base", "readme.txt", "Voxmere 3 Client\n")
        .add("base", "bin/vm3client_linux_x86", ProductTree::randomBytes(300000, 1))
        .add("base", "lib/libvoxcore.so", ProductTree::randomBytes(120000, 2))
        .add("data", "empty.dat", QByteArray())
        .add("data", "maps/harbour.map", ProductTree::randomBytes(70000, 3))
        .add("data", "maps/citadel.map", ProductTree::randomBytes(1500, 4))
        .add("data", "maps/plains.map", ProductTree::randomBytes(90000, 5))
        .add("data", "sounds/wind.ogg", ProductTree::randomBytes(40000, 6))
        .add("data", "sounds/rain.ogg", ProductTree::randomBytes(40001, 7))
        .addPacked("data", "textures.pak.gz", "textures.pak", QByteArray(200000, 'v'))
        .add("lang", "de.qm", ProductTree::randomBytes(3000, 8))
        .add("lang", "en.qm", ProductTree::randomBytes(2900, 9));
    // Both servers carry the same product below different mirror paths.
    product.write(served.filePath("www/http"), "12", "vm3");
    product.write(served.filePath("ftp/ftp"), "12", "vm3");
    QVERIFY2(nginx.start(served.filePath("www")), qPrintable(nginx.output()));
    QVERIFY2(vsftpd.start(served.filePath("ftp")), qPrintable(vsftpd.output()));
}

void TestSessionDownload::wholeDownload_data()
{
    QTest::addColumn<QStringList>("mirrors"); // "http" or "ftp"
    QTest::addColumn<int>("streams");
    QTest::newRow("http, 1 stream") << QStringList{"http"} << 1;
    QTest::newRow("http, 4 streams") << QStringList{"http"} << 4;
    QTest::newRow("ftp, 1 stream") << QStringList{"ftp"} << 1;
    QTest::newRow("ftp, 4 streams") << QStringList{"ftp"} << 4;
    QTest::newRow("http and ftp, 4 streams") << QStringList{"http", "ftp"} << 4;
    QTest::newRow("ftp and http, 3 streams") << QStringList{"ftp", "http"} << 3;
}

void TestSessionDownload::wholeDownload()
{
    QFETCH(QStringList, mirrors);
    QFETCH(int, streams);

    const int nginxBefore = nginx.requestedPaths().size();
    const int ftpBefore = vsftpd.retrievedPaths().size();
    SessionRig rig;
    QList<MirrorEntry> entries;
    for (const QString& kind : mirrors)
        entries << MirrorEntry{kind == "http" ? nginx.baseUrl() + "/http"
                                              : vsftpd.baseUrl() + "/ftp"};
    QVERIFY(rig.writeMirrors(entries));
    QVERIFY(rig.writeSettings(streams));
    QVERIFY(rig.start());
    QCOMPARE(rig.session->getStreams().size(), streams);
    QTRY_VERIFY_WITH_TIMEOUT(rig.ended(), endMs);
    QTest::qWait(100); // events still queued for the released session must find nothing
    QVERIFY2(rig.finished == 1 && rig.cancelled == 0, qPrintable(rig.log.join('\n')));
    QCOMPARE(rig.signalsAfterEnd, 0);
    QVERIFY(rig.session.isNull());

    for (const ProductFile& f : product.files)
        QCOMPARE(readFile(rig.downloadDir + "/" + f.mirrorPath()), product.mirrorBytes(f));
    QCOMPARE(readFile(rig.downloadDir + "/vm3.ini"),
             readFile(served.filePath("www/http/12/vm3.ini")));

    const quint64 total = product.totalMirrorSize();
    QVERIFY(!rig.progress.isEmpty());
    QCOMPARE(rig.progress.last(), qMakePair(total, total));
    QVERIFY(monotonic(rig.progress));

    const QStringList fromHttp = nginx.requestedPaths().mid(nginxBefore);
    const QStringList fromFtp = vsftpd.retrievedPaths().mid(ftpBefore);
    QCOMPARE(timesRequested(fromHttp + fromFtp, "12/vm3.ini"), 1);
    const QMap<QString, int> counts = requestCounts(product, fromHttp + fromFtp);
    for (auto it = counts.begin(); it != counts.end(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key() + ": " + QString::number(it.value())));
    QCOMPARE(fromHttp.isEmpty(), !mirrors.contains("http"));
    QCOMPARE(fromFtp.isEmpty(), !mirrors.contains("ftp"));

    QVERIFY(rig.inOrder({"Stream 0 connected", "Download file list retrieved.",
                         "Verification of 12 file\\(s\\) complete. Ready: 0, Downloaded: 0.",
                         "Download finished."}));
    QCOMPARE(rig.log.last(), QString("Download finished."));
    QCOMPARE(rig.count("Stream \\d+, .* OK"), product.files.size() - 1);
    for (int i = 0; i < streams; ++i)
        QVERIFY2(rig.count(QString("Stream %1 connected").arg(i)) >= 1,
                 qPrintable(rig.log.join('\n')));
    QCOMPARE(rig.count("Stream \\d+ (got error|reported error).*"), 0);
    QVERIFY(rig.switches.isEmpty());
}

void TestSessionDownload::resume_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("http") << "http";
    QTest::newRow("ftp") << "ftp";
}

void TestSessionDownload::resume()
{
    QFETCH(QString, kind);
    const bool http = kind == "http";
    const int nginxBefore = nginx.requestedPaths().size();
    const int ftpBefore = vsftpd.retrievedPaths().size();

    SessionRig rig;
    QVERIFY(rig.writeMirrors(
        {MirrorEntry{http ? nginx.baseUrl() + "/http" : vsftpd.baseUrl() + "/ftp"}}));
    QVERIFY(rig.writeSettings(2));

    auto file = [&](const QString& name) -> const ProductFile& {
        for (const ProductFile& f : product.files) {
            if (f.name == name)
                return f;
        }
        qFatal("no such file");
    };
    auto local = [&](const QString& name) {
        return rig.downloadDir + "/" + file(name).mirrorPath();
    };
    // Installed and current: nothing to fetch, whatever lies in the download directory.
    QVERIFY(writeFile(rig.installDir + "/readme.txt", file("readme.txt").content));
    QVERIFY(writeFile(rig.installDir + "/textures.pak", file("textures.pak.gz").content));
    QVERIFY(writeFile(local("textures.pak.gz"), "stale"));
    // Installed but outdated, no copy.
    QVERIFY(writeFile(rig.installDir + "/lib/libvoxcore.so", "previous version"));
    // Good copies of an interrupted download.
    QVERIFY(writeFile(local("maps/harbour.map"), product.mirrorBytes(file("maps/harbour.map"))));
    QVERIFY(writeFile(local("de.qm"), product.mirrorBytes(file("de.qm"))));
    // Copies cut short or with other bytes of the right length.
    QVERIFY(writeFile(local("maps/plains.map"),
                      product.mirrorBytes(file("maps/plains.map")).left(5000)));
    QByteArray flipped = product.mirrorBytes(file("sounds/wind.ogg"));
    flipped[100] = char(flipped[100] ^ 0x55);
    QVERIFY(writeFile(local("sounds/wind.ogg"), flipped));

    QVERIFY(rig.start());
    QTRY_VERIFY_WITH_TIMEOUT(rig.ended(), endMs);
    QVERIFY2(rig.finished == 1, qPrintable(rig.log.join('\n')));
    QVERIFY(rig.find("Verification of 12 file\\(s\\) complete. Ready: 2, Downloaded: 2.") >= 0);

    const QStringList requested =
        http ? nginx.requestedPaths().mid(nginxBefore) : vsftpd.retrievedPaths().mid(ftpBefore);
    const QStringList atHand{"readme.txt", "textures.pak.gz", "maps/harbour.map", "de.qm"};
    for (const ProductFile& f : product.files) {
        const int expected = atHand.contains(f.name) ? 0 : 1;
        QVERIFY2(timesRequested(requested, f.mirrorPath()) == expected,
                 qPrintable(f.mirrorPath() + "\n" + requested.join('\n')));
        if (f.name == "readme.txt" || f.name == "textures.pak.gz")
            continue;
        QCOMPARE(readFile(rig.downloadDir + "/" + f.mirrorPath()), product.mirrorBytes(f));
    }
    // The stale packed copy is neither looked at nor fetched again: the installed file is current.
    QCOMPARE(readFile(local("textures.pak.gz")), QByteArray("stale"));

    const quint64 total = product.totalMirrorSize();
    QCOMPARE(rig.progress.first(), qMakePair(quint64(0), total));
    QCOMPARE(rig.progress.last(), qMakePair(total, total));
}

void TestSessionDownload::manyFilesOverParallelFtp()
{
    // Many small files over several FTP connections that the server keeps alive.
    ProductTree many;
    for (int i = 0; i < 60; ++i)
        many.add("many", QString("f%1.bin").arg(i, 3, 10, QChar('0')),
                 ProductTree::randomBytes(2000 + i, quint32(100 + i)));
    many.write(served.filePath("ftp/many"), "12", "vm3");

    SessionRig rig;
    QVERIFY(rig.writeMirrors({MirrorEntry{vsftpd.baseUrl() + "/many"}}));
    QVERIFY(rig.writeSettings(6));
    QVERIFY(rig.start());
    QTRY_VERIFY_WITH_TIMEOUT(rig.ended(), endMs);
    QVERIFY2(rig.finished == 1, qPrintable(rig.log.join('\n')));
    for (const ProductFile& f : many.files)
        QCOMPARE(readFile(rig.downloadDir + "/" + f.mirrorPath()), f.content);
    QCOMPARE(rig.count("Stream \\d+, .* OK"), many.files.size() - 1);
}

QTEST_GUILESS_MAIN(TestSessionDownload)
#include "tst_session_sessiondownload.moc"
