#include "directoryupdate.h"
#include "producttree.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>
#include <sys/stat.h>

namespace
{

using Button = QMessageBox::StandardButton;

// An answer to a question box, and what the user does before giving it.
struct Answer {
    Button button;
    std::function<void()> before;
};

// Runs an update of dest and gives its whole outcome: the messages and, as "? " and their first
// line, the questions in order, then the progress and the results. Questions nobody expected
// are aborted rather than hanging the test.
QStringList runUpdate(bool noUser, const QString& source, const QString& dest,
                      QList<Answer> answers = {})
{
    QStringList log;
    QStringList progress;
    int finished = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        const QStringList lines = box->text().split('\n');
        log << "? " + lines.first();
        // A question about an overwrite carries the system's reason and asks whether to stop.
        if ((lines.size() != 1 && (lines.size() != 3 || lines[1].isEmpty() ||
                                   lines[2] != "Do you wish to stop update?")) ||
            box->windowTitle() != "Question" ||
            box->standardButtons() !=
                (QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore) ||
            box->defaultButton() != box->button(QMessageBox::Retry))
            log << "malformed question";
        const Answer answer =
            answers.isEmpty() ? Answer{QMessageBox::Abort, {}} : answers.takeFirst();
        if (answer.before)
            answer.before();
        box->button(answer.button)->click();
    });
    timer.start(5);

    DirectoryUpdate update;
    QObject::connect(&update, &DirectoryUpdate::message, [&](const QString& t) { log << t; });
    QObject::connect(&update, &DirectoryUpdate::progress, [&](quint64 done, quint64 total) {
        progress << QString("%1/%2").arg(done).arg(total);
    });
    QObject::connect(&update, &DirectoryUpdate::updateFinished, [&] { ++finished; });
    const bool result = update.updateContent(noUser, source, source + "/client.ini", dest);
    log << "progress " + progress.join(' ')
        << QString("result %1 complete %2 finished %3")
               .arg(int(result))
               .arg(int(update.isComplete()))
               .arg(finished);
    return log;
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
        const QString path = it.next();
        const QString relative = QDir(dir).relativeFilePath(path);
        result << (QFileInfo(path).isDir() ? relative + "/"
                                           : relative + "=" + QString::fromLatin1(readFile(path)));
    }
    result.sort();
    return result;
}

enum Fault { DirInTheWay, CorruptMirror, LeftoverAside, MirrorIsDir };

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestDirectoryUpdate : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> scratch;
    QString install;
    QString source; // the downloaded version directory

