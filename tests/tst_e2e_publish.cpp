#include "installation.h"
#include "producttree.h"
#include "taskspecification.h"
#include "testservers.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace
{

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run publish(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(UPDATE_PUBLISH_BINARY), args);
    Run r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QByteArray contentFor(const QString& path, int size)
{
    return ProductTree::randomBytes(size, qHash(path));
}

bool writeSource(const QString& root, const QStringList& files, const QList<int>& sizes)
{
    for (int i = 0; i < files.size(); ++i) {
        const QString path = root + "/" + files.at(i);
        if (!QDir().mkpath(QFileInfo(path).absolutePath()) ||
            !writeFile(path, contentFor(files.at(i), sizes.value(i, 64))))
            return false;
    }
    return true;
}

QList<FileSpecification> readIndex(const QString& path, bool* ok)
{
    TaskSpecification spec;
    *ok = QFileInfo(path).isFile() && spec.initializeByProductIni(path);
    QList<FileSpecification> entries;
    for (int i = 0; i < spec.getSize(); ++i) {
        FileSpecification e;
        spec.get(i, &e);
        entries << e;
    }
    return entries;
}

QStringList deleteKeys(const QString& indexPath)
{
    QSettings settings(indexPath, QSettings::IniFormat);
    QStringList keys;
    if (!TaskSpecification::readDeleteKeys(&settings, &keys))
        return {QStringLiteral("<unreadable>")};
    keys.sort();
    return keys;
}

QStringList entriesOf(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

} // namespace

class PublishTest : public QObject
{
    Q_OBJECT

private slots:
    void publishesTree_data();
    void publishesTree();
    void deleteGroup_data();
    void deleteGroup();
    void refuses_data();
    void refuses();
    void replacesOnlyWhenAsked();
    void helpDescribesUsage();
    void installsPublishedVersion_data();
    void installsPublishedVersion();
};

void PublishTest::publishesTree_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<QStringList>("packed");

    const auto row = [](const char* name, const QStringList& files, const QList<int>& sizes,
                        const QStringList& options = {}, const QStringList& packed = {},
                        const char* group = "files", const char* type = "") {
        QTest::newRow(name) << files << sizes << options << QString(group) << QString(type)
                            << packed;
    };
    row("plain, nested and empty files", {"readme.txt", "data/maps/town.map", "empty.txt"},
        {100, 20000, 0});
    row("bare-name glob packs nested files", {"a.pak", "data/b.pak", "data/c.txt"},
        {3000, 70000, 10}, {"--pack", "*.pak"}, {"a.pak", "data/b.pak"});
    row("path glob packs only below its directory", {"data/b.pak", "other/b.pak"}, {100, 100},
        {"--pack", "data/*.pak"}, {"data/b.pak"});
    row("star does not cross a slash", {"data/sub/x.bin", "data/y.bin"}, {100, 100},
        {"--pack", "data/*"}, {"data/y.bin"});
    row("repeated patterns", {"lib/libfoo.so", "x.pak", "notes.txt"}, {4000, 4000, 40},
        {"--pack", "*.pak", "--pack", "*.so"}, {"lib/libfoo.so", "x.pak"});
    row("names the index must escape",
        {"a b#c;d=e%f.txt", "[x].ini", QString::fromUtf8("ü/größe.txt"), ".hidden", "data/a::b",
         "semi;colon.pak"},
        {10, 20, 30, 40, 50, 60}, {"--pack", "*.pak"}, {"semi;colon.pak"});
    row("own group and client type", {"x.txt", "y.pak"}, {10, 10000},
        {"--group", "content", "--pack", "y.pak"}, {"y.pak"}, "content", "client_custom");
}

