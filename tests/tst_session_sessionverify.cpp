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
    void allInstalledEndsAtOnce();
    void unusableIndex();
    void missingIndexIsAnEmptyList();

private:
    // Writes the product to a mirror tree and returns the index path.
    QString publish(const ProductTree& tree);
    FTPProductDownloadSession::InitialParameters parameters() const;

    std::unique_ptr<QTemporaryDir> scratch;
    QString installDir, downloadDir, mirrorDir;
};

enum Index { Plain, Packed, UpperCase };
enum Installed { NotInstalled, InstalledCurrent, InstalledDifferent };
enum Copy { NoCopy, GoodCopy, ShortCopy, SameLengthWrongBytes, DirectoryInTheWay };

namespace
{
// outcome: the words "ready", "downloaded" and "kept" (the copy is still there) that hold.
void addRow(const char* tag, Index index, Installed installed, Copy copy, const QString& outcome)
{
    QTest::newRow(tag) << int(index) << int(installed) << int(copy) << outcome;
}
} // namespace

void TestSessionVerify::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    installDir = scratch->filePath("install");
    downloadDir = scratch->filePath("download");
    mirrorDir = scratch->filePath("mirror");
    QVERIFY(QDir().mkpath(installDir));
    QVERIFY(QDir().mkpath(downloadDir));
    setAppRootPathForTesting(installDir);
}

void TestSessionVerify::cleanup()
{
    setAppRootPathForTesting(QString());
    scratch.reset();
}

QString TestSessionVerify::publish(const ProductTree& tree)
{
    return tree.write(mirrorDir, "12", "vm3") + "/vm3.ini";
}

FTPProductDownloadSession::InitialParameters TestSessionVerify::parameters() const
{
    FTPProductDownloadSession::InitialParameters p;
    p.clientType = "vm3";
    p.version = "12";
    p.downloadDir = downloadDir;
    return p;
}

void TestSessionVerify::classifiesEachFile_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("installed");
    QTest::addColumn<int>("copy");
    QTest::addColumn<QString>("outcome");

    addRow("nothing anywhere", Plain, NotInstalled, NoCopy, "");
    addRow("installed and current", Plain, InstalledCurrent, NoCopy, "ready downloaded");
    addRow("installed current, copy not looked at", Plain, InstalledCurrent, ShortCopy,
           "ready downloaded kept");
    addRow("installed differs, no copy", Plain, InstalledDifferent, NoCopy, "");
    addRow("installed differs, good copy", Plain, InstalledDifferent, GoodCopy, "downloaded kept");
    addRow("copy of the wrong length", Plain, NotInstalled, ShortCopy, "");
    addRow("copy with a wrong checksum", Plain, NotInstalled, SameLengthWrongBytes, "");
    addRow("directory where the copy should be", Plain, NotInstalled, DirectoryInTheWay, "kept");
    addRow("packed, unpacked file installed", Packed, InstalledCurrent, ShortCopy,
           "ready downloaded kept");
    addRow("packed, good packed copy", Packed, InstalledDifferent, GoodCopy, "downloaded kept");
    addRow("packed, copy of the wrong length", Packed, NotInstalled, ShortCopy, "");
    // Checksums are compared as text: an upper-case index never matches what is on disk.
    addRow("upper-case checksum, installed", UpperCase, InstalledCurrent, NoCopy, "");
    addRow("upper-case checksum, good copy", UpperCase, NotInstalled, GoodCopy, "");
}

