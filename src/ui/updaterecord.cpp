#include "updaterecord.h"

#include "inifile.h"
#include "installationfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <unistd.h>

namespace
{

const char* const recordGroup = "current";
const char* const installedGroup = "installed";
const char* const rateKey = "update/limit-rate";

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

// Replaces a group of the file (none: removes it), every other group kept; false when the file
// could not be written (a directory in its place, a read-only file or disk).
bool writeGroup(const QString& iniDir, const char* group,
                const QList<QPair<QString, QString>>& values)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    parseWholeIni(settings);
    settings.remove(QLatin1String(group));
    settings.beginGroup(QLatin1String(group));
    for (const auto& [key, value] : values)
        settings.setValue(key, value);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
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
    parseWholeIni(settings);
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

bool writeUpdateData(const QString& iniDir, const QString& version, const QString& dir,
                     const QString& type)
{
    return writeGroup(iniDir, recordGroup,
                      {{QStringLiteral("version"), version},
                       {QStringLiteral("dir"), dir},
                       {QStringLiteral("type"), type}});
}

bool getInstalledVersion(const QString& iniDir, int* version, QString* type)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    parseWholeIni(settings);
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

bool writeInstalledVersion(const QString& iniDir, const QString& version, const QString& type)
{
    return writeGroup(iniDir, installedGroup,
                      {{QStringLiteral("version"), version}, {QStringLiteral("type"), type}});
}

bool removeUpdateData(const QString& iniDir)
{
    return writeGroup(iniDir, recordGroup, {});
}

QString getRateLimitText(const QString& iniDir)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    parseWholeIni(settings);
    const QVariant value = settings.value(QLatin1String(rateKey));
    // QSettings reads "1,5M" as a list: it stays as written, and is refused as a limit.
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString().trimmed();
}

bool writeRateLimitText(const QString& iniDir, const QString& text)
{
    QSettings settings(iniPath(iniDir), QSettings::IniFormat);
    parseWholeIni(settings);
    if (text.isEmpty())
        settings.remove(QLatin1String(rateKey));
    else
        settings.setValue(QLatin1String(rateKey), text);
    settings.sync();
    return settings.status() == QSettings::NoError;
}
