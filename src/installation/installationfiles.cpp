#include "installationfiles.h"
#include "approottesting.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

static const QStringList executableFiles = {QStringLiteral("vm3client_linux_x86"),
                                            QStringLiteral("update")};
static const QStringList executableSuffixes = {QStringLiteral("so"), QStringLiteral("so.4")};

static QString& appRootOverride()
{
    static QString path;
    return path;
}

void setAppRootPathForTesting(const QString& path)
{
    appRootOverride() = path;
}

QString getAppRootPath()
{
    const QString& forced = appRootOverride();
    if (!forced.isEmpty())
        return QDir::cleanPath(forced);
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // Before the application object exists the kernel still knows where we run from.
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
}

QString getClientBinaryName()
{
    return QStringLiteral("vm3client_linux_x86");
}

const QString& getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

const QStringList& getSpecialFileNames()
{
    static QStringList names;
    if (names.isEmpty()) {
        names << QStringLiteral("update") << QStringLiteral("libQtCore.so.4")
              << QStringLiteral("libQtGui.so.4") << QStringLiteral("libQtNetwork.so.4");
    }
    return names;
}

bool isSpecialFileName(const QString& name)
{
    return getSpecialFileNames().contains(name, Qt::CaseSensitive);
}

void removeOldFiles(const QString& dir)
{
    const QDir root(dir);
    for (const QString& name : getSpecialFileNames()) {
        const QString path = root.filePath(getSpecialFileRenamePrefix() + name);
        const QFileInfo info(path);
        // Only plain files (or links) were moved aside; a directory of that name is not ours.
        if (info.isFile() || info.isSymLink())
            QFile::remove(path);
    }
}

void makeSingleFileExecutable(const QString& path)
{
    const QFileInfo info(path);
    if (!executableFiles.contains(info.fileName()) &&
        !executableSuffixes.contains(info.completeSuffix()))
        return;
    // rwxr-xr-x: nobody but the owner may replace the client or the updater.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadUser | QFile::WriteUser | QFile::ExeUser |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther);
}
