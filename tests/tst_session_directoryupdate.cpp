#include "directoryupdate.h"
#include "producttree.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <sys/stat.h>

namespace
{

using Button = QMessageBox::StandardButton;

// Answers the modal question boxes of a run, in order, and records what they asked.
class BoxAnswerer : public QObject
{
public:
    struct Step {
        Button button;
        std::function<void()> before;
    };

    explicit BoxAnswerer(QList<Step> steps) : steps(std::move(steps))
    {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(5);
    }

    QStringList asked;
    bool allWellFormed = true;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        asked << box->text();
        const auto expectedButtons = QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
        if (box->windowTitle() != "Question" || box->standardButtons() != expectedButtons ||
            box->defaultButton() != static_cast<QPushButton*>(box->button(QMessageBox::Retry)))
            allWellFormed = false;
        // A question nobody expected ends the run rather than hanging the test.
        Step step{QMessageBox::Abort, {}};
        if (!steps.isEmpty())
            step = steps.takeFirst();
        else
            asked << "<unexpected question>";
        if (step.before)
            step.before();
        box->button(step.button)->click();
    }

    QList<Step> steps;
    QTimer timer;
};

struct Run {
    bool result = false;
    bool complete = false;
    int finished = 0;
    QStringList messages;
    QList<QPair<quint64, quint64>> progress;
};

Run runUpdate(bool noUser, const QString& source, const QString& index, const QString& dest)
{
    DirectoryUpdate update;
    Run run;
    QObject::connect(&update, &DirectoryUpdate::message,
                     [&](const QString& text) { run.messages << text; });
    QObject::connect(&update, &DirectoryUpdate::progress, [&](quint64 done, quint64 total) {
        run.progress.append({done, total});
    });
    QObject::connect(&update, &DirectoryUpdate::updateFinished, [&] { ++run.finished; });
    run.result = update.updateContent(noUser, source, index, dest);
    run.complete = update.isComplete();
    return run;
}

int modeOf(const QString& path)
{
    struct stat st {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

// Every file below dir with its content; directories as "<dir>".
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        result.insert(QDir(dir).relativeFilePath(path),
                      info.isDir() ? QByteArray("<dir>") : readFile(path));
    }
    return result;
}

enum Kind { DirInTheWay, CorruptPacked, LeftoverOld, SpecialCorrupt, SpecialCopyFails };
enum Mode { NoUser, AnswerIgnore, AnswerAbort, RetryAfterFix };
enum DestState { DestNew, DestOld, DestDirectory, DestNoFile };

} // namespace

Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Mode)
Q_DECLARE_METATYPE(DestState)

class TestDirectoryUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir* scratch = nullptr;
    QString install;
    QString mirrorRoot;

    QString writeIndexText(const QByteArray& text)
    {
        const QString path = mirrorRoot + "/57/client.ini";
        writeFile(path, text);
        return path;
    }

