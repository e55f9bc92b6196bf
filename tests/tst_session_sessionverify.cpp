#include "approottesting.h"
#include "ftpproductdownloadsession.h"
#include "producttree.h"

#include <QTemporaryDir>
#include <QtTest>

// What the verification keeps of an installation and of an interrupted download, and how a
// session that finds nothing missing ends without touching the network.
class TestSessionVerify : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void classifiesEachFile_data();
    void classifiesEachFile();
    void endsWithoutNetwork_data();
    void endsWithoutNetwork();

private:
    std::unique_ptr<QTemporaryDir> scratch;
    std::unique_ptr<FTPProductDownloadSession> session;
    QString installDir, downloadDir, mirrorDir;
};

namespace
{
// setup: "<plain|packed|upper> <none|current|old> <none|good|short|wrong|dir>", the index, the
// installed file and the copy in the download directory. outcome: the words "ready",
// "downloaded" and "kept" (the copy is still there) that hold.
void addRow(const char* tag, const char* setup, const QString& outcome)
{
    QTest::newRow(tag) << QString(setup).split(' ') << outcome;
}
} // namespace

void TestSessionVerify::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    installDir = scratch->filePath("install");
    downloadDir = scratch->filePath("download");
    mirrorDir = scratch->filePath("mirror");
    QVERIFY(QDir().mkpath(installDir) && QDir().mkpath(downloadDir));
    setAppRootPathForTesting(installDir);
    FTPProductDownloadSession::InitialParameters p;
    p.clientType = "vm3";
    p.version = "12";
    p.downloadDir = downloadDir;
    session = std::make_unique<FTPProductDownloadSession>();
    session->initialize(p);
}

void TestSessionVerify::cleanup()
{
    session.reset();
    setAppRootPathForTesting(QString());
    scratch.reset();
}

void TestSessionVerify::classifiesEachFile_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QString>("outcome");

    addRow("nothing anywhere", "plain none none", "");
    addRow("installed current, copy not looked at", "plain current short", "ready downloaded kept");
    addRow("installed differs, no copy", "plain old none", "");
    addRow("installed differs, good copy", "plain old good", "downloaded kept");
    addRow("copy of the wrong length", "plain none short", "");
    addRow("copy with a wrong checksum", "plain none wrong", "");
    addRow("directory where the copy should be", "plain none dir", "kept");
    addRow("packed, unpacked file installed", "packed current none", "ready downloaded");
    addRow("packed, good packed copy", "packed old good", "downloaded kept");
    // Checksums are compared as text: an upper-case index never matches what is on disk.
    addRow("upper-case checksum, installed", "upper current none", "");
    addRow("upper-case checksum, good copy", "upper none good", "");
}

void TestSessionVerify::classifiesEachFile()
{
    QFETCH(QStringList, setup);
    QFETCH(QString, outcome);

    const QByteArray content = ProductTree::randomBytes(5000, 7);
    // A neighbour that is always installed shows that one entry's result leaves the next alone.
    const QByteArray other = "another file\n";
    ProductTree tree;
    if (setup[0] == "packed")
        tree.addPacked("base", "lib/data.bin.gz", "lib/data.bin", content);
    else
        tree.add("base", "lib/data.bin", content);
    tree.add("zz", "other.txt", other);
    const ProductFile& f = tree.files[0];
    const QByteArray mirrorBytes = tree.mirrorBytes(f);
    QString indexPath = tree.write(mirrorDir, "12", "vm3") + "/vm3.ini";
    if (setup[0] == "upper") {
        const QString md5 = ProductTree::md5(mirrorBytes);
        // A new name: QSettings may still hold the old content of a rewritten file.
        indexPath = mirrorDir + "/upper.ini";
        QVERIFY(writeFile(
            indexPath,
            readFile(mirrorDir + "/12/vm3.ini").replace(md5.toLatin1(), md5.toUpper().toLatin1())));
    }

    const QString installedPath = installDir + "/" + f.installedPath();
    if (setup[1] != "none")
        QVERIFY(writeFile(installedPath, setup[1] == "current" ? content : "old version"));
    QVERIFY(writeFile(installDir + "/other.txt", other));
    const QString copyPath = downloadDir + "/" + f.mirrorPath();
    const QMap<QString, QByteArray> copies{{"good", mirrorBytes},
                                           {"short", mirrorBytes.chopped(1)},
                                           {"wrong", QByteArray(mirrorBytes.size(), 'x')}};
    if (copies.contains(setup[2]))
        QVERIFY(writeFile(copyPath, copies[setup[2]]));
    else if (setup[2] == "dir")
        QVERIFY(QDir().mkpath(copyPath + "/inside"));

    QSignalSpy messages(session.get(), &FTPProductDownloadSession::message);
    QSignalSpy progress(session.get(), &FTPProductDownloadSession::progressCount);
    QVERIFY(session->checkAllFiles(indexPath));

    const TaskState& task = session->getTask();
    const bool ready = task.isReady(0), downloaded = task.isDownloaded(0);
    QStringList held{ready ? "ready" : "", downloaded ? "downloaded" : "",
                     QFileInfo::exists(copyPath) ? "kept" : ""};
    held.removeAll(QString());
    QCOMPARE(held.join(' '), outcome);
    QVERIFY(task.isReady(1));
    QCOMPARE(task.getFlags(0) & TaskState::F_PENDING, 0u);
    // Progress runs from nothing to what is at hand, out of the whole product.
    const quint64 total = tree.totalMirrorSize();
    const quint64 atHand = quint64(other.size()) + (downloaded ? quint64(mirrorBytes.size()) : 0);
    QCOMPARE(progress.first(), QVariantList({QVariant::fromValue(quint64(0)), total}));
    QCOMPARE(progress.last(), QVariantList({QVariant::fromValue(atHand), total}));
    QCOMPARE(messages.last().at(0).toString(),
             QString("Verification of 2 file(s) complete. Ready: %1, Downloaded: %2.")
                 .arg(1 + int(ready))
                 .arg(int(downloaded && !ready)));
    QCOMPARE(messages.contains(QVariantList{"File " + installedPath + " up to date"}), ready);
}

