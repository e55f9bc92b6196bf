#include "filemd5.h"
#include "patching.h"
#include "productmanifest.h"
#include "producttree.h"
#include "safepath.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <fcntl.h>
#include <unistd.h>

// Checksums and packing, checked against md5sum and gzip; the path check every index entry goes
// through; and the reader of the manifest a mirror serves.
class UtilTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

    // The standard output of a command that must succeed; null when it fails.
    static QByteArray run(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.start(program, args);
        const bool ok =
            p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        return ok ? p.readAllStandardOutput() : QByteArray();
    }
    // Runs a pass into the new file "out"; its result.
    bool written(const std::function<bool(int)>& pass) const
    {
        const int fd =
            ::open(QFile::encodeName(path("out")).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const bool ok = fd >= 0 && pass(fd);
        return ::close(fd) == 0 && ok;
    }

private slots:
    void safePath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("nested") << "plugins/imageformats/libqjpeg.so" << true;
        QTest::newRow("dots inside a name") << "a..b/.hidden/x.tar.gz" << true;
        QTest::newRow("spaces and unicode") << QString::fromUtf8("Daten/Übersicht 1.txt") << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("parent") << ".." << false;
        QTest::newRow("inner parent") << "a/../../x" << false;
        QTest::newRow("current") << "a/./b" << false;
        QTest::newRow("empty component") << "a//b" << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << false;
        QTest::newRow("newline") << "a\nb" << false;
        QTest::newRow("C1 control") << QString("a") + QChar(0x85) << false;
    }
    void safePath()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(isSafeRelativePath(path), safe);
    }

    // Old and new content over three chunks, the new one with an insertion and an edit: rebuilt
    // exactly, and stopped at once when the new file is said to be a byte shorter.
    void patch()
    {
        const QByteArray old = ProductTree::randomBytes(20 << 20, 3);
        const QByteArray now = old.left(9 << 20) + "inserted" + old.mid(9 << 20, 8 << 20) + "x" +
                               old.mid((17 << 20) + 1);
        MappedFile reference, target;
        QString error;
        QVERIFY(writeFile(path("old"), old) && writeFile(path("new"), now) &&
                reference.open(path("old")) && target.open(path("new")));
        QVERIFY2(makePatch(reference, target, path("patch"), 3, &error), qPrintable(error));
        QVERIFY(QFileInfo(path("patch")).size() < 100000);
        for (const int shorter : {0, 1}) {
            const int fd = ::open(QFile::encodeName(path("out")).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC, 0600);
            CopyDigest digest;
            QCOMPARE(applyPatch(path("patch"), reference.data(), reference.size(),
                                quint64(now.size() - shorter), fd, &digest),
                     shorter == 0);
            ::close(fd);
            QCOMPARE(readFile(path("out")) == now, shorter == 0);
        }
    }

    void manifest_data()
    {
        QTest::addColumn<QString>("from"); // replaced in a good manifest of two files
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("error"); // the start of the reason; empty: read
        const QString sum = ProductTree::sha256("x");
        const QString second = "2\\sha256=" + ProductTree::sha256("b");
        const auto row = [](const char* name, const QString& from, const QString& to,
                            const char* error) {
            QTest::newRow(name) << from << to << QString(error);
        };
        row("as written", "", "", "");
        row("format 2", "format=1", "format=2", "its format");
        row("upper-case index", "index=" + sum, "index=" + sum.toUpper(), "it names no SHA-256");
        row("repeated key", "size=2", "size=2\nsize=2", "line 14 repeats");
        row("count beyond the lines", "size=2", "size=99", "it gives no number of files");
        row("negative length", "1\\length=1", "1\\length=-1", "file 1");
        row("same path twice", "files/b%20%C3%A4", "files/a", "file 2");
        row("short checksum", second, second.chopped(1), "file 2");
        row("not ASCII", "files/a", QString::fromUtf8("files/ä"), "line 6");
        row("patch in a file's place", "patches/1/b", "files/a", "patch 1");
    }
    void manifest()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, error);
        ProductManifest written, read;
        written.indexSha256 = ProductTree::sha256("x");
        written.files = {{"files/a", ProductTree::sha256("a"), 1, QString()},
                         {QString::fromUtf8("files/b ä"), ProductTree::sha256("b"), 20,
                          ProductTree::sha256("c")}};
        written.patches = {{"patches/1/b", ProductTree::sha256("d"), 3, QString::fromUtf8("b ä"),
                            ProductTree::sha256("e"), 4}};
        QString text = QString::fromLatin1(written.toText());
        QVERIFY(from.isEmpty() || text.contains(from));
        if (!from.isEmpty())
            text.replace(from, to);
        const QString reason = ProductManifest::parse(text.toUtf8(), &read);
        QVERIFY2(error.isEmpty() ? reason.isEmpty() : reason.startsWith(error), qPrintable(reason));
        QCOMPARE(read.files.size(), error.isEmpty() ? 2 : 0);
        if (error.isEmpty())
            QCOMPARE(read.toText(), written.toText());
    }

    // What zipFile packs, GNU gzip unpacks at about the size gzip -9 gives; checksums as md5sum
    // gives them, none of a missing file or a directory.
    void packing()
    {
        const QString in = path("in"), gz = path("in.gz");
        const QByteArray source = ProductTree::randomBytes(300 * 1024 + 5, 2);
        QVERIFY(writeFile(in, source) && zipFile(gz, in));
        QCOMPARE(run("gzip", {"-dc", gz}), source);
        QVERIFY(QFileInfo(gz).size() <= run("gzip", {"-9", "-c", in}).size() * 105 / 100);
        QCOMPARE(getFileMD5Ex(in), QString(run("md5sum", {in}).left(32)));
        QVERIFY(getFileMD5Ex(path("missing")).isNull() && getFileMD5Ex(dir.path()).isNull());
    }

    // The apply's one-pass unpacking against zlib's gzread (unzipFile) on the same file, at
    // every block size of the row: the same bytes, or both refuse.
    void gunzip_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("content"); // what the file unpacks to; null: refused
        QTest::addColumn<QList<int>>("blocks");
        const QList<int> whole{int(HashedPass::defaultBlockSize)};
        QList<int> small{97, 1000, 4093};
        for (int size = 1; size <= 64; ++size)
            small << size;
        QByteArray masked = ProductTree::randomBytes(4000000, 2), a = "member a", b = "member bb";
        for (int i = 0; i < masked.size(); i += 16)
            masked[i] = char(masked[i] & 0x0f);
        const auto gz = [](const QByteArray& data) { return ProductTree::gzip(data); };
        const auto row = [](const char* name, const QByteArray& file, const QByteArray& content,
                            const QList<int>& blocks) {
            QTest::newRow(name) << file << content << blocks;
        };
        const QByteArray random = ProductTree::randomBytes(300 * 1024 + 5, 2), none;
        row("random", gz(random), random, whole + QList<int>{65536, 4093});
        row("nearly incompressible", gz(masked), masked, whole);
        row("three members", gz(a) + gz("") + gz(b), a + b, small);
        row("one byte of trailing garbage", gz(a) + "x", a, small);
        row("trailing zeros", gz(a) + QByteArray(40, 0), a, small);
        row("trailing magic", gz(a) + "\x1f\x8b", none, small);
        row("cut in the header", gz(a).left(5), none, small);
        row("cut in the body", gz(random).left(20000), none, {97, 4093});
        row("cut in the trailer", gz(a).chopped(3), none, small);
        row("changed checksum", gz(a).chopped(8) + QByteArray(4, 0) + gz(a).right(4), none, small);
        row("no gzip header", a, a, small);
        row("one byte", "\x1f", "\x1f", small);
        row("empty", "", "", small);
    }
    void gunzip()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, content);
        QFETCH(QList<int>, blocks);
        QVERIFY(writeFile(path("in.gz"), file));
        const bool zlib = unzipFile(path("zlib"), path("in.gz"));
        const QByteArray unpacked = readFile(path("zlib"));
        QCOMPARE(zlib, !content.isNull());
        QCOMPARE(unpacked, content);
        for (const int block : blocks) {
            CopyDigest digest;
            const bool ok = written([&](int fd) {
                return copyHashed(path("in.gz"), fd, true, &digest, nullptr, block);
            });
            QVERIFY2(ok == zlib, qPrintable(QString::number(block)));
            QVERIFY2(!ok || readFile(path("out")) == unpacked, qPrintable(QString::number(block)));
            QCOMPARE(digest.sourceChecksum, ok ? ProductTree::md5(file) : QString());
        }
    }
};

QTEST_GUILESS_MAIN(UtilTest)
#include "tst_util.moc"
