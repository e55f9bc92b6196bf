#include "installationfiles.h"
#include "approottesting.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

static const QStringList executableFiles = {QStringLiteral("vm3client_linux_x86"),
                                            QStringLiteral("update")};

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

// Relative paths inside the installation directory; "*" matches within one path component.
const QStringList& getSpecialFileNames()
{
    static QStringList names;
    if (names.isEmpty()) {
        names = QStringList{
#include "updaterfiles.inc"
        };
    }
    return names;
}

namespace
{

struct SpecialPattern {
    QString directory; // "" for the installation directory itself
    QRegularExpression bareName;
};

const QList<SpecialPattern>& specialPatterns()
{
    static const QList<SpecialPattern> patterns = [] {
        QList<SpecialPattern> list;
        for (const QString& name : getSpecialFileNames()) {
            const int slash = name.lastIndexOf(QLatin1Char('/'));
            list.append({slash < 0 ? QString() : name.left(slash),
                         QRegularExpression(QRegularExpression::wildcardToRegularExpression(
                             name.mid(slash + 1)))});
        }
        return list;
    }();
    return patterns;
}

bool matchesIn(const QString& directory, const QString& bareName)
{
    for (const SpecialPattern& pattern : specialPatterns()) {
        if (pattern.directory == directory && pattern.bareName.match(bareName).hasMatch())
            return true;
    }
    return false;
}

} // namespace

bool isSpecialFileName(const QString& relativePath)
{
    // Only where the updater's own files lie: a client file of the same bare name elsewhere
    // (lib/libz.so.1) is the client's and is replaced like any other.
    const int slash = relativePath.lastIndexOf(QLatin1Char('/'));
    return matchesIn(slash < 0 ? QString() : relativePath.left(slash), relativePath.mid(slash + 1));
}

bool isMovedAsideCopy(const QString& relativePath)
{
    const int slash = relativePath.lastIndexOf(QLatin1Char('/'));
    const QString bareName = relativePath.mid(slash + 1);
    const QString& prefix = getSpecialFileRenamePrefix();
    return bareName.startsWith(prefix) &&
           isSpecialFileName(relativePath.left(slash + 1) + bareName.mid(prefix.size()));
}

bool isReservedInstallPath(const QString& relativePath, bool signedVersion)
{
    static const QRegularExpression sessionFile(QStringLiteral("^session_[0-9]+\\.ini$"));
    if (relativePath == QLatin1String("update.ini") ||
        relativePath == QLatin1String("mirrors.ini") ||
        relativePath == QLatin1String("update.lock") ||
        sessionFile.match(relativePath).hasMatch() ||
        (!signedVersion && relativePath == QLatin1String("update.pub")))
        return true;
    // removeOldFiles and removeUnfinishedFiles delete these at every start of the updater.
    const QString bareName = relativePath.mid(relativePath.lastIndexOf(QLatin1Char('/')) + 1);
    return isMovedAsideCopy(relativePath) || bareName.startsWith(getNewFilePrefix());
}

void removeOldFiles(const QString& dir)
{
    QStringList directories;
    for (const SpecialPattern& pattern : specialPatterns()) {
        if (!directories.contains(pattern.directory))
            directories.append(pattern.directory);
    }
    const QDir root(dir);
    for (const QString& directory : directories) {
        const QDir searched(directory.isEmpty() ? dir : root.filePath(directory));
        const QStringList candidates =
            searched.entryList({getSpecialFileRenamePrefix() + QLatin1Char('*')},
                               QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
        for (const QString& name : candidates) {
            const QString relative = directory.isEmpty() ? name : directory + '/' + name;
            const QString path = searched.filePath(name);
            const QFileInfo info(path);
            // Only plain files (or links) were moved aside; a directory of that name is not ours.
            if (isMovedAsideCopy(relative) && (info.isFile() || info.isSymLink()))
                QFile::remove(path);
        }
    }
}

bool isExecutableFileName(const QString& name)
{
    // Shared libraries with a version after ".so" (libz.so.1, libQt6Core.so.6) too.
    static const QRegularExpression sharedLibrary(QStringLiteral("\\.so(\\.[0-9]+)*$"));
    const QString bareName = QFileInfo(name).fileName();
    return executableFiles.contains(bareName) || sharedLibrary.match(bareName).hasMatch();
}

const QString& getNewFilePrefix()
{
    static const QString prefix = QStringLiteral(".update-new.");
    return prefix;
}

void removeUnfinishedFiles(const QString& dir)
{
    // Links are not followed: only what lies inside the installation is ours to remove.
    QDirIterator it(dir, {getNewFilePrefix() + QLatin1Char('*')},
                    QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (info.isFile() || info.isSymLink())
            QFile::remove(info.filePath());
    }
}

void makeSingleFileExecutable(const QString& path)
{
    if (!isExecutableFileName(QFileInfo(path).fileName()))
        return;
    // rwxr-xr-x: nobody but the owner may replace the client or the updater.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadUser | QFile::WriteUser | QFile::ExeUser |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther);
}
