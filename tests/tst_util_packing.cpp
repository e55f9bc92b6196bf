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
    void agreesWithGzip_data();
    void agreesWithGzip();
    void damagedStreamIsRefused_data();
    void damagedStreamIsRefused();
    void sourceWithoutHeaderPassesThrough();
    void failures_data();
    void failures();

private:
    // Runs a command with the given files as standard input and output; returns its exit code.
    int run(const QString& program, const QStringList& args, const QString& out = QString());
    QString path(const QString& name) const { return dir.filePath(name); }
    // The bytes GNU gzip -9 makes of the content.
    QByteArray gzipped(const QByteArray& content, const QString& name)
    {
        const QString plain = path(name + ".plain");
        if (!writeFile(plain, content) || run("gzip", {"-9", "-c", plain}, path(name + ".gz")) != 0)
            return QByteArray();
        return readFile(path(name + ".gz"));
    }
    QTemporaryDir dir;
};

void TestPacking::initTestCase()
{
    QVERIFY(dir.isValid());
}

int TestPacking::run(const QString& program, const QStringList& args, const QString& out)
{
    QProcess p;
    if (!out.isEmpty())
        p.setStandardOutputFile(out);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

void TestPacking::agreesWithGzip_data()
{
    QByteArray text;
    for (int i = 0; text.size() < 2 * 1024 * 1024 + 3; ++i)
        text += QByteArray::number(i * 7919 % 1000) + (i % 13 ? " " : "\n");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("1 byte") << QByteArray("x");
    QTest::newRow("random 300 KB") << ProductTree::randomBytes(300 * 1024 + 5, 2);
    QTest::newRow("text 2 MB") << text;
}

// GNU gzip unpacks what zipFile packs, and unzipFile unpacks what GNU gzip packs.
void TestPacking::agreesWithGzip()
{
    QFETCH(QByteArray, content);
    const QString name = QString("c%1").arg(content.size());
    const QByteArray reference = gzipped(content, name + "-ref");
    QVERIFY(!reference.isEmpty());
    const QString out = path(name + ".out");
    QVERIFY(writeFile(out, "stale content longer than some of the rows"));
    QVERIFY(unzipFile(out, path(name + "-ref.gz")));
    QCOMPARE(readFile(out), content);

    QVERIFY(writeFile(path(name), content));
    QVERIFY(zipFile(path(name + ".gz"), path(name)));
    QCOMPARE(run("gzip", {"-t", path(name + ".gz")}), 0);
    QCOMPARE(run("gzip", {"-dc", path(name + ".gz")}, path(name + ".gunzip")), 0);
    QCOMPARE(readFile(path(name + ".gunzip")), content);
    // Best compression was asked for: GNU gzip -9 does not do much better.
    if (content.size() > 100000)
        QVERIFY(QFileInfo(path(name + ".gz")).size() <= reference.size() * 105 / 100);
}

void TestPacking::damagedStreamIsRefused_data()
{
    QTest::addColumn<bool>("cut");     // else a byte is flipped
    QTest::addColumn<int>("position"); // negative: counted from the end
    QTest::newRow("cut inside the header") << true << 5;
    QTest::newRow("cut in the body") << true << 20000;
    QTest::newRow("cut before the trailer") << true << -8;
    QTest::newRow("cut inside the trailer") << true << -3;
    QTest::newRow("flipped byte in the body") << false << 30000;
    QTest::newRow("flipped byte in the checksum") << false << -6;
    QTest::newRow("flipped byte in the length") << false << -2;
}

void TestPacking::damagedStreamIsRefused()
{
    QFETCH(bool, cut);
    QFETCH(int, position);
    QByteArray gz = gzipped(ProductTree::randomBytes(100000, 7), "damaged");
    const int at = position < 0 ? gz.size() + position : position;
    if (cut)
        gz.truncate(at);
    else
        gz[at] = char(gz[at] ^ 0x55);
    const QString source = path(QString("damaged-%1-%2.gz").arg(position).arg(cut));
    QVERIFY(writeFile(source, gz));
    QVERIFY(run("gzip", {"-t", source}) != 0);
    QVERIFY(!unzipFile(path("damaged.out"), source));
    QVERIFY(!QFileInfo::exists(path("damaged.out")));
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
    QCOMPARE(readFile(path("empty.out")), QByteArray());
}

// Neither function may leave a destination file behind, except that an unzip whose source
// cannot be opened leaves an empty one.
void TestPacking::failures_data()
{
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("source");
    QTest::newRow("unzip into a directory") << true << "dir"
                                            << "packed.gz";
    QTest::newRow("unzip below a file") << true << "file/out"
                                        << "packed.gz";
    QTest::newRow("unzip below a missing dir") << true << "missing/out"
                                               << "packed.gz";
    QTest::newRow("unzip of a missing source") << true << "file"
                                               << "no-such.gz";
    QTest::newRow("zip of a missing source") << false << "out.gz"
                                             << "no-such";
    QTest::newRow("zip of a directory") << false << "out.gz"
                                        << "dir";
    QTest::newRow("zip into a directory") << false << "dir"
                                          << "file";
    QTest::newRow("zip below a file") << false << "file/x.gz"
                                      << "file";
}

void TestPacking::failures()
{
    QFETCH(bool, unzip);
    QFETCH(QString, destination);
    QFETCH(QString, source);
    QVERIFY(QDir(dir.path()).mkpath("dir"));
    QVERIFY(writeFile(path("file"), "some content"));
    QVERIFY(writeFile(path("packed.gz"), ProductTree::gzip("payload")));
    const bool ok = unzip ? unzipFile(path(destination), path(source))
                          : zipFile(path(destination), path(source));
    QVERIFY(!ok);
    QVERIFY(QFileInfo(path("dir")).isDir());
    if (destination == "file")
        QVERIFY(QFileInfo::exists(path("file")) && readFile(path("file")).isEmpty());
    else
        QCOMPARE(readFile(path("file")), QByteArray("some content"));
    if (destination == "out.gz")
        QVERIFY(!QFileInfo::exists(path(destination)));
}

QTEST_GUILESS_MAIN(TestPacking)
#include "tst_util_packing.moc"