private slots:
    void init()
    {
        scratch = new QTemporaryDir;
        QVERIFY(scratch->isValid());
        install = scratch->filePath("install");
        mirrorRoot = scratch->filePath("download");
        QVERIFY(QDir().mkpath(install));
    }

    void cleanup()
    {
        delete scratch;
        scratch = nullptr;
    }

    void appliesDownloadedSet()
    {
        ProductTree tree;
        tree.add("g", "docs/readme.txt", "new readme\n")
            .add("g", "vm3client_linux_x86", ProductTree::randomBytes(3000, 1))
            .add("g", "update", "new updater")
            .addPacked("g", "plugins/x.so.gz", "plugins/x.so", ProductTree::randomBytes(5000, 2))
            .addPacked("g", "libQtCore.so.4.gz", "libQtCore.so.4", QByteArray(7000, 'c'))
            .add("g", "absent.txt", "downloaded copy that went missing");
        tree.deletePaths = {"obsolete.txt", "sub/old.dat", "never-there.txt", "docs/readme.txt"};
        const QString source = tree.write(mirrorRoot, "57", "client");
        QVERIFY(QFile::remove(source + "/g/absent.txt"));

        QVERIFY(writeFile(install + "/update", "old updater"));
        QVERIFY(writeFile(install + "/absent.txt", "installed and current"));
        QVERIFY(writeFile(install + "/obsolete.txt", "x"));
        QVERIFY(writeFile(install + "/sub/old.dat", "x"));
        QVERIFY(writeFile(install + "/keep.txt", "kept"));
        QVERIFY(writeFile(install + "/docs/readme.txt", "old readme"));

        BoxAnswerer answerer({});
        const Run run = runUpdate(false, source, source + "/client.ini", install);

        QVERIFY(run.result);
        QVERIFY(run.complete);
        QCOMPARE(run.finished, 1);
        QCOMPARE(answerer.asked, QStringList());
        QCOMPARE(run.messages,
                 QStringList({"Update content", "Remove extra files...", "Copy/unpack files..."}));

        for (const ProductFile& f : tree.files) {
            if (f.name == "absent.txt")
                continue;
            QCOMPARE(readFile(install + "/" + f.installedPath()), f.content);
        }
        QCOMPARE(readFile(install + "/absent.txt"), QByteArray("installed and current"));
        QCOMPARE(readFile(install + "/_old_update"), QByteArray("old updater"));
        QVERIFY(!QFileInfo::exists(install + "/_old_libQtCore.so.4"));
        QVERIFY(!QFileInfo::exists(install + "/plugins/x.so.gz"));
        QVERIFY(!QFileInfo::exists(install + "/libQtCore.so.4.gz"));
        QVERIFY(!QFileInfo::exists(install + "/obsolete.txt"));
        QVERIFY(!QFileInfo::exists(install + "/sub/old.dat"));
        QCOMPARE(readFile(install + "/keep.txt"), QByteArray("kept"));

        for (const char* exe : {"update", "vm3client_linux_x86", "plugins/x.so", "libQtCore.so.4"})
            QCOMPARE(modeOf(install + "/" + exe), 0755);
        QCOMPARE(modeOf(install + "/docs/readme.txt") & 0111, 0);

        // One step per entry, whatever the order of the index; absent entries count too.
        const quint64 total = tree.totalMirrorSize();
        QCOMPARE(run.progress.size(), tree.files.size() + 1);
        QCOMPARE(run.progress.first(), qMakePair(quint64(0), total));
        QCOMPARE(run.progress.last(), qMakePair(total, total));
        QList<quint64> steps;
        QList<quint64> sizes;
        for (int i = 1; i < run.progress.size(); ++i) {
            QCOMPARE(run.progress[i].second, total);
            QVERIFY(run.progress[i].first >= run.progress[i - 1].first);
            steps << run.progress[i].first - run.progress[i - 1].first;
        }
        for (const ProductFile& f : tree.files)
            sizes << quint64(tree.mirrorBytes(f).size());
        std::sort(steps.begin(), steps.end());
        std::sort(sizes.begin(), sizes.end());
        QCOMPARE(steps, sizes);
    }

    void emptyOrMissingIndex_data()
    {
        QTest::addColumn<bool>("missing");
        QTest::newRow("no file groups") << false;
        QTest::newRow("missing index") << true;
    }
    void emptyOrMissingIndex()
    {
        QFETCH(bool, missing);
        QVERIFY(writeFile(install + "/keep.txt", "kept"));
        const QString index =
            missing ? mirrorRoot + "/57/client.ini" : writeIndexText("[General]\nx=1\n");
        const Run run = runUpdate(true, mirrorRoot + "/57", index, install);
        QVERIFY(run.result);
        QVERIFY(run.complete);
        QCOMPARE(run.finished, 1);
        QCOMPARE(run.messages, QStringList({"Update content", "Copy/unpack files..."}));
        QCOMPARE(run.progress, (QList<QPair<quint64, quint64>>{{0, 0}}));
        QCOMPARE(snapshot(install), (QMap<QString, QByteArray>{{"keep.txt", "kept"}}));
    }

    void unsafeIndexTouchesNothing_data()
    {
        const QByteArray md5 = ProductTree::md5("x").toLatin1();
        const QByteArray ok = "[g]\nkeep.txt=" + md5 + "::1\n";
        QTest::addColumn<QByteArray>("index");
        QTest::newRow("three fields") << QByteArray("[g]\nkeep.txt=" + md5 + "::1::x\n");
        QTest::newRow("delete climbs out") << QByteArray(ok + "[delete]\n..\\outside.txt=\n");
        QTest::newRow("delete absolute") << QByteArray(ok + "[delete]\n@OUTKEY@=\n");
        QTest::newRow("delete the updater") << QByteArray(ok + "[delete]\nupdate=\n");
        QTest::newRow("name climbs out") << QByteArray("[g]\n..\\..\\outside.txt=" + md5 + "::1\n");
        QTest::newRow("group climbs out") << QByteArray("[..]\nkeep.txt=" + md5 + "::1\n");
        QTest::newRow("unpacked name absolute")
            << QByteArray("[g]\nk.gz=" + md5 + "::1::" + md5 + "::1::@OUT@\n");
    }
    void unsafeIndexTouchesNothing()
    {
        QFETCH(QByteArray, index);
        const QString outside = scratch->filePath("outside.txt");
        index.replace("@OUTKEY@", QString(outside).replace("/", "%2F").toUtf8());
        index.replace("@OUT@", outside.toUtf8());
        const QString indexPath = writeIndexText(index);
        // Everything an unsafe index could reach holds something.
        QVERIFY(writeFile(mirrorRoot + "/57/g/keep.txt", "x"));
        QVERIFY(writeFile(mirrorRoot + "/57/g/k.gz", "x"));
        QVERIFY(writeFile(mirrorRoot + "/57/keep.txt", "x"));
        QVERIFY(writeFile(install + "/keep.txt", "installed"));
        QVERIFY(writeFile(install + "/update", "updater"));
        QVERIFY(writeFile(install + "/update.ini", "[update]\nstreams=4\n"));
        QVERIFY(writeFile(install + "/sub/a.txt", "a"));
        QVERIFY(writeFile(scratch->filePath("outside.txt"), "outside"));
        const auto installBefore = snapshot(install);
        const auto scratchBefore = snapshot(scratch->path());

        const Run run = runUpdate(true, mirrorRoot + "/57", indexPath, install);

        QVERIFY(!run.result);
        QVERIFY(!run.complete);
        QCOMPARE(run.finished, 0);
        QCOMPARE(run.messages,
                 QStringList({"Update content", QString("Unable to read %1.").arg(indexPath)}));
        QVERIFY(run.progress.isEmpty());
        QCOMPARE(snapshot(install), installBefore);
        QCOMPARE(snapshot(scratch->path()), scratchBefore);
    }

    void failures_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<Mode>("mode");

        const QList<QPair<const char*, Kind>> kinds = {
            {"directory in the way", DirInTheWay},
            {"corrupt packed file", CorruptPacked},
            {"leftover _old_ file", LeftoverOld},
            {"corrupt packed special file", SpecialCorrupt},
            {"special file copy fails", SpecialCopyFails}};
        const QList<QPair<const char*, Mode>> modes = {{"no user", NoUser},
                                                       {"ignore", AnswerIgnore},
                                                       {"abort", AnswerAbort},
                                                       {"retry after fix", RetryAfterFix}};
        for (const auto& k : kinds) {
            for (const auto& m : modes)
                QTest::addRow("%s, %s", k.first, m.first) << k.second << m.second;
        }
    }
    void failures()
    {
        QFETCH(Kind, kind);
        QFETCH(Mode, mode);

        const QByteArray newContent = ProductTree::randomBytes(4000, 7);
        const QByteArray oldContent = "old installed copy";
        const QByteArray leftover = "leftover from an earlier update";

        ProductTree tree;
        QString installed; // relative to the installation directory
        QString mirrorName;
        switch (kind) {
        case DirInTheWay:
            tree.add("g", "data.bin", newContent);
            installed = mirrorName = "data.bin";
            break;
        case CorruptPacked:
            tree.addPacked("g", "x.so.gz", "plugins/x.so", newContent);
            installed = "plugins/x.so";
            mirrorName = "x.so.gz";
            break;
        case LeftoverOld:
        case SpecialCopyFails:
            tree.add("g", "update", newContent);
            installed = mirrorName = "update";
            break;
        case SpecialCorrupt:
            tree.addPacked("g", "libQtGui.so.4.gz", "libQtGui.so.4", newContent);
            installed = "libQtGui.so.4";
            mirrorName = "libQtGui.so.4.gz";
            break;
        }
        const QString source = tree.write(mirrorRoot, "57", "client");
        const QString sourceFile = source + "/g/" + mirrorName;
        const QString dest = install + "/" + installed;
        const QString aside = install + "/_old_" + installed;
        const QByteArray goodMirrorBytes = tree.mirrorBytes(tree.files.first());
        const quint64 size = quint64(goodMirrorBytes.size());

        std::function<void()> fix;
        QStringList stage1; // messages up to the first question
        QString question1;  // its first line
        QStringList stage2; // messages after the first question was ignored
        QString question2;  // first line of the second question, if any
        DestState failedState = DestOld;
        QByteArray failedAside; // content of the _old_ file after a failure; empty: none
        const bool special =
            kind == LeftoverOld || kind == SpecialCorrupt || kind == SpecialCopyFails;

        switch (kind) {
        case DirInTheWay:
            QVERIFY(writeFile(dest + "/inner.txt", "blocks removal"));
            fix = [dest] { QDir(dest).removeRecursively(); };
            stage1 = QStringList{"FAILED to remove file: " + dest};
            question1 = "Can't overwrite " + dest + ".";
            stage2 = QStringList{"Can't copy g/data.bin!"};
            question2 = stage2.last();
            failedState = DestDirectory;
            break;
        case CorruptPacked:
        case SpecialCorrupt: {
            if (kind == SpecialCorrupt)
                QVERIFY(writeFile(dest, oldContent));
            QByteArray damaged = goodMirrorBytes;
            damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x5a);
            QVERIFY(writeFile(sourceFile, damaged));
            fix = [sourceFile, goodMirrorBytes] { writeFile(sourceFile, goodMirrorBytes); };
            stage1 = QStringList{"Can't unzip g/" + mirrorName + "!",
                                 "Wrong checksum " + dest + "!", "Wrong length " + dest + "!"};
            question1 = stage1.last();
            failedState = kind == SpecialCorrupt ? DestOld : DestNoFile;
            break;
        }
        case LeftoverOld:
            QVERIFY(writeFile(dest, oldContent));
            QVERIFY(writeFile(aside, leftover));
            fix = [aside] { QFile::remove(aside); };
            stage1 = QStringList{"FAILED to rename file: " + dest + " to " + aside};
            question1 = "Can't overwrite " + dest + ".";
            stage2 = QStringList{"Can't copy g/update!"};
            question2 = stage2.last();
            failedAside = leftover;
            break;
        case SpecialCopyFails:
            QVERIFY(writeFile(dest, oldContent));
            QVERIFY(QFile::remove(sourceFile));
            QVERIFY(QDir().mkpath(sourceFile));
            fix = [sourceFile, goodMirrorBytes] {
                QDir(sourceFile).removeRecursively();
                writeFile(sourceFile, goodMirrorBytes);
            };
            stage1 = QStringList{"Can't copy g/update!"};
            question1 = stage1.last();
            break;
        }

        QList<BoxAnswerer::Step> answers;
        QStringList expectedQuestions;
        QStringList expectedMessages{"Update content", "Copy/unpack files..."};
        expectedMessages << stage1;
        switch (mode) {
        case NoUser:
            expectedMessages << stage2;
            break;
        case AnswerIgnore:
            answers << BoxAnswerer::Step{QMessageBox::Ignore, {}};
            expectedQuestions << question1;
            if (!question2.isEmpty()) {
                answers << BoxAnswerer::Step{QMessageBox::Ignore, {}};
                expectedQuestions << question2;
            }
            expectedMessages << stage2;
            break;
        case AnswerAbort:
            answers << BoxAnswerer::Step{QMessageBox::Abort, {}};
            expectedQuestions << question1;
            break;
        case RetryAfterFix:
            answers << BoxAnswerer::Step{QMessageBox::Retry, fix};
            expectedQuestions << question1;
            break;
        }

        BoxAnswerer answerer(answers);
        const Run run = runUpdate(mode == NoUser, source, source + "/client.ini", install);

        QVERIFY(run.result);
        QCOMPARE(run.finished, 1);
        QCOMPARE(run.messages, expectedMessages);
        QStringList firstLines;
        for (const QString& text : answerer.asked)
            firstLines << text.section('\n', 0, 0);
        QCOMPARE(firstLines, expectedQuestions);
        QVERIFY(answerer.allWellFormed);
        for (const QString& text : answerer.asked) {
            if (text.startsWith("Can't overwrite ")) {
                const QStringList lines = text.split('\n');
                QCOMPARE(lines.size(), 3);
                QVERIFY(!lines[1].isEmpty());
                QCOMPARE(lines[2], QString("Do you wish to stop update?"));
            }
        }

        const bool retried = mode == RetryAfterFix;
        QCOMPARE(run.complete, retried);
        auto expectedProgress = QList<QPair<quint64, quint64>>{{0, size}};
        if (mode != AnswerAbort)
            expectedProgress.append({size, size});
        QCOMPARE(run.progress, expectedProgress);

        const QFileInfo destInfo(dest);
        switch (retried ? DestNew : failedState) {
        case DestNew:
            QCOMPARE(readFile(dest), newContent);
            break;
        case DestOld:
            QCOMPARE(readFile(dest), oldContent);
            break;
        case DestDirectory:
            QVERIFY(destInfo.isDir());
            QCOMPARE(readFile(dest + "/inner.txt"), QByteArray("blocks removal"));
            break;
        case DestNoFile:
            QVERIFY(!destInfo.exists() || destInfo.size() == 0);
            break;
        }
        const QByteArray expectedAside = retried && special ? oldContent : failedAside;
        if (expectedAside.isEmpty())
            QVERIFY2(!QFileInfo::exists(aside), qPrintable(aside));
        else
            QCOMPARE(readFile(aside), expectedAside);
    }

    void ensureFileRemoved_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("stillTaken");
        QTest::addColumn<QString>("movedTo");
        QTest::addColumn<QStringList>("messages");

        QTest::newRow("plain file") << "a.txt"
                                    << "file" << false << "" << QStringList();
        QTest::newRow("special file")
            << "libQtNetwork.so.4"
            << "file" << false << "_old_libQtNetwork.so.4" << QStringList();
        QTest::newRow("special name in subdirectory")
            << "lib/update"
            << "file" << false << "lib/_old_update" << QStringList();
        QTest::newRow("name that only looks special") << "Update"
                                                      << "file" << false << "" << QStringList();
        QTest::newRow("link to outside") << "a.txt"
                                         << "link" << false << "" << QStringList();
        QTest::newRow("directory")
            << "a.txt"
            << "dir" << true << "" << QStringList{"FAILED to remove file: %1"};
    }
    void ensureFileRemoved()
    {
        QFETCH(QString, name);
        QFETCH(QString, setup);
        QFETCH(bool, stillTaken);
        QFETCH(QString, movedTo);
        QFETCH(QStringList, messages);

        const QString path = install + "/" + name;
        const QString outside = scratch->filePath("outside.txt");
        QVERIFY(writeFile(outside, "outside"));
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (setup == "file")
            QVERIFY(writeFile(path, "content"));
        else if (setup == "link")
            QVERIFY(QFile::link(outside, path));
        else if (setup == "dir")
            QVERIFY(writeFile(path + "/inner", "x"));

        DirectoryUpdate update;
        QStringList emitted;
        connect(&update, &DirectoryUpdate::message, [&](const QString& t) { emitted << t; });
        QCOMPARE(update.ensureFileRemoved(true, path), QMessageBox::Ignore);

        const QFileInfo info(path);
        QCOMPARE(info.exists() || info.isSymLink(), stillTaken);
        for (QString& m : messages)
            m = m.arg(path);
        QCOMPARE(emitted, messages);
        if (!movedTo.isEmpty())
            QCOMPARE(readFile(install + "/" + movedTo), QByteArray("content"));
        QCOMPARE(readFile(outside), QByteArray("outside"));
    }
};

QTEST_MAIN(TestDirectoryUpdate)
#include "tst_session_directoryupdate.moc"
