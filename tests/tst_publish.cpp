#include "installation.h"
#include "producttree.h"
#include "taskspecification.h"
#include "testservers.h"

#include <QtTest>

#include <sys/stat.h>

namespace
{

const QString defaultIndex = QStringLiteral("client_linux_x86.ini");

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
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// Each source file's content follows from its path; "empty" in the name makes it empty.
QByteArray contentFor(const QString& path)
{
    return ProductTree::randomBytes(path.contains("empty") ? 0 : 100 + qHash(path) % 60000,
                                    qHash(path));
}

bool writeSource(const QString& root, const QStringList& files)
{
    for (const QString& f : files) {
        if (!writeFile(root + "/" + f, contentFor(f)))
            return false;
    }
    return true;
}

QList<FileSpecification> readIndex(const QString& path, bool* ok)
{
    TaskSpecification fileList;
    *ok = QFileInfo(path).isFile() && fileList.initializeByProductIni(path);
    QList<FileSpecification> entries(fileList.getSize());
    for (int i = 0; i < fileList.getSize(); ++i)
        fileList.get(i, &entries[i]);
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

class PublishTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void publishesTree();
    void deleteGroup();
    void refuses_data();
    void refuses();
    void replacesOnlyWhenAsked();
    void installsPublishedVersions();

private:
    QString at(const QString& name) const { return tmp->filePath(name); }
    std::unique_ptr<QTemporaryDir> tmp;
};

void PublishTest::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
}

