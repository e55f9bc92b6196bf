#include "installationfiles.h"
#include "producttree.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// Which files are the updater's own, and the modes files get; that the apply and the next start
// use them runs through the binary in the e2e test.
class InstallationTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("special");
        QTest::addColumn<int>("mode"); // after makeSingleFileExecutable on a 0644 file
        for (const char* name : {"update", "libQtCore.so.4", "libQtNetwork.so.4", "libQt6Core.so.6",
                                 "libicuuc.so.72", "plugins/platforms/libqxcb.so"})
            QTest::newRow(name) << QString(name) << true << 0755;
        const QList<QPair<const char*, int>> plain{
            {"Update", 0644},
            {"_old_update", 0644},
            {"vm3client_linux_x86", 0755},
            {"libfoo.so", 0755},
            {"libfoo.so.4.1", 0755},
            {"libfoo.so.txt", 0644},
            {"so.txt", 0644},
            // The client's own files of the same bare names, where the updater's are not.
            {"lib/update", 0755},
            {"lib/libz.so.1", 0755},
            {"libqxcb.so", 0755}};
        for (const auto& [name, mode] : plain)
            QTest::newRow(name) << QString(name) << false << mode;
    }
    void fileNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, special);
        QFETCH(int, mode);
        QCOMPARE(isSpecialFileName(name), special);
        const int slash = name.lastIndexOf('/');
        const QString aside = name.left(slash + 1) + "_old_" + name.mid(slash + 1);
        QCOMPARE(isMovedAsideCopy(aside), special);
        QTemporaryDir dir;
        const QString path = dir.filePath("sub/" + name);
        struct stat info;
        // An executable gets 0755 whatever its mode was; other files keep theirs.
        for (int before : {0644, 0777}) {
            QVERIFY(writeFile(path, "x") && ::chmod(QFile::encodeName(path), mode_t(before)) == 0);
            makeSingleFileExecutable(path);
            QVERIFY(::stat(QFile::encodeName(path), &info) == 0);
            QCOMPARE(int(info.st_mode & 07777), mode == 0755 ? 0755 : before);
        }
    }
};

QTEST_GUILESS_MAIN(InstallationTest)
#include "tst_installation.moc"