void PublishTest::publishesTree()
{
    QFETCH(QStringList, files);
    QFETCH(QList<int>, sizes);
    QFETCH(QStringList, options);
    QFETCH(QString, group);
    QFETCH(QString, clientType);
    QFETCH(QStringList, packed);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString source = tmp.filePath("source");
    const QString mirror = tmp.filePath("mirror");
    QVERIFY(writeSource(source, files, sizes));

    QStringList args = options;
    args << source << mirror << "7";
    if (!clientType.isEmpty())
        args << clientType;
    const Run run = publish(args);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    const QString type = clientType.isEmpty() ? QStringLiteral("client_linux_x86") : clientType;
    const QString versionDir = mirror + "/7";
    bool ok = false;
    const QList<FileSpecification> entries = readIndex(versionDir + "/" + type + ".ini", &ok);
    QVERIFY(ok);
    QCOMPARE(entries.size(), files.size());
    QCOMPARE(entriesOf(mirror), QStringList{"7"});

    QStringList installed;
    for (const FileSpecification& e : entries) {
        QCOMPARE(e.directory, group);
        const int i = files.indexOf(e.installedPath());
        QVERIFY2(i >= 0, qPrintable(e.installedPath()));
        installed << e.installedPath();
        const QByteArray content = contentFor(files.at(i), sizes.at(i));
        const QString mirrorFile = versionDir + "/" + e.mirrorPath();
        const QByteArray stored = readFile(mirrorFile);
        QCOMPARE(e.md5, ProductTree::md5(stored));
        QCOMPARE(e.size, quint64(stored.size()));
        QVERIFY(QFileInfo(mirrorFile).permissions() & QFile::ReadOther);
        QVERIFY2(run.out.contains(e.mirrorPath()), qPrintable(run.out));
        if (packed.contains(files.at(i))) {
            QVERIFY(e.isPacked());
            QCOMPARE(e.name, files.at(i) + ".gz");
            QCOMPARE(e.unpackedMd5, ProductTree::md5(content));
            QCOMPARE(e.unpackedSize, quint64(content.size()));
        } else {
            QVERIFY(!e.isPacked());
            QCOMPARE(e.name, files.at(i));
            QCOMPARE(stored, content);
        }
    }
    installed.sort();
    files.sort();
    QCOMPARE(installed, files);
    QCOMPARE(deleteKeys(versionDir + "/" + type + ".ini"), QStringList());
}

void PublishTest::deleteGroup_data()
{
    QTest::addColumn<QStringList>("oldFiles");
    QTest::addColumn<QStringList>("oldOptions");
    QTest::addColumn<QStringList>("newFiles");
    QTest::addColumn<QStringList>("newOptions");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("warning");

    const auto row = [](const char* name, const QStringList& oldFiles,
                        const QStringList& oldOptions, const QStringList& newFiles,
                        const QStringList& newOptions, const QStringList& expected,
                        const char* warning = "") {
        QTest::newRow(name) << oldFiles << oldOptions << newFiles << newOptions << expected
                            << QString(warning);
    };
    row("dropped files", {"a", "b", "sub/c", "sub/d"}, {}, {"a", "sub/d", "e"}, {}, {"b", "sub/c"});
    row("dropped packed file by its installed name", {"data/x.pak", "keep.txt"},
        {"--pack", "*.pak"}, {"keep.txt"}, {}, {"data/x.pak"});
    row("file that becomes packed stays", {"x.pak"}, {}, {"x.pak"}, {"--pack", "*.pak"}, {});
    row("earlier deletions carried forward", {"a"}, {"--delete", "ancient.txt"}, {"a"}, {},
        {"ancient.txt"});
    row("earlier deletion shipped again", {"a"}, {"--delete", "back.txt"}, {"a", "back.txt"}, {},
        {});
    row("the updater itself is never deleted", {"update", "a"}, {}, {"a"}, {}, {}, "update");
    row("explicit deletion", {"a"}, {}, {"a"}, {"--delete", "logs/old.log"}, {"logs/old.log"});
    row("file replaced by a directory", {"data"}, {}, {"data/x"}, {}, {"data"});
    row("directory replaced by a file", {"data/x"}, {}, {"data"}, {}, {"data/x"},
        "data replaces a directory");
}

