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
    void resume();

private:
    QTemporaryDir served;
    NginxServer nginx;
    VsftpdServer vsftpd;
    ProductTree product;
};

void TestSessionDownload::initTestCase()
{
    QVERIFY(served.isValid());
    product.add("base", "readme.txt", "Voxmere 3 Client\n")
        .add("base", "bin/vm3client_linux_x86", ProductTree::randomBytes(300000, 1))
        .add("base", "lib/libvoxcore.so", ProductTree::randomBytes(120000, 2))
        .add("data", "empty.dat", QByteArray())
        .add("data", "maps/harbour.map", ProductTree::randomBytes(70000, 3))
        .add("data", "maps/plains.map", ProductTree::randomBytes(90000, 5))
        .add("data", "sounds/wind.ogg", ProductTree::randomBytes(40000, 6))
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
    QTest::newRow("http, 1") << QStringList{"http"} << 1;
    QTest::newRow("http, 4") << QStringList{"http"} << 4;
    QTest::newRow("ftp, 1") << QStringList{"ftp"} << 1;
    QTest::newRow("ftp, 4") << QStringList{"ftp"} << 4;
    QTest::newRow("ftp and http, 4") << QStringList{"ftp", "http"} << 4;
}

void TestSessionDownload::wholeDownload()
{
    QFETCH(QStringList, mirrors);
    QFETCH(int, streams);

    const int nginxBefore = nginx.requestedPaths().size();
    const int ftpBefore = vsftpd.retrievedPaths().size();
    SessionRig rig;
    QStringList urls;
    for (const QString& kind : mirrors)
        urls << (kind == "http" ? nginx.baseUrl() + "/http" : vsftpd.baseUrl() + "/ftp");
    QVERIFY2(rig.run(urls, streams), rig.dump());
    QTest::qWait(100); // events still queued for the released session must find nothing
    QCOMPARE(QList<int>({rig.finished, rig.cancelled, rig.signalsAfterEnd}), QList<int>({1, 0, 0}));
    QVERIFY(rig.session.isNull());

    const quint64 total = product.totalMirrorSize();
    QCOMPARE(rig.progress.last(), qMakePair(total, total));
    for (int i = 1; i < rig.progress.size(); ++i) {
        QVERIFY(rig.progress[i].first >= rig.progress[i - 1].first);
        QCOMPARE(rig.progress[i].second, total);
    }
    // Every file once, from the servers in the list only.
    const QStringList fromHttp = nginx.requestedPaths().mid(nginxBefore);
    const QStringList fromFtp = vsftpd.retrievedPaths().mid(ftpBefore);
    QCOMPARE(timesRequested(fromHttp + fromFtp, "12/vm3.ini"), 1);
    QCOMPARE(misfetched(fromHttp + fromFtp, product), QStringList());
    QCOMPARE(rig.wrongCopies(product), QStringList());
    QCOMPARE(fromHttp.isEmpty(), !mirrors.contains("http"));
    QCOMPARE(fromFtp.isEmpty(), !mirrors.contains("ftp"));

    QVERIFY2(rig.inOrder({"Stream 0 connected", "Download file list retrieved.",
                          "Verification of 10 file\\(s\\) complete. Ready: 0, Downloaded: 0."}),
             rig.dump());
    QCOMPARE(rig.log.last(), QString("Download finished."));
    QCOMPARE(rig.count("Stream \\d+, .* OK"), product.files.size() - 1);
    QCOMPARE(rig.count("Stream \\d+ connected"), streams);
    QVERIFY(rig.switches.isEmpty());
}

void TestSessionDownload::resume()
{
    const int before = nginx.requestedPaths().size();
    SessionRig rig;
    auto file = [&](const QString& name) {
        return *std::find_if(product.files.begin(), product.files.end(),
                             [&](const ProductFile& f) { return f.name == name; });
    };
    auto put = [&](const QString& name, const QByteArray& bytes) {
        QVERIFY(writeFile(rig.downloadDir + "/" + file(name).mirrorPath(), bytes));
    };
    // Installed and current: nothing to fetch, whatever lies in the download directory.
    QVERIFY(writeFile(rig.installDir + "/readme.txt", file("readme.txt").content));
    QVERIFY(writeFile(rig.installDir + "/textures.pak", file("textures.pak.gz").content));
    put("textures.pak.gz", "stale");
    // Installed but outdated, no copy.
    QVERIFY(writeFile(rig.installDir + "/lib/libvoxcore.so", "previous version"));
    // Good copies of an interrupted download, and copies cut short or with other bytes.
    put("maps/harbour.map", product.mirrorBytes(file("maps/harbour.map")));
    put("de.qm", product.mirrorBytes(file("de.qm")));
    put("maps/plains.map", file("maps/plains.map").content.left(5000));
    QByteArray flipped = file("sounds/wind.ogg").content;
    flipped[100] = char(flipped[100] ^ 0x55);
    put("sounds/wind.ogg", flipped);

    QVERIFY2(rig.run({nginx.baseUrl() + "/http"}, 2) && rig.finished == 1, rig.dump());
    QVERIFY(rig.count("Verification of 10 file\\(s\\) complete. Ready: 2, Downloaded: 2.") > 0);
    const QStringList requested = nginx.requestedPaths().mid(before);
    QCOMPARE(misfetched(requested, product,
                        {"readme.txt", "textures.pak.gz", "maps/harbour.map", "de.qm"}),
             QStringList());
    // The stale packed copy is neither looked at nor fetched again: the installed file is current.
    QCOMPARE(rig.wrongCopies(product), QStringList({"readme.txt", "textures.pak.gz"}));
    QCOMPARE(readFile(rig.downloadDir + "/data/textures.pak.gz"), QByteArray("stale"));
    const quint64 total = product.totalMirrorSize();
    QCOMPARE(rig.progress.first(), qMakePair(quint64(0), total));
    QCOMPARE(rig.progress.last(), qMakePair(total, total));
}

QTEST_GUILESS_MAIN(TestSessionDownload)
#include "tst_session_sessiondownload.moc"