void PublishTest::publishesTree()
{
    // A bare pattern matches in any directory, a path only below its own; "*" stops at a "/".
    const QStringList files{"readme.txt",  "empty.txt",     "a.pak",
                            "data/b.pak",  "data/y.bin",    "data/sub/x.bin",
                            "other/y.bin", "lib/libfoo.so", "a b#c;d=e%f.txt",
                            "[x].ini",     ".hidden",       QString::fromUtf8("ü/größe.txt"),
                            "other/a::b",  "semi;colon.pak"};
    const QStringList packed{"a.pak", "data/b.pak", "data/y.bin", "lib/libfoo.so",
                             "semi;colon.pak"};
    QVERIFY(writeSource(at("source"), files));
    const Run run = publish({"--group", "content", "--pack", "*.pak", "--pack", "data/*", "--pack",
                             "*.so", at("source"), at("mirror"), "7", "client_custom"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    const QString versionDir = at("mirror/7/");
    bool ok = false;
    QStringList actual, expected;
    for (const FileSpecification& e : readIndex(versionDir + "client_custom.ini", &ok))
        actual << QString("%1 %2 %3 %4 %5 %6")
                      .arg(e.mirrorPath(), e.md5)
                      .arg(e.size)
                      .arg(e.unpackedName, e.unpackedMd5)
                      .arg(e.unpackedSize);
    QVERIFY(ok);
    // What each source file must have become: stored as it is, or packed with the unpacked
    // checksum, length and name; world-readable and reported.
    for (const QString& f : files) {
        const QByteArray content = contentFor(f);
        const bool isPacked = packed.contains(f);
        const QString mirrorPath = "content/" + f + (isPacked ? ".gz" : "");
        const QByteArray stored = readFile(versionDir + mirrorPath);
        QVERIFY2(isPacked || stored == content, qPrintable(f));
        QVERIFY(QFileInfo(versionDir + mirrorPath).permissions() & QFile::ReadOther);
        QVERIFY2(run.out.contains(mirrorPath), qPrintable(run.out));
        expected << QString("%1 %2 %3 %4 %5 %6")
                        .arg(mirrorPath, ProductTree::md5(stored))
                        .arg(stored.size())
                        .arg(isPacked ? f : QString(), isPacked ? ProductTree::md5(content) : "")
                        .arg(isPacked ? content.size() : 0);
    }
    actual.sort();
    expected.sort();
    QCOMPARE(actual, expected);
    QCOMPARE(deleteKeys(versionDir + "client_custom.ini"), QStringList());
    QCOMPARE(entriesOf(at("mirror")), QStringList{"7"});
}

// Version 2 deletes what version 1 installed and it no longer has (a packed file by its
// installed name, a file that is now a directory), carries earlier deletions forward unless a
// path is shipped again, adds its own, and never deletes the updater.
void PublishTest::deleteGroup()
{
    QVERIFY(writeSource(
        at("v1"), {"a", "b", "sub/c", "sub/d", "data/x.pak", "x2.pak", "update", "f2d", "d2f/x"}));
    QVERIFY(writeSource(at("v2"), {"a", "sub/d", "e", "x2.pak", "back.txt", "f2d/x", "d2f"}));
    QCOMPARE(publish({"--pack", "data/*.pak", "--delete", "ancient.txt", "--delete", "back.txt",
                      at("v1"), at("mirror"), "1"})
                 .exitCode,
             0);
    const Run run = publish({"--pack", "x2.pak", "--delete", "logs/old.log", "--previous",
                             at("mirror/1/") + defaultIndex, at("v2"), at("mirror"), "2"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QStringList expected{"ancient.txt",  "b",    "d2f/x", "data/x.pak", "f2d",
                               "logs/old.log", "sub/c"};
    QCOMPARE(deleteKeys(at("mirror/2/") + defaultIndex), expected);
    for (const QString& path : expected)
        QVERIFY2(run.out.contains("delete " + path), qPrintable(run.out));
    QCOMPARE(run.err.split('\n').filter("warning"),
             QStringList({"update-publish: warning: d2f replaces a directory of the previous "
                          "version; the updater removes files, not directories",
                          "update-publish: warning: update is no longer shipped, but the updater "
                          "never deletes it; it stays in installations"}));
}

void PublishTest::refuses_data()
{
    QTest::addColumn<QStringList>("files");
    // S, M and P stand for the source, the mirror and a previous index; '' for an empty word.
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");
    const auto row = [](const char* name, const QStringList& files, const char* command,
                        const char* error, const char* setup = "", int exitCode = 2) {
        QTest::newRow(name) << files << QString(command) << QString(setup) << exitCode
                            << QString(error);
    };
    const QStringList one{"a.txt"}, two{"a.txt", "sub/b.txt"};
    row("backslash", {"a\\b.txt"}, "S M 1", "refuses");
    for (const char* name : {"update.ini", "_old_update", "session_5.ini"})
        row(name, {name}, "S M 1", "belongs to the installation");
    row("delete outside", one, "--delete ../x S M 1", "refusing to delete");
    row("delete the updater", one, "--delete update S M 1", "refusing to delete");
    row("delete a shipped file", one, "--delete a.txt S M 1", "shipped by this version");
    row("version not a number", one, "S M 1.5", "not a decimal number");
    row("version negative", one, "-- S M -1", "not a decimal number");
    row("group delete", one, "--group delete S M 1", "not read as a file group");
    row("group path", one, "--group a/b S M 1", "not a plain directory name");
    row("client type path", one, "S M 1 ../evil", "not a plain file name");
    row("packed name taken", {"a.pak", "a.pak.gz"}, "--pack *.pak S M 1", "both be stored as");
    row("wrong argument count", two, "S M", "expected SOURCE_DIR", "", 1);
    row("symbolic link to a directory", two, "S M 1", "symbolic link to a directory", "dirlink");
    row("fifo", two, "S M 1", "not a regular file", "fifo");
    row("mirror inside the source", two, "S M 1", "lies inside the source", "mirrorinside");
    row("malformed previous index", two, "--previous P S M 1", "is malformed",
        "[files]\na.txt=00::1::2\n");
    row("previous index deleting outside", two, "--previous P S M 1", "is malformed",
        "[files]\na.txt=00::1\n[delete]\n..%2Fetc=\n");
}

void PublishTest::refuses()
{
    QFETCH(QStringList, files);
    QFETCH(QString, command);
    QFETCH(QString, setup);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    const QString source = at("source");
    const QString mirror = setup == "mirrorinside" ? source + "/sub/mirror" : at("mirror");
    QVERIFY(QDir().mkpath(source) && writeSource(source, files));
    if (setup == "dirlink")
        QVERIFY(QFile::link(source + "/sub", source + "/link"));
    else if (setup == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(source + "/pipe").constData(), 0644), 0);
    else if (setup.startsWith('['))
        QVERIFY(writeFile(at("previous.ini"), setup.toUtf8()));
    const QHash<QString, QString> words{
        {"S", source}, {"M", mirror}, {"P", at("previous.ini")}, {"''", ""}};
    QStringList args;
    for (const QString& word : command.split(' '))
        args << words.value(word, word);

    const Run run = publish(args);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QCOMPARE(entriesOf(mirror), QStringList());
}

void PublishTest::replacesOnlyWhenAsked()
{
    const QString mirror = at("mirror");
    QVERIFY(writeSource(at("first"), {"old.txt", "same.txt"}));
    QVERIFY(writeFile(at("second/same.txt"), "changed"));
    QCOMPARE(publish({at("first"), mirror, "4"}).exitCode, 0);

    Run run = publish({at("second"), mirror, "4"});
    QVERIFY2(run.exitCode == 2 && run.err.contains("--replace"), qPrintable(run.err));
    QCOMPARE(filesBelow(mirror + "/4"),
             QStringList({"client_linux_x86.ini", "files/old.txt", "files/same.txt"}));
    QCOMPARE(readFile(mirror + "/4/files/same.txt"), contentFor("same.txt"));

    // A version number is written as the updater asks for it.
    run = publish({"--replace", at("second"), mirror, "0004"});
    QVERIFY2(run.exitCode == 0 && run.err.contains("published as 4"), qPrintable(run.err));
    QCOMPARE(filesBelow(mirror), QStringList({"4/client_linux_x86.ini", "4/files/same.txt"}));
    QCOMPARE(readFile(mirror + "/4/files/same.txt"), QByteArray("changed"));
}

// The full round trip: each version is published, served by nginx on 127.0.0.1 and installed
// by the updater without a user; the installation must then hold exactly that source tree.
// Version 1 has files that version 2 drops.
void PublishTest::installsPublishedVersions()
{
    const QString mirror = at("mirror");
    QVERIFY(QDir().mkpath(mirror));
    makeTreeWorldReadable(tmp->path());
    NginxServer nginx;
    QVERIFY2(nginx.start(mirror), qPrintable(nginx.output()));
    Installation inst;
    QVERIFY(inst.create());
    inst.writeMirrors({{nginx.baseUrl() + "/"}});
    inst.writeSettings(2);

    for (int v = 1; v <= 2; ++v) {
        const ProductTree product = clientProduct(v);
        const QString source = at(QString("source%1/").arg(v));
        for (const ProductFile& f : product.files)
            QVERIFY(writeFile(source + f.installedPath(), f.content));
        QStringList args{"--pack", "*.pak", source, mirror, QString::number(v)};
        if (v > 1)
            args << "--previous" << mirror + "/1/" + defaultIndex;
        const Run published = publish(args);
        QVERIFY2(published.exitCode == 0, qPrintable(published.err));
        makeTreeWorldReadable(mirror);

        const Installation::Run run =
            inst.run({"--nouser", "client_linux_x86", QString::number(v)});
        QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.errorOutput));
        QStringList installed = filesBelow(inst.dir());
        for (const char* own : {"update", "mirrors.ini", "update.ini", "update.lock"})
            installed.removeAll(QString::fromLatin1(own));
        QCOMPARE(installed, filesBelow(source));
        QCOMPARE(inst.finishedWith(product), QString());
    }
}

QTEST_GUILESS_MAIN(PublishTest)
#include "tst_publish.moc"