void PublishTest::deleteGroup()
{
    QFETCH(QStringList, oldFiles);
    QFETCH(QStringList, oldOptions);
    QFETCH(QStringList, newFiles);
    QFETCH(QStringList, newOptions);
    QFETCH(QStringList, expected);
    QFETCH(QString, warning);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString mirror = tmp.filePath("mirror");
    QVERIFY(writeSource(tmp.filePath("v1"), oldFiles, {}));
    QVERIFY(writeSource(tmp.filePath("v2"), newFiles, {}));
    Run run = publish(oldOptions + QStringList{tmp.filePath("v1"), mirror, "1"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    const QString oldIndex = mirror + "/1/client_linux_x86.ini";
    run =
        publish(newOptions + QStringList{"--previous", oldIndex, tmp.filePath("v2"), mirror, "2"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString index = mirror + "/2/client_linux_x86.ini";
    QCOMPARE(deleteKeys(index), expected);
    for (const QString& path : expected)
        QVERIFY2(run.out.contains("delete " + path), qPrintable(run.out));
    if (warning.isEmpty())
        QVERIFY2(!run.err.contains("warning"), qPrintable(run.err));
    else
        QVERIFY2(run.err.contains("warning: " + warning), qPrintable(run.err));

    bool ok = false;
    QCOMPARE(readIndex(index, &ok).size(), newFiles.size());
    QVERIFY(ok);
}

void PublishTest::refuses_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("args"); // SOURCE_DIR and MIRROR_DIR go before the last ones
    QTest::addColumn<int>("positional");   // how many of args come after them
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    const auto row = [](const char* name, const QStringList& files, const QStringList& args,
                        const char* error, const char* setup = "", int exitCode = 2) {
        QTest::newRow(name) << files << args << 1 << QString(setup) << exitCode << QString(error);
    };
    const QStringList ok{"a.txt"};
    const QString own = "belongs to the installation", del = "refusing to delete";
    const QString number = "not a decimal number";
    row("backslash", {"a\\b.txt"}, {"1"}, "refuses");
    row("tab", {"a\tb.txt"}, {"1"}, "refuses");
    row("newline", {"dir\n/x"}, {"1"}, "refuses");
    for (const char* name : {"update.ini", "mirrors.ini", "_old_update", "session_5.ini"})
        row(name, {name}, {"1"}, qPrintable(own));
    for (const char* path : {"../x", "/etc/passwd", "update", "mirrors.ini", "a/./b"})
        row(qPrintable(QString("delete ") + path), ok, {"--delete", path, "1"}, qPrintable(del));
    row("delete a shipped file", ok, {"--delete", "a.txt", "1"}, "shipped by this version");
    for (const char* version : {"abc", "1.5", "2147483648"})
        row(version, ok, {version}, qPrintable(number));
    row("version negative", ok, {"--", "-1"}, qPrintable(number));
    row("group delete", ok, {"--group", "delete", "1"}, "not read as a file group");
    row("group General", ok, {"--group", "General", "1"}, "not read as a file group");
    row("group path", ok, {"--group", "a/b", "1"}, "not a plain directory name");
    row("group parent", ok, {"--group", "..", "1"}, "not a plain directory name");
    row("group is the index", ok, {"--group", "client_linux_x86.ini", "1"},
        "collide with the product index");
    QTest::newRow("client type path")
        << ok << QStringList{"1", "../evil"} << 2 << QString() << 2 << "not a plain file name";
    row("packed name taken", {"a.pak", "a.pak.gz"}, {"--pack", "*.pak", "1"},
        "would both be stored as a.pak.gz");
    row("packed name is a directory", {"x", "x.gz/y"}, {"--pack", "x", "1"},
        "which is also a directory");
    row("packed name with separator", {"a::b.pak"}, {"--pack", "*.pak", "1"}, "cannot be packed");
    row("empty pattern", ok, {"--pack", "", "1"}, "empty --pack pattern");
    row("no files", {}, {"1"}, "holds no files");
    row("missing previous index", ok, {"--previous", "/nonexistent/client_linux_x86.ini", "1"},
        "does not exist");
    row("unknown option", ok, {"--bogus", "1"}, "Unknown option", "", 1);
    const QStringList two{"a.txt", "sub/b.txt"};
    row("symbolic link to a directory", two, {"1"}, "symbolic link to a directory", "dirlink");
    row("fifo", two, {"1"}, "not a regular file", "fifo");
    row("malformed previous index", two, {"--previous", "PREV", "1"}, "is malformed",
        "[files]\na.txt=00::1::2\n");
    row("previous index deleting outside", two, {"--previous", "PREV", "1"}, "is malformed",
        "[files]\na.txt=00::1\n[delete]\n..%2Fetc=\n");
    row("mirror inside the source", two, {"1"}, "lies inside the source", "mirrorinside");
    QTest::newRow("wrong argument count")
        << two << QStringList() << 0 << QString() << 1 << "expected SOURCE_DIR";
}

void PublishTest::refuses()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, args);
    QFETCH(int, positional);
    QFETCH(QString, setup);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString source = tmp.filePath("source");
    QString mirror = tmp.filePath("mirror");
    QVERIFY(QDir().mkpath(source));
    QVERIFY(writeSource(source, files, {}));
    if (setup == "dirlink")
        QVERIFY(QFile::link(source + "/sub", source + "/link"));
    else if (setup == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(source + "/pipe").constData(), 0644), 0);
    else if (setup == "mirrorinside")
        mirror = source + "/sub/mirror";
    else if (!setup.isEmpty())
        QVERIFY(writeFile(tmp.filePath("previous.ini"), setup.toUtf8()));
    args.replaceInStrings(QRegularExpression("^PREV$"), tmp.filePath("previous.ini"));
    args.insert(args.size() - positional, mirror);
    args.insert(args.size() - positional - 1, source);

    const Run run = publish(args);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QCOMPARE(entriesOf(mirror), QStringList());
}

