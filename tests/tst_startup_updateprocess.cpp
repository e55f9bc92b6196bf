#include "updateprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

static mode_t modeBits(const QString& path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

static bool touch(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

class UpdateProcessTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void specialFileNames_data();
    void specialFileNames();
    void executableModes_data();
    void executableModes();
    void removesMovedAsideCopiesOnly();
};

void UpdateProcessTest::specialFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("special");
    QTest::newRow("update") << "update" << true;
    QTest::newRow("libQtCore.so.4") << "libQtCore.so.4" << true;
    QTest::newRow("libQtGui.so.4") << "libQtGui.so.4" << true;
    QTest::newRow("libQtNetwork.so.4") << "libQtNetwork.so.4" << true;
    QTest::newRow("case differs") << "Update" << false;
    QTest::newRow("with directory") << "lib/update" << false;
    QTest::newRow("already moved aside") << "_old_update" << false;
    QTest::newRow("client") << "vm3client_linux_x86" << false;
}

void UpdateProcessTest::specialFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, special);
    QCOMPARE(isSpecialFileName(name), special);
}

void UpdateProcessTest::executableModes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expectedMode");
    QTest::newRow("toolkit library") << "libQtGui.so.4" << 0755;
    QTest::newRow("shared library") << "libfoo.so" << 0755;
    QTest::newRow("updater") << "update" << 0755;
    QTest::newRow("client") << "vm3client_linux_x86" << 0755;
    QTest::newRow("versioned beyond so.4") << "libfoo.so.4.1" << 0644;
    QTest::newRow("case differs") << "Update" << 0644;
    QTest::newRow("so inside the name") << "so.txt" << 0644;
}

void UpdateProcessTest::executableModes()
{
    QFETCH(QString, name);
    QFETCH(int, expectedMode);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath("sub"));
    const QString path = dir.filePath("sub/" + name);
    QVERIFY(touch(path));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);

    makeSingleFileExecutable(path);
    QCOMPARE(int(modeBits(path)), expectedMode);
    // Never world-writable, whatever the mode was before.
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0777) == 0);
    makeSingleFileExecutable(path);
    QCOMPARE(int(modeBits(path)), expectedMode == 0755 ? 0755 : 0777);
}

void UpdateProcessTest::removesMovedAsideCopiesOnly()
{
    QTemporaryDir dir;
    QDir root(dir.path());
    for (const char* name : {"_old_update", "_old_libQtCore.so.4", "_old_libQtNetwork.so.4",
                             "update", "sub/_old_update", "_old_client", "_old_Update"})
        QVERIFY(root.mkpath(QFileInfo(dir.filePath(name)).path()) && touch(dir.filePath(name)));
    // A directory under a moved-aside name is not a copy of ours.
    QVERIFY(root.mkpath("_old_libQtGui.so.4/x"));
    removeOldFiles(dir.path());
    QCOMPARE(root.entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
             (QStringList{"_old_Update", "_old_client", "_old_libQtGui.so.4", "sub", "update"}));
    QVERIFY(QFileInfo::exists(dir.filePath("sub/_old_update")));
    removeOldFiles(dir.filePath("missing"));
}

QTEST_GUILESS_MAIN(UpdateProcessTest)
#include "tst_startup_updateprocess.moc"