void TestSessionVerify::classifiesEachFile()
{
    QFETCH(int, index);
    QFETCH(int, installed);
    QFETCH(int, copy);
    QFETCH(QString, outcome);

    const QByteArray content = ProductTree::randomBytes(5000, 7);
    // A neighbour that is always installed shows that one entry's result leaves the next alone.
    const QByteArray other = "another file\n";
    ProductTree tree;
    if (index == Packed)
        tree.addPacked("base", "lib/data.bin.gz", "lib/data.bin", content);
    else
        tree.add("base", "lib/data.bin", content);
    tree.add("zz", "other.txt", other);
    QString indexPath = publish(tree);
    if (index == UpperCase) {
        QByteArray text = readFile(indexPath);
        const QString md5 = ProductTree::md5(tree.mirrorBytes(tree.files[0]));
        text.replace(md5.toLatin1(), md5.toUpper().toLatin1());
        // A new name: QSettings may still hold the old content of a rewritten file.
        indexPath = mirrorDir + "/upper.ini";
        QVERIFY(writeFile(indexPath, text));
    }

    const ProductFile& f = tree.files[0];
    const QString installedPath = installDir + "/" + f.installedPath();
    if (installed == InstalledCurrent)
        QVERIFY(writeFile(installedPath, content));
    else if (installed == InstalledDifferent)
        QVERIFY(writeFile(installedPath, "old version"));
    QVERIFY(writeFile(installDir + "/other.txt", other));

    const QByteArray mirrorBytes = tree.mirrorBytes(f);
    const QString copyPath = downloadDir + "/" + f.mirrorPath();
    if (copy == GoodCopy)
        QVERIFY(writeFile(copyPath, mirrorBytes));
    else if (copy == ShortCopy)
        QVERIFY(writeFile(copyPath, mirrorBytes.left(mirrorBytes.size() - 1)));
    else if (copy == SameLengthWrongBytes)
        QVERIFY(writeFile(copyPath, QByteArray(mirrorBytes.size(), 'x')));
    else if (copy == DirectoryInTheWay)
        QVERIFY(QDir().mkpath(copyPath + "/inside"));

    FTPProductDownloadSession session;
    session.initialize(parameters());
    QSignalSpy messages(&session, &FTPProductDownloadSession::message);
    QSignalSpy progress(&session, &FTPProductDownloadSession::progressCount);
    QVERIFY(session.checkAllFiles(indexPath));

    const TaskState& task = session.getTask();
    QCOMPARE(task.getSize(), 2);
    FileSpecification e;
    task.get(0, &e);
    QCOMPARE(e.directory, QString("base"));
    QVERIFY(task.isReady(1));
    const bool ready = task.isReady(0);
    const bool downloaded = task.isDownloaded(0);
    QStringList held;
    if (ready)
        held << "ready";
    if (downloaded)
        held << "downloaded";
    if (QFileInfo::exists(copyPath))
        held << "kept";
    QCOMPARE(held.join(' '), outcome);
    QCOMPARE(task.getFlags(0) & TaskState::F_PENDING, 0u);

    const quint64 total = tree.totalMirrorSize();
    const quint64 atHand = quint64(other.size()) + (downloaded ? quint64(mirrorBytes.size()) : 0);
    QCOMPARE(task.getTotalSize(), total);
    QCOMPARE(task.downloadedSize, atHand);
    QVERIFY(progress.count() >= 2);
    QCOMPARE(progress.first().at(0).value<quint64>(), quint64(0));
    QCOMPARE(progress.last().at(0).value<quint64>(), atHand);
    QCOMPARE(progress.last().at(1).value<quint64>(), total);

    QCOMPARE(messages.last().at(0).toString(),
             QString("Verification of 2 file(s) complete. Ready: %1, Downloaded: %2.")
                 .arg(1 + int(ready))
                 .arg(int(downloaded && !ready)));
    const QString upToDate = QString("File %1 up to date").arg(installedPath);
    QCOMPARE(messages.contains(QVariantList{upToDate}), ready);
}

void TestSessionVerify::allInstalledEndsAtOnce()
{
    ProductTree tree;
    tree.add("a", "one.txt", "1").add("a", "two.txt", "22").add("a", "three.txt", "333");
    const QString indexPath = publish(tree);
    for (const ProductFile& f : tree.files)
        QVERIFY(writeFile(installDir + "/" + f.name, f.content));

    FTPProductDownloadSession session;
    session.initialize(parameters());
    QStringList log;
    connect(&session, &FTPProductDownloadSession::message, this,
            [&](const QString& m) { log << m; });
    connect(&session, &FTPProductDownloadSession::progressCount, this,
            [&](quint64 done, quint64 total) {
                log << QString("progress %1/%2").arg(done).arg(total);
            });
    QSignalSpy finished(&session, &FTPProductDownloadSession::downloadFinished);
    QSignalSpy cancelled(&session, &FTPProductDownloadSession::processCancelled);

    QVERIFY(session.checkAllFiles(indexPath));
    session.startDownloadBySessionState();

    // QSettings hands keys out sorted; the per-file lines follow that order.
    QStringList expected{"progress 0/6"};
    quint64 done = 0;
    const QStringList names{"one.txt", "three.txt", "two.txt"};
    for (const QString& name : names) {
        done += quint64(readFile(installDir + "/" + name).size());
        expected << QString("File %1/%2 up to date").arg(installDir, name)
                 << QString("progress %1/6").arg(done);
    }
    expected << "Verification of 3 file(s) complete. Ready: 3, Downloaded: 0."
             << "Download finished.";
    QCOMPARE(log, expected);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(cancelled.count(), 0);
    QVERIFY(session.getStreams().isEmpty());
    QVERIFY(QDir(downloadDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

void TestSessionVerify::unusableIndex()
{
    // The task list reader refuses every kind of broken index; one is enough here.
    const QString indexPath = downloadDir + "/vm3.ini";
    QVERIFY(writeFile(indexPath, "[a]\nf=0123::12::x\n"));

    FTPProductDownloadSession session;
    session.initialize(parameters());
    QSignalSpy messages(&session, &FTPProductDownloadSession::message);
    QSignalSpy progress(&session, &FTPProductDownloadSession::progressCount);
    QVERIFY(!session.checkAllFiles(indexPath));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QString("Unable to initialize session with %1.").arg(indexPath));
    QCOMPARE(progress.count(), 0);

    QVERIFY(!session.checkAllFiles(QString()));
    QCOMPARE(messages.count(), 1);
}

void TestSessionVerify::missingIndexIsAnEmptyList()
{
    FTPProductDownloadSession session;
    session.initialize(parameters());
    QSignalSpy messages(&session, &FTPProductDownloadSession::message);
    QSignalSpy finished(&session, &FTPProductDownloadSession::downloadFinished);
    QVERIFY(session.checkAllFiles(downloadDir + "/absent.ini"));
    QCOMPARE(messages.last().at(0).toString(),
             QString("Verification of 0 file(s) complete. Ready: 0, Downloaded: 0."));
    session.startDownloadBySessionState();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(messages.last().at(0).toString(), QString("Download finished."));
}

QTEST_GUILESS_MAIN(TestSessionVerify)
#include "tst_session_sessionverify.moc"