void PublishTest::replacesOnlyWhenAsked()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString mirror = tmp.filePath("mirror");
    QVERIFY(writeSource(tmp.filePath("first"), {"old.txt", "same.txt"}, {10, 10}));
    QVERIFY(writeFile(tmp.filePath("second/same.txt"), "changed"));
    Run run = publish({tmp.filePath("first"), mirror, "4"});
    QCOMPARE(run.exitCode, 0);

    run = publish({tmp.filePath("second"), mirror, "4"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("--replace"), qPrintable(run.err));
    QVERIFY(QFileInfo::exists(mirror + "/4/files/old.txt"));
    QCOMPARE(readFile(mirror + "/4/files/same.txt"), contentFor("same.txt", 10));

    run = publish({"--replace", tmp.filePath("second"), mirror, "4"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(mirror + "/4/files/old.txt"));
    QCOMPARE(readFile(mirror + "/4/files/same.txt"), QByteArray("changed"));
    bool ok = false;
    const QList<FileSpecification> entries = readIndex(mirror + "/4/client_linux_x86.ini", &ok);
    QVERIFY(ok);
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().md5, ProductTree::md5("changed"));
    QCOMPARE(entriesOf(mirror), QStringList{"4"});

    // A version number is written as the updater asks for it.
    run = publish({"--replace", tmp.filePath("second"), mirror, "0004"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(run.err.contains("published as 4"));
    QCOMPARE(entriesOf(mirror), QStringList{"4"});
}

void PublishTest::helpDescribesUsage()
{
    const Run run = publish({"--help"});
    QCOMPARE(run.exitCode, 0);
    for (const char* word : {"SOURCE_DIR", "MIRROR_DIR", "VERSION", "CLIENTTYPE", "--pack",
                             "--previous", "--delete", "--group", "--replace", "Exit codes"})
        QVERIFY2(run.out.contains(QLatin1String(word)), word);
}

// The full round trip: each version is published, served by nginx on 127.0.0.1 and installed
// by the updater without a user; the installation must then hold exactly that source tree.
void PublishTest::installsPublishedVersion_data()
{
    QTest::addColumn<QStringList>("versions");
    QTest::newRow("install one version") << QStringList{"1"};
    QTest::newRow("update to the next version") << QStringList{"1", "2"};
}

namespace
{

// Relative paths of the files below dir, sorted.
QStringList filesBelow(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

void PublishTest::installsPublishedVersion()
{
    QFETCH(QStringList, versions);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString mirror = tmp.filePath("mirror");
    QVERIFY(QDir().mkpath(mirror));
    makeTreeWorldReadable(tmp.path());
    NginxServer nginx;
    QVERIFY2(nginx.start(mirror), qPrintable(nginx.output()));

    Installation inst;
    QVERIFY(inst.create());
    inst.writeMirrors({{nginx.baseUrl() + "/"}});
    inst.writeSettings(2);

    // Each version changes every file; version 1 has a file that version 2 drops.
    const QMap<QString, QStringList> trees{
        {"1",
         {"readme.txt", "vm3client_linux_x86", "data/maps/town.map", "data/levels.pak",
          "data/empty.pak", "old_notes.txt"}},
        {"2",
         {"readme.txt", "vm3client_linux_x86", "data/maps/town.map", "data/levels.pak",
          "data/maps/harbour.map"}}};
    QString previousIndex;
    for (const QString& version : versions) {
        const QString source = tmp.filePath("source" + version);
        const QStringList files = trees.value(version);
        for (const QString& file : files) {
            const int size = file.endsWith("empty.pak") ? 0 : file.endsWith(".pak") ? 200000 : 3000;
            QVERIFY(writeFile(source + "/" + file,
                              ProductTree::randomBytes(size, qHash(file + version))));
        }
        QStringList args{"--pack", "*.pak"};
        if (!previousIndex.isEmpty())
            args << "--previous" << previousIndex;
        const Run published = publish(args << source << mirror << version);
        QVERIFY2(published.exitCode == 0, qPrintable(published.err));
        previousIndex = mirror + "/" + version + "/client_linux_x86.ini";
        makeTreeWorldReadable(mirror);

        const Installation::Run run = inst.run({"--nouser", "client_linux_x86", version});
        QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.errorOutput));

        QStringList installed = filesBelow(inst.dir());
        for (const char* own : {"update", "mirrors.ini", "update.ini", "update.lock"})
            installed.removeAll(QString::fromLatin1(own));
        QCOMPARE(installed, filesBelow(source));
        for (const QString& file : files)
            QVERIFY2(readFile(inst.path(file)) == readFile(source + "/" + file), qPrintable(file));
        QCOMPARE(inst.tempEntries(), QStringList());
    }
    if (versions.contains("2"))
        QVERIFY(!QFileInfo::exists(inst.path("old_notes.txt")));
}

QTEST_GUILESS_MAIN(PublishTest)
#include "tst_e2e_publish.moc"
