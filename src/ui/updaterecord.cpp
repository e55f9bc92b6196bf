#include "updaterecord.h"

#include "installationfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <unistd.h>

namespace
{

const char* const recordGroup = "current";
const char* const installedGroup = "installed";

QString iniPath(const QString& iniDir)
{
    return (iniDir.isEmpty() ? getAppRootPath() : iniDir) + QStringLiteral("/update.ini");
}

// The version names the session file that a clean-up deletes: decimal digits only.
bool isVersionText(const QString& version)
{
    if (version.isEmpty())
        return false;
    for (const QChar c : version) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

bool isUsableDownloadDirectory(const QString& dir)
{
    // A damaged or hostile update.ini must not make the updater empty someone else's files.
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir) || QDir::cleanPath(dir) != dir)
        return false;
    const QFileInfo info(dir);
    if (info.isSymLink() || !info.isDir())
        return false;
    if (!info.fileName().startsWith(QLatin1String("voxmere_temp_")))
        return false;
    return info.ownerId() == uint(::geteuid());
}

bool getExistingUpdateData(const QString& iniDir, QString* version, QString* type, QString* dir)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(recordGroup));
    const QString storedVersion = settings.value(QStringLiteral("version")).toString();
    const QString storedDir = settings.value(QStringLiteral("dir")).toString();
    const QString storedType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();

    if (!isVersionText(storedVersion) || !isUsableDownloadDirectory(storedDir))
        return false;
    if (version)
        *version = storedVersion;
    if (type)
        *type = storedType;
    if (dir)
        *dir = storedDir;
    return true;
}

void writeUpdateData(const QString& iniDir, const QString& version, const QString& dir,
                     const QString& type)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(recordGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

bool getInstalledVersion(const QString& iniDir, int* version, QString* type)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(installedGroup));
    const QString storedVersion = settings.value(QStringLiteral("version")).toString();
    const QString storedType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();
    bool ok = false;
    const int number = storedVersion.toInt(&ok, 10);
    if (!isVersionText(storedVersion) || !ok)
        return false;
    *version = number;
    *type = storedType;
    return true;
}

void writeInstalledVersion(const QString& iniDir, const QString& version, const QString& type)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(installedGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

void removeUpdateData(const QString& iniDir)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    settings.remove(QLatin1String(recordGroup));
}
