#include "filemd5.h"
#include "producttree.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Checksums and packing, checked against the command-line tools rather than the classes the
// code under test is built on.
class TestFileMd5 : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

    // True when the command ends with exit code 0; its standard output goes to out.
    static bool run(const QString& program, const QStringList& args, QByteArray* out)
    {
        QProcess p;
        p.start(program, args);
        const bool ok =
            p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        *out = p.readAllStandardOutput();
        return ok;
    }
    QByteArray gzipped(const QByteArray& content, const QString& name)
    {
        QByteArray gz;
        return writeFile(path(name), content) && run("gzip", {"-9", "-c", path(name)}, &gz)
                   ? gz
                   : QByteArray();
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // A negative size stands for a missing file (-1) or a directory (-2): no checksum.
    void hashMatchesMd5sum_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 16383, 16384, 16385, 5 * 1024 * 1024 + 77, -1, -2})
            QTest::addRow(size == -1   ? "missing file"
                          : size == -2 ? "directory"
                                       : "%d bytes",
                          size)
                << size;
    }
    void hashMatchesMd5sum()
    {
        QFETCH(int, size);
        const QString file = path(QString("data%1").arg(size));
        QString expected;
        if (size == -2)
            QVERIFY(QDir().mkpath(file));
        if (size >= 0) {
            QByteArray out;
            QVERIFY(writeFile(file, ProductTree::randomBytes(size, quint32(size) + 1)));
            QVERIFY(run("md5sum", {file}, &out));
            expected = QString::fromLatin1(out.left(32));
        }
        QCOMPARE(getFileMD5Ex(file), expected);
        QCOMPARE(getFileMD5(file), expected);
        // A null result never equals a checksum, not even that of empty input.
        QCOMPARE(getFileMD5Ex(file).isNull(), size < 0);
        if (size < 0)
            return;
        // An open file is hashed from its start, whatever was read of it, and left at its end.
        QFile open(file);
        QVERIFY(open.open(QIODevice::ReadOnly));
        open.readAll();
        QCOMPARE(getFileMD5Ex(open), expected);
        QVERIFY(open.isOpen() && open.atEnd());
    }

    // GNU gzip unpacks what zipFile packs, and unzipFile unpacks what GNU gzip packs.
    void packingAgreesWithGzip_data()
    {
        QByteArray text;
        for (int i = 0; text.size() < 2 * 1024 * 1024 + 3; ++i)
            text += QByteArray::number(i * 7919 % 1000) + (i % 13 ? " " : "\n");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("random 300 KB") << ProductTree::randomBytes(300 * 1024 + 5, 2);
        QTest::newRow("text 2 MB") << text;
    }
    void packingAgreesWithGzip()
    {
        QFETCH(QByteArray, content);
        const QString name = QString("c%1").arg(content.size());
        const QByteArray reference = gzipped(content, name + ".ref");
        QVERIFY(!reference.isEmpty() && writeFile(path(name + ".ref.gz"), reference));
        QVERIFY(writeFile(path(name + ".out"), "stale content longer than some of the rows"));
        QVERIFY(unzipFile(path(name + ".out"), path(name + ".ref.gz")));
        QCOMPARE(readFile(path(name + ".out")), content);

        QByteArray unpacked;
        QVERIFY(zipFile(path(name + ".gz"), path(name + ".ref")));
        QVERIFY(run("gzip", {"-t", path(name + ".gz")}, &unpacked));
        QVERIFY(run("gzip", {"-dc", path(name + ".gz")}, &unpacked));
        QCOMPARE(unpacked, content);
        // Best compression was asked for: GNU gzip -9 does not do much better.
        QVERIFY(QFileInfo(path(name + ".gz")).size() <= qMax(100, reference.size() * 105 / 100));
    }

    // A damaged stream is refused and leaves no destination; a source that is not packed
    // at all is copied as it is.
    void unpackedSource_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("expected"); // "=" and the content, or "<none>"
        const QByteArray good = gzipped(ProductTree::randomBytes(100000, 7), "damaged");
        const auto damaged = [&](const char* name, bool cut, int at) {
            const int i = at < 0 ? good.size() + at : at;
            QByteArray flipped = good;
            flipped[i] = char(good[i] ^ 0x55);
            QTest::newRow(name) << (cut ? good.left(i) : flipped) << QByteArray("<none>");
        };
        damaged("cut inside the header", true, 5);
        damaged("cut in the body", true, 20000);
        damaged("cut before the trailer", true, -8);
        damaged("cut inside the trailer", true, -3);
        damaged("flipped byte in the body", false, 30000);
        damaged("flipped byte in the checksum", false, -6);
        damaged("flipped byte in the length", false, -2);
        const QByteArray plain = "not packed at all\n" + ProductTree::randomBytes(50000, 3);
        QTest::newRow("no gzip header") << plain << "=" + plain;
        QTest::newRow("empty source") << QByteArray("") << QByteArray("=");
    }
    void unpackedSource()
    {
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, expected);
        const QString in = path(QString("source-%1").arg(QTest::currentDataTag()));
        const QString out = path("unpacked");
        QVERIFY(writeFile(in, source) && writeFile(out, "stale"));
        if (expected == "<none>")
            QVERIFY(!run("gzip", {"-t", in}, &source));
        QCOMPARE(unzipFile(out, in), expected != "<none>");
        QCOMPARE(QFileInfo::exists(out) ? "=" + readFile(out) : QByteArray("<none>"), expected);
    }

    // Neither function leaves a destination file behind, except that an unzip whose source
    // cannot be opened leaves an empty one.
    void cannotPack_data()
    {
        QTest::addColumn<bool>("unzip");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("source");
        const auto row = [](const char* name, bool unzip, const char* dest, const char* source) {
            QTest::newRow(name) << unzip << QString(dest) << QString(source);
        };
        row("unzip into a directory", true, "dir", "packed.gz");
        row("unzip below a file", true, "file/out", "packed.gz");
        row("unzip of a missing source", true, "file", "no-such.gz");
        row("zip of a missing source", false, "out.gz", "no-such");
        row("zip of a directory", false, "out.gz", "dir");
        row("zip into a directory", false, "dir", "file");
    }
    void cannotPack()
    {
        QFETCH(bool, unzip);
        QFETCH(QString, destination);
        QFETCH(QString, source);
        QVERIFY(QDir(dir.path()).mkpath("dir"));
        QVERIFY(writeFile(path("file"), "some content"));
        QVERIFY(writeFile(path("packed.gz"), ProductTree::gzip("payload")));
        QVERIFY(!(unzip ? unzipFile(path(destination), path(source))
                        : zipFile(path(destination), path(source))));
        QVERIFY(QFileInfo(path("dir")).isDir() && QFileInfo::exists(path("file")));
        QCOMPARE(readFile(path("file")), destination == "file" ? "" : QByteArray("some content"));
        QVERIFY(!QFileInfo::exists(path("out.gz")));
    }
};

QTEST_GUILESS_MAIN(TestFileMd5)
#include "tst_util_filemd5.moc"
