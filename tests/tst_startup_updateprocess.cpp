#include "producttree.h"
#include "installationfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

static int modeBits(const QString& path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : 0;
}

class UpdateProcessTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fileNames_data();
    void fileNames();
    void removesMovedAsideCopiesOnly();
};

void UpdateProcessTest::fileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("special");
    QTest::addColumn<int>("mode"); // after makeSingleFileExecutable on a 0644 file
    const auto row = [](const char* name, bool special, int mode) {
        QTest::newRow(name) << QString(name) << special << mode;
    };
    row("update", true, 0755);
    row("libQtCore.so.4", true, 0755);
    row("libQtNetwork.so.4", true, 0755);
    row("Update", false, 0644);
    row("lib/update", false, 0755);
    row("_old_update", false, 0644);
    row("vm3client_linux_x86", false, 0755);
    row("libfoo.so", false, 0755);
    row("libfoo.so.4.1", false, 0644);
    row("so.txt", false, 0644);
}

void UpdateProcessTest::fileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, special);
    QFETCH(int, mode);
    QCOMPARE(isSpecialFileName(name), special);

    QTemporaryDir dir;
    const QString path = dir.filePath("sub/" + name);
    QVERIFY(writeFile(path, "x"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
    makeSingleFileExecutable(path);
    QCOMPARE(modeBits(path), mode);
    // Never world-writable, whatever the mode was before.
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0777) == 0);
    makeSingleFileExecutable(path);
    QCOMPARE(modeBits(path), mode == 0755 ? 0755 : 0777);
}

void UpdateProcessTest::removesMovedAsideCopiesOnly()
{
    QTemporaryDir dir;
    QDir root(dir.path());
    for (const char* name : {"_old_update", "_old_libQtCore.so.4", "_old_libQtNetwork.so.4",
                             "update", "sub/_old_update", "_old_client", "_old_Update"})
        QVERIFY(writeFile(dir.filePath(name), "x"));
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
