// A download session run as the window runs it, against nginx: failing mirrors and the
// disk-space check; and the directory update that applies a downloaded set. Whole updates over
// HTTP and FTP run through the binary in the e2e test.
#include "approottesting.h"
#include "directoryupdate.h"
#include "ftpproductdownloadsession.h"
#include "producttree.h"
#include "testservers.h"

#include <QDirIterator>
#include <QPointer>
#include <QtTest>

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace
{

// A session in a scratch tree of its own; its messages, progress and end recorded; released
// with deleteLater from the slot of its final signal, as the window does.
struct SessionRig {
    QTemporaryDir scratch;
    QString installDir = scratch.filePath("install"), downloadDir = scratch.filePath("download");
    QStringList log;
    QList<QPair<quint64, quint64>> progress;
    int finished = 0, cancelled = 0, afterEnd = 0;
    QList<bool> markedAtEnd;
    QPointer<FTPProductDownloadSession> session;

    SessionRig()
    {
        QDir().mkpath(installDir);
        setAppRootPathForTesting(installDir);
        FTPProductDownloadSession::randomGenerator()->seed(1);
    }
    ~SessionRig()
    {
        delete session.data();
        setAppRootPathForTesting(QString());
    }
    // Mirrors with one retry and no pause, so that failing ones fail fast.
    bool run(const QStringList& urls, int streams)
    {
        QByteArray text = "[mirrors]\nsize=" + QByteArray::number(urls.size()) + "\n";
        for (int i = 0; i < urls.size(); ++i)
            text += QString("%1\\mirror=site%2\n").arg(i + 1).arg(i).toUtf8();
        for (int i = 0; i < urls.size(); ++i)
            text +=
                QString("[site%1]\nurl=%2\nretries=1\ntimeout=0\n").arg(i).arg(urls[i]).toUtf8();
        if (!writeFile(installDir + "/mirrors.ini", text) ||
            !writeFile(installDir + "/update.ini",
                       "[update]\nstreams=" + QByteArray::number(streams)))
            return false;
        auto* s = new FTPProductDownloadSession;
        session = s;
        using S = FTPProductDownloadSession;
        QObject::connect(s, &S::message, s, [this](const QString& m) {
            log << m;
            afterEnd += ended();
        });
        QObject::connect(s, &S::progressCount, s, [this](quint64 done, quint64 total) {
            progress << qMakePair(done, total);
            afterEnd += ended();
        });
        QObject::connect(s, &S::downloadFinished, s, [this] { release(&finished); });
        QObject::connect(s, &S::processCancelled, s, [this] { release(&cancelled); });
        FTPProductDownloadSession::InitialParameters p;
        p.clientType = "vm3";
        p.version = "12";
        p.mirrorsFile = installDir + "/mirrors.ini";
        p.settingsFile = installDir + "/update.ini";
        p.downloadDir = downloadDir;
        s->initialize(p);
        s->startUpdate();
        return QTest::qWaitFor([this] { return ended(); }, 60000);
    }
    bool ended() const { return finished + cancelled > 0; }
    QByteArray dump() const { return log.join('\n').toUtf8(); }
    int count(const QString& pattern) const
    {
        return int(
            log.filter(QRegularExpression(QRegularExpression::anchoredPattern(pattern))).size());
    }
    // Files whose downloaded copy differs from what the mirror serves.
    QStringList wrongCopies(const ProductTree& product) const
    {
        QStringList out;
        for (const ProductFile& f : product.files)
            if (readFile(downloadDir + "/" + f.mirrorPath()) != product.mirrorBytes(f))
                out << f.name;
        return out;
    }
    void release(int* counter)
    {
        afterEnd += ended();
        ++*counter;
        for (const auto& m : session->getMirrors())
            markedAtEnd << m.marked;
        session->deleteLater();
    }
};

// Runs a directory update without a user and gives its messages, then the progress and the
// results.
QStringList applyUpdate(const QString& source, const QString& dest)
{
    QStringList log, progress;
    int finished = 0;
    DirectoryUpdate update;
    QObject::connect(&update, &DirectoryUpdate::message, [&](const QString& t) { log << t; });
    QObject::connect(&update, &DirectoryUpdate::progress, [&](quint64 done, quint64 total) {
        progress << QString("%1/%2").arg(done).arg(total);
    });
    QObject::connect(&update, &DirectoryUpdate::updateFinished, [&] { ++finished; });
    const bool result = update.updateContent(true, source, source + "/client.ini", dest);
    return log << "progress " + progress.join(' ')
               << QString("result %1 complete %2 finished %3")
                      .arg(int(result))
                      .arg(int(update.isComplete()))
                      .arg(finished);
}

int modeOf(const QString& path)
{
    struct stat st {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Every entry below dir, sorted: "path=content" for files, "path/" for directories.
QStringList snapshot(const QString& dir)
{
    QStringList result;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next(), relative = QDir(dir).relativeFilePath(path);
        result << (QFileInfo(path).isDir() ? relative + "/"
                                           : relative + "=" + QString::fromLatin1(readFile(path)));
    }
    result.sort();
    return result;
}

} // namespace

class SessionTest : public QObject
{
    Q_OBJECT

    QTemporaryDir served;
    NginxServer nginx;
    ProductTree product;
    std::unique_ptr<QTemporaryDir> scratch;
    QString install, source; // a directory update's destination and downloaded version

    QString url(const QString& kind) const { return nginx.baseUrl() + "/" + kind; }
    QStringList requested(const QString& kind, int from) const
    {
        return nginx.requestedPaths().mid(from).filter(QRegularExpression("^/" + kind + "/"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        product.add("a", "a-first.bin", ProductTree::randomBytes(50000, 11))
            .add("a", "bin/vm3client_linux_x86", ProductTree::randomBytes(300000, 1))
            .add("a", "empty.dat", QByteArray())
            .add("b", "maps/harbour.map", ProductTree::randomBytes(70000, 3))
            .add("b", "textures.pak.gz", QByteArray(200000, 'v'), "textures.pak")
            .add("c", "de.qm", ProductTree::randomBytes(3000, 8));
        const QString www = served.filePath("www");
        product.write(www + "/good", "12", "vm3");
        // Same index; the first file (stream 0 takes it after the index) has other bytes of the
        // same length, is cut short, or is absent.
        const QString first = "/12/a/a-first.bin";
        QByteArray other = product.files[0].content;
        other[0] = char(other[0] ^ 1);
        QVERIFY(writeFile(product.write(www + "/corrupt", "12", "vm3") + "/a/a-first.bin", other));
        QVERIFY(writeFile(product.write(www + "/short", "12", "vm3") + "/a/a-first.bin",
                          other.left(1000)));
        QVERIFY(QFile::remove(product.write(www + "/missing", "12", "vm3") + "/a/a-first.bin"));
        QVERIFY(QFile::remove(product.write(www + "/noindex", "12", "vm3") + "/vm3.ini"));
        QVERIFY2(nginx.start(www), qPrintable(nginx.output()));
    }

    void init()
    {
        scratch = std::make_unique<QTemporaryDir>();
        install = scratch->filePath("install");
        source = scratch->filePath("download/57");
        QVERIFY(QDir().mkpath(install));
    }

    void failover_data()
    {
        QTest::addColumn<QStringList>("mirrors");
        QTest::addColumn<int>("streams");
        QTest::addColumn<int>("givenUp");   // streams that log "can't continue"; 0: it finishes
        QTest::addColumn<QString>("error"); // stream 0's error with the first mirror
        const QString port = QString::number(freePort());
        QTest::newRow("wrong checksum") << QStringList{"corrupt", "good"} << 1 << 0
                                        << "ERROR: Wrong checksum for .*/a/a-first.bin";
        QTest::newRow("wrong length")
            << QStringList{"short", "good"} << 1 << 0
            << "ERROR: Wrong length of .*/a/a-first.bin \\(1000 while required 50000\\)";
        QTest::newRow("404") << QStringList{"missing", "good"} << 1 << 0
                             << "ERROR: HTTP 404 Not Found";
        QTest::newRow("no index") << QStringList{"noindex", "good"} << 2 << 0
                                  << "ERROR: HTTP 404 Not Found";
        // The second stream still has the mirror when the first gives up; it takes the file
        // back and fails on it too.
        QTest::newRow("one mirror without the file, two streams")
            << QStringList{"missing"} << 2 << 2 << "";
        QTest::newRow("no mirror has the index")
            << QStringList{"noindex", "http://127.0.0.1:" + port} << 2 << 1 << "";
    }
    void failover()
    {
        QFETCH(QStringList, mirrors);
        QFETCH(int, streams);
        QFETCH(int, givenUp);
        QFETCH(QString, error);
        const int before = int(nginx.requestedPaths().size());
        SessionRig rig;
        QStringList urls;
        for (const QString& m : mirrors)
            urls << (m.startsWith("http") ? m : url(m));
        QVERIFY2(rig.run(urls, streams), rig.dump());
        QTest::qWait(100);
        QCOMPARE(rig.afterEnd, 0);
        if (givenUp > 0) {
            QVERIFY2(rig.cancelled == 1 && rig.finished == 0, rig.dump());
            QCOMPARE(rig.count("Stream \\d+ can't continue - all mirrors reported error"), givenUp);
            QCOMPARE(rig.markedAtEnd, QList<bool>(mirrors.size(), true));
            return;
        }
        QVERIFY2(rig.finished == 1 && rig.cancelled == 0, rig.dump());
        QCOMPARE(rig.count("Stream 0 reported error: " + error), 1);
        QCOMPARE(rig.count("Stream 0 change mirror to 1"), 1);
        QCOMPARE(rig.markedAtEnd, (QList<bool>{true, false}));
        QCOMPARE(rig.wrongCopies(product), QStringList());
        // Progress is out of the whole set, up to all of it.
        const quint64 total = product.totalMirrorSize();
        QCOMPARE(rig.progress.last(), qMakePair(total, total));
        for (const auto& step : rig.progress)
            QCOMPARE(step.second, total);
        // The failing mirror was asked once for what it failed on, the good one supplied it.
        const QString failed = mirrors[0] == "noindex" ? "vm3.ini" : "a-first.bin";
        QCOMPARE(requested(mirrors[0], before).filter(failed).size(), 1);
        QCOMPARE(requested("good", before).filter(failed).size(), 1);
    }

    void notEnoughDiskSpace()
    {
        const int before = int(nginx.requestedPaths().size());
        // An index that announces more bytes than any test machine's disk holds.
        const quint64 huge = quint64(1) << 52;
        QVERIFY(writeFile(served.filePath("www/huge/12/vm3.ini"),
                          "[a]\nsmall.bin=" + ProductTree::md5("x").toLatin1() +
                              "::1\nhuge.bin=0123456789abcdef0123456789abcdef::" +
                              QByteArray::number(huge) + "\n"));
        SessionRig rig;
        QVERIFY2(rig.run({url("huge")}, 2) && rig.cancelled == 1, rig.dump());
        struct statvfs fs;
        QCOMPARE(::statvfs(QFile::encodeName(rig.scratch.path()).constData(), &fs), 0);
        const QRegularExpressionMatch m =
            QRegularExpression(QString("Not enough disk space: %1 MB needed, (\\d+) MB free\\.")
                                   .arg((huge + 1 + 999999) / 1000000))
                .match(rig.log.last());
        QVERIFY2(m.hasMatch(), rig.dump());
        // The free space may move a little while the test runs.
        QVERIFY(qAbs(qint64(m.captured(1).toULongLong()) -
                     qint64(quint64(fs.f_bavail) * fs.f_frsize / 1000000)) < 1000);
        QCOMPARE(requested("huge", before), QStringList{"/huge/12/vm3.ini"});
    }

    void appliesDownloadedSet()
    {
        ProductTree tree;
        tree.add("g", "docs/readme.txt", "new readme")
            .add("g", "vm3client_linux_x86", "client")
            .add("g", "update", "new updater")
            .add("g", "lib/update", "new nested updater")
            .add("g", "plugins/x.so.gz", "plugin", "plugins/x.so")
            .add("g", "libQtCore.so.4.gz", QByteArray(7000, 'c'), "libQtCore.so.4")
            .add("g", "absent.txt", "downloaded copy that went missing");
        tree.deletePaths = {"obsolete.txt", "sub/old.dat", "never-there.txt", "docs/readme.txt"};
        tree.write(scratch->filePath("download"), "57", "client");
        QVERIFY(QFile::remove(source + "/g/absent.txt"));
        for (const char* name : {"update", "lib/update", "absent.txt", "obsolete.txt",
                                 "sub/old.dat", "keep.txt", "docs/readme.txt"})
            QVERIFY(writeFile(install + "/" + name, QByteArray("old ") + name));
        // A link in the way is replaced, not written through.
        QVERIFY(writeFile(scratch->filePath("outside.txt"), "outside"));
        QVERIFY(QFile::link(scratch->filePath("outside.txt"), install + "/vm3client_linux_x86"));

        const QStringList out = applyUpdate(source, install);

        QCOMPARE(out,
                 QStringList({"Update content", "Remove extra files...", "Copy/unpack files...",
                              out.value(3), "result 1 complete 1 finished 1"}));
        QCOMPARE(
            snapshot(install),
            QStringList({"_old_update=old update", "absent.txt=old absent.txt", "docs/",
                         "docs/readme.txt=new readme", "keep.txt=old keep.txt", "lib/",
                         "lib/_old_update=old lib/update", "lib/update=new nested updater",
                         "libQtCore.so.4=" + QString(7000, 'c'), "plugins/", "plugins/x.so=plugin",
                         "sub/", "update=new updater", "vm3client_linux_x86=client"}));
        QCOMPARE(readFile(scratch->filePath("outside.txt")), QByteArray("outside"));
        for (const char* exe : {"update", "vm3client_linux_x86", "plugins/x.so", "libQtCore.so.4"})
            QCOMPARE(modeOf(install + "/" + exe), 0755);
        QCOMPARE(modeOf(install + "/docs/readme.txt"), 0644);
        // One step per entry, whatever the order of the index; absent entries count too.
        QList<quint64> steps, sizes{0};
        quint64 done = 0;
        for (const QString& step : out.value(3).mid(9).split(' ')) {
            QCOMPARE(step.section('/', 1), QString::number(tree.totalMirrorSize()));
            steps << step.section('/', 0, 0).toULongLong() - done;
            done = step.section('/', 0, 0).toULongLong();
        }
        for (const ProductFile& f : tree.files)
            sizes << quint64(tree.mirrorBytes(f).size());
        std::sort(steps.begin(), steps.end());
        std::sort(sizes.begin(), sizes.end());
        QCOMPARE(steps, sizes);
    }
};

QTEST_MAIN(SessionTest)
#include "tst_session.moc"
