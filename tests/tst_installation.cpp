#include "installationfiles.h"
#include "producttree.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class InstallationTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fileNames_data()
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
    void fileNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, special);
        QFETCH(int, mode);
        QCOMPARE(isSpecialFileName(name), special);
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath("sub/" + name));
        struct stat info;
        // Never world-writable afterwards, whatever the mode was before.
        for (int before : {0644, 0777}) {
            QVERIFY(writeFile(path, "x") && ::chmod(path.constData(), mode_t(before)) == 0);
            makeSingleFileExecutable(QFile::decodeName(path));
            QVERIFY(::stat(path.constData(), &info) == 0);
            QCOMPARE(int(info.st_mode & 07777), mode == 0755 ? 0755 : before);
        }
    }

    void removesMovedAsideCopiesOnly()
    {
        QTemporaryDir dir;
        for (const char* name : {"_old_update", "_old_libQtCore.so.4", "_old_libQtNetwork.so.4",
                                 "update", "sub/_old_update", "_old_client", "_old_Update"})
            QVERIFY(writeFile(dir.filePath(name), "x"));
        // A directory under a moved-aside name is not a copy of ours.
        QVERIFY(QDir(dir.path()).mkpath("_old_libQtGui.so.4/x"));
        removeOldFiles(dir.path());
        QCOMPARE(
            QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
            (QStringList{"_old_Update", "_old_client", "_old_libQtGui.so.4", "sub", "update"}));
        QVERIFY(QFileInfo::exists(dir.filePath("sub/_old_update")));
    }
};

QTEST_GUILESS_MAIN(InstallationTest)
#include "tst_installation.moc"