private slots:
    void init()
    {
        scratch = std::make_unique<QTemporaryDir>();
        QVERIFY(scratch->isValid());
        install = scratch->filePath("install");
        source = scratch->filePath("download/57");
        QVERIFY(QDir().mkpath(install));
    }

    void appliesDownloadedSet()
    {
        ProductTree tree;
        tree.add("g", "docs/readme.txt", "new readme")
            .add("g", "vm3client_linux_x86", "client")
            .add("g", "update", "new updater")
            .add("g", "lib/update", "new nested updater")
            .addPacked("g", "plugins/x.so.gz", "plugins/x.so", "plugin")
            .addPacked("g", "libQtCore.so.4.gz", "libQtCore.so.4", QByteArray(7000, 'c'))
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

        const QStringList out = runUpdate(false, source, install);

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
        QCOMPARE(modeOf(install + "/docs/readme.txt") & 0111, 0);

        // One step per entry, whatever the order of the index; absent entries count too.
        QList<quint64> steps;
        QList<quint64> sizes{0};
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

    // An index that cannot be used is reported and nothing is touched; an empty or missing
    // one is an update with nothing to do.
    void unusableOrEmptyIndex_data()
    {
        const QByteArray md5 = ProductTree::md5("x").toLatin1();
        const QByteArray ok = "[g]\nkeep.txt=" + md5 + "::1\n";
        QTest::addColumn<QByteArray>("index"); // null: no index file
        QTest::addColumn<bool>("refused");
        QTest::newRow("missing index") << QByteArray() << false;
        QTest::newRow("no file groups") << QByteArray("[General]\nx=1\n") << false;
        QTest::newRow("three fields") << QByteArray("[g]\nkeep.txt=" + md5 + "::1::x\n") << true;
        QTest::newRow("delete climbs out") << ok + "[delete]\n..\\outside.txt=\n" << true;
        QTest::newRow("delete the updater") << ok + "[delete]\nupdate=\n" << true;
        QTest::newRow("unpacked name absolute")
            << "[g]\nk.gz=" + md5 + "::1::" + md5 + "::1::@OUT@\n"
            << true;
    }
    void unusableOrEmptyIndex()
    {
        QFETCH(QByteArray, index);
        QFETCH(bool, refused);
        const QString outside = scratch->filePath("outside.txt");
        // Everything an unsafe index could reach holds something of its own.
        for (const QString& path :
             {source + "/g/keep.txt", source + "/g/k.gz", outside, install + "/keep.txt",
              install + "/update", install + "/update.ini"})
            QVERIFY(writeFile(path, path.toUtf8()));
        if (!index.isNull())
            QVERIFY(writeFile(source + "/client.ini", index.replace("@OUT@", outside.toUtf8())));
        const QStringList before = snapshot(scratch->path());

        const QStringList out = runUpdate(true, source, install);

        const QStringList expected =
            refused ? QStringList{"Unable to read " + source + "/client.ini.", "progress ",
                                  "result 0 complete 0 finished 0"}
                    : QStringList{"Copy/unpack files...", "progress 0/0",
                                  "result 1 complete 1 finished 1"};
        QCOMPARE(out, QStringList{"Update content"} + expected);
        QCOMPARE(snapshot(scratch->path()), before);
    }

    // One entry, "MIRROR" or "MIRROR>INSTALLED" for a packed one, fails. The log is the one of
    // a run whose every question is ignored, "@D" standing for the destination and "@A" for the
    // name it is moved aside to; the ends are what lies at both after a failure, and aside after
    // a successful retry. The answer NoButton means that there is no user.
    void failures_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<Button>("answer");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("ignoredLog");
        QTest::addColumn<QString>("ends");
        const auto fault = [](const char* name, Fault fault, const QString& entry,
                              const QString& log, const QString& ends) {
            const QList<QPair<const char*, Button>> answers = {
                {"no user", QMessageBox::NoButton},
                {"ignore", QMessageBox::Ignore},
                {"abort", QMessageBox::Abort},
                {"retry after fix", QMessageBox::Retry}};
            for (const auto& [answerName, answer] : answers)
                QTest::addRow("%s, %s", name, answerName)
                    << fault << answer << entry << log << ends;
        };
        const QString unzipFailed = "Wrong checksum @D!|Wrong length @D!|? Wrong length @D!";
        fault("directory in the way", DirInTheWay, "data.bin",
              "FAILED to remove file: @D|? Can't overwrite @D.|Can't copy g/data.bin!|"
              "? Can't copy g/data.bin!",
              "<dir> <none> <none>");
        fault("corrupt packed file", CorruptMirror, "x.so.gz>plugins/x.so",
              "Can't unzip g/x.so.gz!|" + unzipFailed, "<none> <none> <none>");
        fault("leftover _old_ file", LeftoverAside, "update",
              "FAILED to rename file: @D to @A|? Can't overwrite @D.|Can't copy g/update!|"
              "? Can't copy g/update!",
              "old leftover old");
        fault("corrupt packed special file", CorruptMirror, "libQtGui.so.4.gz>libQtGui.so.4",
              "Can't unzip g/libQtGui.so.4.gz!|" + unzipFailed, "old <none> old");
        fault("special file copy fails", MirrorIsDir, "update",
              "Can't copy g/update!|? Can't copy g/update!", "old <none> old");
    }
    void failures()
    {
        QFETCH(Fault, fault);
        QFETCH(Button, answer);
        QFETCH(QString, entry);
        QFETCH(QString, ignoredLog);
        QFETCH(QString, ends);

        const QByteArray newContent = ProductTree::randomBytes(4000, 7);
        ProductTree tree;
        const QString mirrorName = entry.section('>', 0, 0);
        if (entry.contains('>'))
            tree.addPacked("g", mirrorName, entry.section('>', 1), newContent);
        else
            tree.add("g", mirrorName, newContent);
        tree.write(scratch->filePath("download"), "57", "client");
        const QString mirrorFile = source + "/g/" + mirrorName;
        const QString dest = install + "/" + tree.files.first().installedPath();
        const QString aside = QFileInfo(dest).path() + "/_old_" + QFileInfo(dest).fileName();
        const QByteArray good = readFile(mirrorFile);
        QVERIFY(writeFile(dest, "old"));

        // Also puts back a mirror file that a directory replaced.
        std::function<void()> fix = [mirrorFile, good] {
            QDir(mirrorFile).removeRecursively();
            writeFile(mirrorFile, good);
        };
        switch (fault) {
        case DirInTheWay:
            QVERIFY(QFile::remove(dest) && writeFile(dest + "/inner.txt", "blocks removal"));
            fix = [dest] { QDir(dest).removeRecursively(); };
            break;
        case CorruptMirror: {
            QByteArray damaged = good;
            damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x5a);
            QVERIFY(writeFile(mirrorFile, damaged));
            break;
        }
        case LeftoverAside:
            QVERIFY(writeFile(aside, "leftover"));
            fix = [aside] { QFile::remove(aside); };
            break;
        case MirrorIsDir:
            QVERIFY(QFile::remove(mirrorFile) && QDir().mkpath(mirrorFile));
            break;
        }

        const bool retry = answer == QMessageBox::Retry;
        QStringList out = runUpdate(answer == QMessageBox::NoButton, source, install,
                                    {{answer, retry ? fix : nullptr}, {QMessageBox::Ignore, {}}});

        QStringList expected{"Update content", "Copy/unpack files..."};
        for (const QString& line : ignoredLog.split('|')) {
            const bool question = line.startsWith("? ");
            if (!question || answer != QMessageBox::NoButton)
                expected << QString(line).replace("@D", dest).replace("@A", aside);
            if (question && (answer == QMessageBox::Abort || retry))
                break;
        }
        const QStringList end = ends.split(' ');
        expected << (answer == QMessageBox::Abort ? QString("progress 0/%1").arg(good.size())
                                                  : QString("progress 0/%1 %1/%1").arg(good.size()))
                 << QString("result 1 complete %1 finished 1").arg(int(retry))
                 << "dest " + (retry ? "new" : end[0]) << "aside " + end[retry ? 2 : 1];
        const auto state = [&](const QString& path) {
            const QFileInfo info(path);
            const QByteArray data = readFile(path);
            return !info.exists() ? QString("<none>")
                   : info.isDir()
                       ? QString("<dir>")
                       : (data == newContent ? QString("new") : QString::fromLatin1(data));
        };
        QCOMPARE(out << "dest " + state(dest) << "aside " + state(aside), expected);
    }
};

QTEST_MAIN(TestDirectoryUpdate)
#include "tst_session_directoryupdate.moc"
