#include "filemd5.h"
#include "producttree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestPacking : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unzipsGzipOutput_data();
    void unzipsGzipOutput();
    void zipOutputPassesGzip_data();
    void zipOutputPassesGzip();
    void damagedStreamIsRefused_data();
    void damagedStreamIsRefused();
    void sourceWithoutHeaderPassesThrough();
    void unzipFailsOnUncreatableDestination_data();
    void unzipFailsOnUncreatableDestination();
    void unzipOfUnopenableSourceLeavesEmptyDestination();
    void zipFailures_data();
    void zipFailures();

private:
    // Runs a command with the given files as standard input and output; returns its exit code.
    int run(const QString& program, const QStringList& args, const QString& in = QString(),
            const QString& out = QString());
    QString path(const QString& name) const { return dir.filePath(name); }
    QByteArray gzipped(const QByteArray& content, const QString& name);
    QTemporaryDir dir;
};

void TestPacking::initTestCase()
{
    QVERIFY(dir.isValid());
}

int TestPacking::run(const QString& program, const QStringList& args, const QString& in,
                     const QString& out)
{
    QProcess p;
    if (!in.isEmpty())
        p.setStandardInputFile(in);
    if (!out.isEmpty())
        p.setStandardOutputFile(out);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

// The bytes GNU gzip -9 makes of the content.
QByteArray TestPacking::gzipped(const QByteArray& content, const QString& name)
{
    const QString plain = path(name + ".plain");
    const QString packed = path(name + ".gz");
    if (!writeFile(plain, content) || run("gzip", {"-9", "-c", plain}, QString(), packed) != 0)
        return QByteArray();
    return readFile(packed);
}

static QByteArray compressibleBytes(int size)
{
    QByteArray data;
    data.reserve(size);
    for (int i = 0; data.size() < size; ++i)
        data += QByteArray::number(i * 7919 % 1000) + (i % 13 ? " " : "\n");
    data.truncate(size);
    return data;
}

void TestPacking::unzipsGzipOutput_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("1 byte") << QByteArray("x");
    QTest::newRow("one block") << ProductTree::randomBytes(16384, 1);
    QTest::newRow("random 300 KB") << ProductTree::randomBytes(300 * 1024 + 5, 2);
    QTest::newRow("text 2 MB") << compressibleBytes(2 * 1024 * 1024 + 3);
}

void TestPacking::unzipsGzipOutput()
{
    QFETCH(QByteArray, content);
    const QString name = QString("u%1").arg(content.size());
    const QByteArray gz = gzipped(content, name);
    QVERIFY(!gz.isEmpty());

    const QString out = path(name + ".out");
    QVERIFY(writeFile(out, "stale content longer than some of the rows"));
    QVERIFY(unzipFile(out, path(name + ".gz")));
    QCOMPARE(readFile(out), content);
}

void TestPacking::zipOutputPassesGzip_data()
{
    unzipsGzipOutput_data();
}

void TestPacking::zipOutputPassesGzip()
{
    QFETCH(QByteArray, content);
    const QString name = QString("z%1").arg(content.size());
    QVERIFY(writeFile(path(name), content));
    QVERIFY(zipFile(path(name + ".gz"), path(name)));

    QCOMPARE(run("gzip", {"-t", path(name + ".gz")}), 0);
    QCOMPARE(run("gzip", {"-dc", path(name + ".gz")}, QString(), path(name + ".gunzip")), 0);
    QCOMPARE(readFile(path(name + ".gunzip")), content);
    // Best compression was asked for: GNU gzip -9 does not do much better on text.
    if (content.size() > 100000) {
        const QByteArray reference = gzipped(content, name + "-ref");
        QVERIFY(QFileInfo(path(name + ".gz")).size() <= reference.size() * 105 / 100);
    }

    QVERIFY(unzipFile(path(name + ".back"), path(name + ".gz")));
    QCOMPARE(readFile(path(name + ".back")), content);
}

void TestPacking::damagedStreamIsRefused_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("position"); // negative: counted from the end
    QTest::newRow("cut inside the header") << "cut" << 5;
    QTest::newRow("cut after the header") << "cut" << 10;
    QTest::newRow("cut in the body") << "cut" << 20000;
    QTest::newRow("cut before the trailer") << "cut" << -8;
    QTest::newRow("cut inside the trailer") << "cut" << -3;
    QTest::newRow("flipped byte in the body") << "flip" << 30000;
    QTest::newRow("flipped byte in the checksum") << "flip" << -6;
    QTest::newRow("flipped byte in the length") << "flip" << -2;
}

