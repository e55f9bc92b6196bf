#include "filemd5.h"
#include "patching.h"
#include "patchreference.h"
#include "productmanifest.h"
#include "producttree.h"
#include "safepath.h"
#include "settingsindex.h"

#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <functional>

// Checksums, unpacking and patches, each against zlib or libzstd on the same bytes; the path check
// every index entry goes through; and the reader of the manifest a mirror serves.
class UtilTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QByteArray old, now; // a file over three chunks and its new version, made by patch_data()
    QString path(const QString& name) const { return dir.filePath(name); }

    // Runs a pass of ours into the file "out" at many block sizes: it must succeed exactly when
    // the library's decoder did, then with the same bytes, and never write more than `limit`.
    void sameAsLibrary(qint64 inputSize, bool ok, const QByteArray& expected, qint64 limit,
                       const std::function<bool(int, int)>& pass)
    {
        QList<int> blocks{int(HashedPass::defaultBlockSize), 4093, 97};
        for (int size = 1; size <= 64 && inputSize < 1000; ++size)
            blocks << size;
        for (const int block : blocks) {
            QFile out(path("out"));
            const bool passed = out.open(QIODevice::WriteOnly) && pass(out.handle(), block);
            const QByteArray written = readFile(path("out"));
            QVERIFY2(passed == ok && (ok ? written == expected : written.size() <= limit),
                     QByteArray::number(block));
        }
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

    // The rebuild against zstd's one-shot decoder under the same rules (patchreference.h): the
    // same content, or both refuse, and never more output than the new content's length.
    void patch_data()
    {
        QTest::addColumn<QByteArray>("patch");
        QTest::addColumn<int>("missing"); // bytes the installed file lacks of the old content
        QTest::addColumn<int>("shorter"); // the new content's length is given that short
        QTest::addColumn<bool>("rebuilt");
        old = ProductTree::randomBytes(20 << 20, 3);
        now = old.left(9 << 20) + "inserted" + old.mid(9 << 20, 8 << 20) + "x" +
              old.mid((17 << 20) + 1);
        MappedFile reference, target;
        QString error;
        QVERIFY(writeFile(path("old"), old) && writeFile(path("new"), now) &&
                reference.open(path("old")) && target.open(path("new")));
        QVERIFY2(makePatch(reference, target, path("patch"), 3, &error), qPrintable(error));
        const QByteArray patch = readFile(path("patch"));
        QVERIFY(patch.size() < 100000);
        // The first frame asks for a window of 2^log instead of one segment of its length.
        const auto window = [&](int log) {
            return patch.left(4) + char(patch[4] & ~0x20) + char((log - 10) << 3) + patch.mid(5);
        };
        const int log = patching::windowLog(old.size(), now.size());
        QTest::newRow("three chunks") << patch << 0 << 0 << true;
        QTest::newRow("new content a byte shorter") << patch << 0 << 1 << false;
        QTest::newRow("installed file shrunk") << patch << 1 << 0 << false;
        QTest::newRow("cut short") << patch.chopped(1) << 0 << 0 << false;
        QTest::newRow("frames beyond the last chunk") << patch + patch << 0 << 0 << false;
        QTest::newRow("window at the limit") << window(log) << 0 << 0 << true;
        QTest::newRow("window beyond the limit") << window(log + 1) << 0 << 0 << false;
    }
    void patch()
    {
        QFETCH(QByteArray, patch);
        QFETCH(int, missing);
        QFETCH(int, shorter);
        QFETCH(bool, rebuilt);
        const quint64 targetSize = quint64(now.size() - shorter);
        const QByteArray expected =
            referenceRebuild(patch, old.chopped(missing), quint64(old.size()), targetSize);
        QCOMPARE(expected, rebuilt ? now : QByteArray());
        QFile reference(path("old"));
        QVERIFY(writeFile(path("old"), old.chopped(missing)) && writeFile(path("patch"), patch) &&
                reference.open(QIODevice::ReadOnly));
        sameAsLibrary(patch.size(), !expected.isNull(), expected, qint64(targetSize),
                      [&](int fd, int block) {
                          CopyDigest digest;
                          return applyPatch(path("patch"), reference.handle(), quint64(old.size()),
                                            targetSize, fd, &digest, nullptr, block);
                      });
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
        row("repeated key", "size=2", "size=2\nsize=2", "line 16 repeats");
        row("count beyond the lines", "size=2", "size=99", "it gives no number of files");
        row("negative length", "1\\length=1", "1\\length=-1", "file 1");
        row("same path twice", "files/b%20%C3%A4", "files/a", "file 2");
        row("short checksum", second, second.chopped(1), "file 2");
        row("not ASCII", "files/a", QString::fromUtf8("files/ä"), "line 6");
        row("patch in a file's place", "patches/1/b", "files/a", "patch 1");
        row("piece length not a power of two", "=16384", "=16000", "file 2 has pieces");
        row("a piece missing", "pieces=" + sum, "pieces=", "file 2 has pieces");
    }
    void manifest()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, error);
        const QString sum = ProductTree::sha256("x");
        ProductManifest written, read;
        written.indexSha256 = sum;
        written.files = {{"files/a", ProductTree::sha256("a"), 1, QString(), 0, {}},
                         {QString::fromUtf8("files/b ä"), ProductTree::sha256("b"), 40000,
                          ProductTree::sha256("c"), 16384, sum.repeated(3).toLatin1()}};
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

    // The index reader against QSettings on the same text: what ours accepts, both read alike;
    // the rest ours refuses, saying why. Texts as QSettings writes them, and as a mirror might.
    void indexReader_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("refusal"); // empty: read as QSettings reads it
        const auto row = [](const char* name, const QByteArray& text, const char* refusal = "") {
            QTest::newRow(name) << text << QString(refusal);
        };
        QByteArray written;
        {
            QSettings settings(path("written.ini"), QSettings::IniFormat);
            settings.setValue(QString::fromUtf8("files/sub/ä b€=x.pak"), "0::1");
            settings.setValue("files/q", QString::fromUtf8(" a,b;c=\"d\"\\ é "));
            settings.setValue("delete/old/log.txt", QString());
            settings.setValue("a.b/x", "1");
            settings.setValue("a/x", "2");
            settings.sync();
            written = readFile(path("written.ini"));
        }
        row("written by QSettings", written);
        row("by hand", "; comment\r\n[files]\r\n  a\\b = 1::2  \r\n[files/c%20d]\nx=\"\"\n[e]\n");
        row("repeated key", "[a]\nx=1\nx=2\n");
        row("serialised value", "[a]\nx=@Variant(\\0\\0\\0\\x7f)\n", "an escape");
        row("serialised value plainly", "[a]\nx=@Variant(AAAAfwA)\n", "may not begin with @");
        row("list", "[a]\nx=1,2\n", "outside quotes");
        row("comment after a value", "[a]\nx=1 ;2\n", "outside quotes");
        row("key of no group", "x=1\n", "before the first section");
        row("General", "[General]\nx=1\n", "no group");
        row("control character", "[a]\nx=1\x01\n", "control character");
        row("not UTF-8", "[a]\nx=\xff\n", "not UTF-8");
        row("empty path component", "[a]\nx\\\\y=1\n", "not a path");
        row("lone surrogate", "[a]\n%UD800=1\n", "not a path");
        row("open quote", "[a]\nx=\"1\n", "closing quote");
        row("quote inside", "[a]\nx=1\"2\n", "quote inside");
        row("neither key nor section", "[a]\nx\n", "not a key");
    }
    void indexReader()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, refusal);
        const QMap<QString, QString> ours = readByReader(text);
        if (refusal.isEmpty())
            QCOMPARE(ours, readBySettings(text, path("same.ini")));
        else
            QVERIFY2(ours.value("<refused>").contains(refusal),
                     qPrintable(ours.value("<refused>")));
    }

    // The apply's one-pass unpacking against zlib's gzread (unzipFile) on the same file: the same
    // bytes, or both refuse.
    void gunzip_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("content"); // what the file unpacks to; null: refused
        QByteArray masked = ProductTree::randomBytes(4000000, 2), a = "member a", b = "member bb";
        for (int i = 0; i < masked.size(); i += 16)
            masked[i] = char(masked[i] & 0x0f);
        const QByteArray random = ProductTree::randomBytes(300 * 1024 + 5, 2), none;
        QVERIFY(writeFile(path("random"), random) && zipFile(path("random.gz"), path("random")));
        const auto gz = [](const QByteArray& data) { return ProductTree::gzip(data); };
        QTest::newRow("random, packed by zipFile") << readFile(path("random.gz")) << random;
        QTest::newRow("nearly incompressible") << gz(masked) << masked;
        QTest::newRow("three members") << gz(a) + gz("") + gz(b) << a + b;
        QTest::newRow("one byte of trailing garbage") << gz(a) + "x" << a;
        QTest::newRow("trailing magic") << gz(a) + "\x1f\x8b" << none;
        QTest::newRow("cut in the header") << gz(a).left(5) << none;
        QTest::newRow("cut in the trailer") << gz(a).chopped(3) << none;
        QTest::newRow("bad length") << gz(a).chopped(4) + QByteArray(4, 1) << none;
        QTest::newRow("no gzip header") << a << a;
        QTest::newRow("one byte") << QByteArray("\x1f") << QByteArray("\x1f");
    }
    void gunzip()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, content);
        QVERIFY(writeFile(path("in.gz"), file));
        const bool zlib = unzipFile(path("zlib"), path("in.gz"));
        const QByteArray unpacked = readFile(path("zlib"));
        QVERIFY(zlib == !content.isNull() && unpacked == content);
        sameAsLibrary(file.size(), zlib, unpacked, LLONG_MAX, [&](int fd, int block) {
            CopyDigest digest;
            return copyHashed(path("in.gz"), fd, true, &digest, nullptr, block) &&
                   digest.sourceChecksum == ProductTree::md5(file);
        });
    }
};

QTEST_GUILESS_MAIN(UtilTest)
#include "tst_util.moc"
