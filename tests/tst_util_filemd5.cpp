#include "filemd5.h"
#include "producttree.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestFileMd5 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matchesMd5sum_data();
    void matchesMd5sum();
    void unreadablePathGivesNull_data();
    void unreadablePathGivesNull();
    void openFileIsHashedFromItsStart_data();
    void openFileIsHashedFromItsStart();

private:
    QString md5sumOf(const QString& path);
    QTemporaryDir dir;
};

void TestFileMd5::initTestCase()
{
    QVERIFY(dir.isValid());
}

// The reference checksum comes from coreutils, not from the hash class under test.
QString TestFileMd5::md5sumOf(const QString& path)
{
    QProcess p;
    p.start("md5sum", {path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return QString();
    return QString::fromLatin1(p.readAllStandardOutput().left(32));
}

void TestFileMd5::matchesMd5sum_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one block less a byte") << 16383;
    QTest::newRow("one block and a byte") << 16385;
    QTest::newRow("several MB") << 5 * 1024 * 1024 + 77;
}

void TestFileMd5::matchesMd5sum()
{
    QFETCH(int, size);
    const QString path = dir.filePath(QString("data-%1").arg(size));
    QVERIFY(writeFile(path, ProductTree::randomBytes(size, quint32(size) + 1)));
    const QString expected = md5sumOf(path);
    QCOMPARE(expected.size(), 32);

    QCOMPARE(getFileMD5Ex(path), expected);
    QCOMPARE(getFileMD5(path), expected);
}

void TestFileMd5::unreadablePathGivesNull_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing file") << "no-such-file";
    QTest::newRow("directory") << "a-directory";
}

void TestFileMd5::unreadablePathGivesNull()
{
    QFETCH(QString, relative);
    QVERIFY(QDir(dir.path()).mkpath("a-directory"));
    const QString path = dir.filePath(relative);
    // A null result never equals a checksum, not even that of empty input.
    QVERIFY(getFileMD5Ex(path).isNull());
    QVERIFY(getFileMD5(path).isNull());
}

void TestFileMd5::openFileIsHashedFromItsStart_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("readBefore"); // -1: read to the end
    QTest::newRow("read to its end") << 40000 << -1;
    QTest::newRow("untouched") << 40000 << 0;
    QTest::newRow("empty file") << 0 << -1;
}

void TestFileMd5::openFileIsHashedFromItsStart()
{
    QFETCH(int, size);
    QFETCH(int, readBefore);
    const QString path = dir.filePath(QString("open-%1-%2").arg(size).arg(readBefore));
    QVERIFY(writeFile(path, ProductTree::randomBytes(size, 99)));
    const QString expected = md5sumOf(path);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    if (readBefore < 0)
        file.readAll();
    else
        file.read(readBefore);
    QCOMPARE(getFileMD5Ex(file), expected);
    QVERIFY(file.isOpen());
    QVERIFY(file.atEnd());
    // Hashing again gives the same text: the position left behind does not matter.
    QCOMPARE(getFileMD5Ex(file), expected);
}

QTEST_GUILESS_MAIN(TestFileMd5)
#include "tst_util_filemd5.moc"