void TestPacking::damagedStreamIsRefused()
{
    QFETCH(QString, damage);
    QFETCH(int, position);
    QByteArray gz = gzipped(ProductTree::randomBytes(100000, 7), "damaged");
    QVERIFY(gz.size() > 40000);
    const int at = position < 0 ? gz.size() + position : position;
    if (damage == "cut")
        gz.truncate(at);
    else
        gz[at] = char(gz[at] ^ 0x55);
    const QString source = path("damaged-" + QString::number(position) + damage + ".gz");
    QVERIFY(writeFile(source, gz));
    // GNU gzip agrees that the stream is bad.
    QVERIFY(run("gzip", {"-t", source}) != 0);

    const QString out = path("damaged.out");
    QVERIFY(!unzipFile(out, source));
    QVERIFY(!QFileInfo::exists(out));
}

void TestPacking::sourceWithoutHeaderPassesThrough()
{
    const QByteArray plain = "not packed at all\n" + ProductTree::randomBytes(50000, 3);
    QVERIFY(writeFile(path("plain.bin"), plain));
    QVERIFY(unzipFile(path("plain.out"), path("plain.bin")));
    QCOMPARE(readFile(path("plain.out")), plain);

    QVERIFY(writeFile(path("empty.bin"), QByteArray()));
    QVERIFY(writeFile(path("empty.out"), "old"));
    QVERIFY(unzipFile(path("empty.out"), path("empty.bin")));
    QVERIFY(QFileInfo::exists(path("empty.out")));
    QCOMPARE(QFileInfo(path("empty.out")).size(), 0);
}

void TestPacking::unzipFailsOnUncreatableDestination_data()
{
    QTest::addColumn<QString>("destination");
    QTest::newRow("a directory is in the way") << "in-the-way";
    QTest::newRow("parent is a file") << "a-file/out";
    QTest::newRow("parent is missing") << "missing-dir/out";
}

void TestPacking::unzipFailsOnUncreatableDestination()
{
    QFETCH(QString, destination);
    QVERIFY(QDir(dir.path()).mkpath("in-the-way"));
    QVERIFY(writeFile(path("a-file"), "x"));
    QVERIFY(!gzipped("payload", "dest").isEmpty());
    QVERIFY(!unzipFile(path(destination), path("dest.gz")));
    QVERIFY(QFileInfo(path("in-the-way")).isDir());
    QCOMPARE(readFile(path("a-file")), QByteArray("x"));
}

void TestPacking::unzipOfUnopenableSourceLeavesEmptyDestination()
{
    const QString out = path("nosource.out");
    QVERIFY(writeFile(out, "previous"));
    QVERIFY(!unzipFile(out, path("no-such.gz")));
    QVERIFY(QFileInfo::exists(out));
    QCOMPARE(QFileInfo(out).size(), 0);
}

void TestPacking::zipFailures_data()
{
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("source");
    QTest::newRow("missing source") << "zf-missing.gz"
                                    << "no-such-source";
    QTest::newRow("source is a directory") << "zf-dir.gz"
                                           << "zf-src-dir";
    QTest::newRow("destination is a directory") << "zf-dest-dir"
                                                << "zf-source";
    QTest::newRow("destination parent is a file") << "zf-source/x.gz"
                                                  << "zf-source";
}

void TestPacking::zipFailures()
{
    QFETCH(QString, destination);
    QFETCH(QString, source);
    QVERIFY(QDir(dir.path()).mkpath("zf-src-dir"));
    QVERIFY(QDir(dir.path()).mkpath("zf-dest-dir"));
    QVERIFY(writeFile(path("zf-source"), "some content"));
    QVERIFY(!zipFile(path(destination), path(source)));
    if (!QFileInfo(path(destination)).isDir())
        QVERIFY(!QFileInfo::exists(path(destination)));
    QCOMPARE(readFile(path("zf-source")), QByteArray("some content"));
}

QTEST_GUILESS_MAIN(TestPacking)
#include "tst_util_packing.moc"