void TestSessionVerify::endsWithoutNetwork_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<QStringList>("log"); // <install> and <mirror> stand for those directories

    // QSettings hands keys out sorted; the per-file lines follow that order.
    QTest::newRow("all installed")
        << "12/vm3.ini"
        << QStringList{
               "progress 0/6",       "File <install>/one.txt up to date",
               "progress 1/6",       "File <install>/three.txt up to date",
               "progress 4/6",       "File <install>/two.txt up to date",
               "progress 6/6",       "Verification of 3 file(s) complete. Ready: 3, Downloaded: 0.",
               "Download finished.", "finished"};
    QTest::newRow("no index is an empty list")
        << "absent.ini"
        << QStringList{"progress 0/0",
                       "Verification of 0 file(s) complete. Ready: 0, Downloaded: 0.",
                       "Download finished.", "finished"};
    // The task list reader refuses every kind of broken index; one is enough here.
    QTest::newRow("unusable index")
        << "bad.ini" << QStringList{"Unable to initialize session with <mirror>/bad.ini."};
    QTest::newRow("no index path") << "" << QStringList{};
}

void TestSessionVerify::endsWithoutNetwork()
{
    QFETCH(QString, index);
    QFETCH(QStringList, log);

    ProductTree tree;
    tree.add("a", "one.txt", "1").add("a", "two.txt", "22").add("a", "three.txt", "333");
    tree.write(mirrorDir, "12", "vm3");
    QVERIFY(writeFile(mirrorDir + "/bad.ini", "[a]\nf=0123::12::x\n"));
    for (const ProductFile& f : tree.files)
        QVERIFY(writeFile(installDir + "/" + f.name, f.content));

    QStringList got;
    auto* s = session.get();
    connect(s, &FTPProductDownloadSession::message, this, [&](const QString& m) { got << m; });
    connect(s, &FTPProductDownloadSession::progressCount, this, [&](quint64 done, quint64 total) {
        got << QString("progress %1/%2").arg(done).arg(total);
    });
    connect(s, &FTPProductDownloadSession::downloadFinished, this, [&] { got << "finished"; });
    connect(s, &FTPProductDownloadSession::processCancelled, this, [&] { got << "cancelled"; });
    if (s->checkAllFiles(index.isEmpty() ? QString() : mirrorDir + "/" + index))
        s->startDownloadBySessionState();
    QCOMPARE(got,
             log.replaceInStrings("<install>", installDir).replaceInStrings("<mirror>", mirrorDir));
    QVERIFY(s->getStreams().isEmpty());
    QVERIFY(QDir(downloadDir).isEmpty(QDir::NoDotAndDotDot | QDir::AllEntries));
}

QTEST_GUILESS_MAIN(TestSessionVerify)
#include "tst_session_sessionverify.moc"
