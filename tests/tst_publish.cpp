#include "producttree.h"
#include "taskspecification.h"

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

QStringList deleteKeys(const QString& indexPath)
{
    TaskSpecification list;
    QStringList keys;
    if (!list.readProductIndex(readFile(indexPath), {}, false, &keys).isEmpty())
        return {QStringLiteral("<unreadable>")};
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

private:
    QString at(const QString& name) const { return tmp->filePath(name); }
    std::unique_ptr<QTemporaryDir> tmp;

private Q_SLOTS:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
    }

    // Version 2 deletes what version 1 installed and it no longer has (a packed file by its
    // installed name, a file that is now a directory), carries earlier deletions forward unless a
    // path is shipped again, adds its own, and never deletes the updater.
    void deleteGroup()
    {
        QVERIFY(writeSource(at("v1"), {"a", "b", "sub/c", "sub/d", "data/x.pak", "x2.pak", "update",
                                       "f2d", "d2f/x"}));
        QVERIFY(writeSource(at("v2"), {"a", "sub/d", "e", "x2.pak", "back.txt", "f2d/x", "d2f"}));
        // Relative paths are taken from the working directory.
        QVERIFY(QDir::setCurrent(tmp->path()));
        QCOMPARE(publish({"--pack", "data/*.pak", "--delete", "ancient.txt", "--delete", "back.txt",
                          "v1", "mirror", "1"})
                     .exitCode,
                 0);
        const Run run = publish({"--pack", "x2.pak", "--delete", "logs/old.log", "--previous",
                                 at("mirror/1/") + defaultIndex, at("v2"), at("mirror"), "2"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const QStringList expected{"ancient.txt",  "b",    "d2f/x", "data/x.pak", "f2d",
                                   "logs/old.log", "sub/c"};
        QCOMPARE(deleteKeys(at("mirror/2/") + defaultIndex), expected);
        QCOMPARE(
            run.err.split('\n').filter("warning"),
            QStringList({"update-publish: warning: d2f replaces a directory of the previous "
                         "version; the updater removes files, not directories",
                         "update-publish: warning: update is no longer shipped, but the updater "
                         "never deletes it; it stays in installations"}));
    }

    // A signed version builds only on earlier ones with a good signature by the same key: a
    // deletion edited into an earlier index on the mirror is not signed into the next version.
    void tamperedEarlier_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("--previous") << "--previous";
        QTest::newRow("--delta-from") << "--delta-from";
    }
    void tamperedEarlier()
    {
        QFETCH(QString, option);
        const QStringList sign{"--sign-key", at("key.pem")};
        QCOMPARE(QProcess::execute("openssl",
                                   {"genpkey", "-algorithm", "ed25519", "-out", at("key.pem")}),
                 0);
        QVERIFY(writeSource(at("v1"), {"a"}) && writeSource(at("v2"), {"a", "b"}));
        QCOMPARE(publish(sign + QStringList{at("v1"), at("mirror"), "1"}).exitCode, 0);
        const QString index = at("mirror/1/") + defaultIndex;
        QVERIFY(writeFile(index, readFile(index) + "\n[delete]\nsaves\\slot1.sav=\n"));
        const Run run = publish(sign + QStringList{option, option == "--previous" ? index : "1",
                                                   at("v2"), at("mirror"), "2"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("is not signed by the signing key"), qPrintable(run.err));
        QVERIFY(!QFileInfo::exists(at("mirror/2")));
    }

    void refuses_data()
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
        for (const char* name : {"update.ini", "mirrors.ini", "update.lock", "update.pub",
                                 "_old_update", "session_5.ini", "d/.update-new.x"})
            row(name, {name}, "S M 1", "belongs to the installation");
        row("delete outside", one, "--delete ../x S M 1", "refusing to delete");
        row("delete the updater", one, "--delete update S M 1", "refusing to delete");
        row("delete a shipped file", one, "--delete a.txt S M 1", "shipped by this version");
        row("version not a number", one, "S M 1.5", "not a decimal number");
        row("group delete", one, "--group delete S M 1", "not read as a file group");
        row("client type path", one, "S M 1 ../evil", "not a plain file name");
        row("packed name taken", {"a.pak", "a.pak.gz"}, "--pack *.pak S M 1", "both be stored as");
        row("symbolic link to a directory", two, "S M 1", "symbolic link to a directory",
            "dirlink");
        row("fifo", two, "S M 1", "not a regular file", "fifo");
        row("mirror inside the source", two, "S M 1", "lies inside the source", "mirrorinside");
        row("malformed previous index", two, "--previous P S M 1", "is malformed",
            "[files]\na.txt=00::1::2\n");
        row("previous index deleting outside", two, "--previous P S M 1", "is malformed",
            "[files]\na.txt=00::1\n[delete]\n..%2Fetc=\n");
    }

    void refuses()
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
};

QTEST_GUILESS_MAIN(PublishTest)
#include "tst_publish.moc"
