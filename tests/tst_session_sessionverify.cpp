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
    void unusableIndex_data();
    void unusableIndex();
    void missingIndexIsAnEmptyList();

private:
    // Writes the product to a mirror tree and returns the index path.
    QString publish(const ProductTree& tree);
    FTPProductDownloadSession::InitialParameters parameters() const;

    std::unique_ptr<QTemporaryDir> scratch;
    QString installDir, downloadDir, mirrorDir;
};

enum Installed { NotInstalled, InstalledCurrent, InstalledDifferent };
enum Copy { NoCopy, GoodCopy, ShortCopy, SameLengthWrongBytes, DirectoryInTheWay };

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
    QTest::addColumn<bool>("packed");
    QTest::addColumn<bool>("upperCaseIndex");
    QTest::addColumn<int>("installed");
    QTest::addColumn<int>("copy");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<bool>("downloaded");
    QTest::addColumn<bool>("copyKept");

    QTest::newRow("nothing anywhere")
        << false << false << int(NotInstalled) << int(NoCopy) << false << false << false;
    QTest::newRow("installed and current")
        << false << false << int(InstalledCurrent) << int(NoCopy) << true << true << false;
    QTest::newRow("installed current, copy not looked at")
        << false << false << int(InstalledCurrent) << int(ShortCopy) << true << true << true;
    QTest::newRow("installed differs, no copy")
        << false << false << int(InstalledDifferent) << int(NoCopy) << false << false << false;
    QTest::newRow("installed differs, good copy")
        << false << false << int(InstalledDifferent) << int(GoodCopy) << false << true << true;
    QTest::newRow("good copy only")
        << false << false << int(NotInstalled) << int(GoodCopy) << false << true << true;
    QTest::newRow("copy of the wrong length")
        << false << false << int(NotInstalled) << int(ShortCopy) << false << false << false;
    QTest::newRow("copy with a wrong checksum")
        << false << false << int(NotInstalled) << int(SameLengthWrongBytes) << false << false
        << false;
    QTest::newRow("directory where the copy should be")
        << false << false << int(NotInstalled) << int(DirectoryInTheWay) << false << false << true;
    QTest::newRow("packed, unpacked file installed")
        << true << false << int(InstalledCurrent) << int(ShortCopy) << true << true << true;
    QTest::newRow("packed, good packed copy")
        << true << false << int(InstalledDifferent) << int(GoodCopy) << false << true << true;
    QTest::newRow("packed, copy of the wrong length")
        << true << false << int(NotInstalled) << int(ShortCopy) << false << false << false;
    // Checksums are compared as text: an upper-case index never matches what is on disk.
    QTest::newRow("upper-case checksum, installed")
        << false << true << int(InstalledCurrent) << int(NoCopy) << false << false << false;
    QTest::newRow("upper-case checksum, good copy")
        << false << true << int(NotInstalled) << int(GoodCopy) << false << false << false;
}

void TestSessionVerify::classifiesEachFile()
{
    QFETCH(bool, packed);
    QFETCH(bool, upperCaseIndex);
    QFETCH(int, installed);
    QFETCH(int, copy);
    QFETCH(bool, ready);
    QFETCH(bool, downloaded);
    QFETCH(bool, copyKept);

    const QByteArray content = ProductTree::randomBytes(5000, 7);
    // A neighbour that is always installed shows that one entry's result leaves the next alone.
    const QByteArray other = "another file\n";
    ProductTree tree;
    if (packed)
        tree.addPacked("base", "lib/data.bin.gz", "lib/data.bin", content);
    else
        tree.add("base", "lib/data.bin", content);
    tree.add("zz", "other.txt", other);
    QString indexPath = publish(tree);
    if (upperCaseIndex) {
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
    int index = -1;
    for (int i = 0; i < task.getSize(); ++i) {
        FileSpecification e;
        task.get(i, &e);
        if (e.directory == "base")
            index = i;
        else
            QVERIFY(task.isReady(i));
    }
    QVERIFY(index >= 0);
    QCOMPARE(task.isReady(index), ready);
    QCOMPARE(task.isDownloaded(index), downloaded);
    QCOMPARE(QFileInfo::exists(copyPath), copyKept);
    QCOMPARE(task.getFlags(index) & TaskState::F_PENDING, 0u);

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
    bool sawUpToDate = false;
    for (const auto& m : messages)
        sawUpToDate = sawUpToDate || m.at(0).toString() == upToDate;
    QCOMPARE(sawUpToDate, ready);
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

void TestSessionVerify::unusableIndex_data()
{
    QTest::addColumn<QByteArray>("index");
    QTest::newRow("three fields") << QByteArray("[a]\nf=0123::12::x\n");
    QTest::newRow("trailing separator") << QByteArray("[a]\nf=0123::12::\n");
    QTest::newRow("path leaving the tree") << QByteArray("[..]\nevil=0123::12\n");
}

void TestSessionVerify::unusableIndex()
{
    QFETCH(QByteArray, index);
    const QString indexPath = downloadDir + "/vm3.ini";
    QVERIFY(writeFile(indexPath, index));

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
