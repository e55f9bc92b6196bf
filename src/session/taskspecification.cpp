#include "taskspecification.h"

#include "patching.h"
#include "productmanifest.h"
#include "safepath.h"

#include <QHash>

#include <QSet>
#include <QSettings>

namespace
{

const QString fieldSeparator = QStringLiteral("::");
const QString deleteGroup = QStringLiteral("delete");

quint64 toLength(const QString& field)
{
    // Anything that is not an unsigned decimal number counts as 0.
    return field.toULongLong(nullptr, 10);
}

// md5, size and, for a packed file, the three unpacked fields, from fields[at] on.
void readFileFields(const QStringList& fields, int at, bool packed, FileSpecification* entry)
{
    entry->md5 = fields[at];
    entry->size = toLength(fields[at + 1]);
    if (packed) {
        entry->unpackedMd5 = fields[at + 2];
        entry->unpackedSize = toLength(fields[at + 3]);
        entry->unpackedName = fields[at + 4];
    }
}

// The index value of an entry: md5::size, or md5::size::unpackedMd5::unpackedSize::unpackedName
// for a packed file. parseIndexValue and formatIndexValue are the only places that know it.
bool parseIndexValue(const QString& value, FileSpecification* entry)
{
    const QStringList fields = value.split(fieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (fields.size() != 2 && fields.size() != 5)
        return false;
    readFileFields(fields, 0, fields.size() == 5, entry);
    return true;
}

QString formatIndexValue(const FileSpecification& entry)
{
    QString value = entry.md5 + fieldSeparator + QString::number(entry.size);
    if (entry.isPacked())
        value += fieldSeparator + entry.unpackedMd5 + fieldSeparator +
                 QString::number(entry.unpackedSize) + fieldSeparator + entry.unpackedName;
    return value;
}

// An entry must stay inside the download directory and the installation directory.
bool hasSafePaths(const FileSpecification& entry)
{
    return isSafeRelativePath(entry.mirrorPath()) && isSafeRelativePath(entry.installedPath());
}

// The session-state record: flags::directory::name::md5::size[::unpackedMd5::unpackedSize::
// unpackedName].
QString formatStateRecord(const FileSpecification& entry)
{
    return QString::number(entry.flags) + fieldSeparator + entry.directory + fieldSeparator +
           entry.name + fieldSeparator + formatIndexValue(entry);
}

bool parseStateRecord(const QString& record, FileSpecification* entry)
{
    const QStringList fields = record.split(fieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (fields.size() < 5)
        return false;
    entry->flags = fields[0].toUInt(nullptr, 10);
    entry->directory = fields[1];
    entry->name = fields[2];
    readFileFields(fields, 3, fields.size() == 8, entry);
    return true;
}

} // namespace

bool TaskSpecification::initializeByProductIni(QSettings* settings)
{
    // A bad "delete" key refuses the index before anything is downloaded for it.
    if (!readDeleteKeys(settings, nullptr))
        return false;

    // Listing every key from the top level also makes QSettings parse every section before the
    // groups are entered one by one.
    files.reserve(files.size() + settings->allKeys().size());
    // Two entries installed as one path would be written by two workers at once.
    QSet<QString> installed;
    const QStringList groups = settings->childGroups();
    for (const QString& group : groups) {
        if (group == deleteGroup)
            continue;
        settings->beginGroup(group);
        const QStringList keys = settings->allKeys();
        for (const QString& key : keys) {
            FileSpecification entry;
            entry.directory = group;
            entry.name = key;
            if (!parseIndexValue(settings->value(key).toString(), &entry) || !hasSafePaths(entry) ||
                installed.contains(entry.installedPath())) {
                settings->endGroup();
                return false;
            }
            installed.insert(entry.installedPath());
            totalSize += entry.size;
            files.append(entry);
        }
        settings->endGroup();
    }
    return true;
}

bool TaskSpecification::initializeByProductIni(const QString& path)
{
    QSettings settings(path, QSettings::IniFormat);
    return initializeByProductIni(&settings);
}

bool TaskSpecification::get(int index, FileSpecification* entry) const
{
    if (index < 0 || index >= files.size())
        return false;
    if (entry)
        *entry = files[index];
    return true;
}

bool TaskSpecification::get(int index, QString* directory, QString* name, QString* md5,
                            quint64* size) const
{
    if (index < 0 || index >= files.size())
        return false;
    const FileSpecification& entry = files[index];
    if (directory)
        *directory = entry.directory;
    if (name)
        *name = entry.name;
    if (md5)
        *md5 = entry.md5;
    if (size)
        *size = entry.size;
    return true;
}

void TaskSpecification::resetFlags(unsigned int mask)
{
    for (FileSpecification& entry : files)
        entry.flags &= ~mask;
}

void TaskSpecification::save(QSettings* settings) const
{
    settings->beginWriteArray(QStringLiteral("file"), files.size());
    for (int i = 0; i < files.size(); ++i) {
        settings->setArrayIndex(i);
        settings->setValue(QStringLiteral("v"), formatStateRecord(files[i]));
    }
    settings->endArray();
}

bool TaskSpecification::load(QSettings* settings)
{
    files.clear();
    // totalSize describes the entries held, and those were just dropped.
    totalSize = 0;
    const int count = settings->beginReadArray(QStringLiteral("file"));
    files.reserve(count);
    for (int i = 0; i < count; ++i) {
        settings->setArrayIndex(i);
        FileSpecification entry;
        // The stored format never has fewer than five fields; such a record is skipped.
        if (!parseStateRecord(settings->value(QStringLiteral("v")).toString(), &entry))
            continue;
        append(entry);
    }
    settings->endArray();
    return true;
}

bool TaskSpecification::writeProductIni(QSettings* settings, const QStringList& deletePaths) const
{
    QSet<QPair<QString, QString>> seen;
    QSet<QString> installed;
    for (const FileSpecification& entry : files) {
        // The reader takes the group name as the directory: it must be a single top-level group
        // that is neither the "delete" group nor the toolkit's General section.
        if (entry.directory.contains(QLatin1Char('/')) || entry.directory == deleteGroup ||
            entry.directory.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
            return false;
        if (!hasSafePaths(entry))
            return false;
        // A separator inside a field would change what the reader sees.
        FileSpecification reread;
        if (!parseIndexValue(formatIndexValue(entry), &reread) || reread.md5 != entry.md5 ||
            reread.isPacked() != entry.isPacked() ||
            (entry.isPacked() && (reread.unpackedMd5 != entry.unpackedMd5 ||
                                  reread.unpackedName != entry.unpackedName)))
            return false;
        const QPair<QString, QString> key(entry.directory, entry.name);
        if (seen.contains(key) || installed.contains(entry.installedPath()))
            return false;
        seen.insert(key);
        installed.insert(entry.installedPath());
    }
    for (const QString& path : deletePaths) {
        if (!isSafeDeleteKey(path))
            return false;
    }

    settings->clear();
    for (const FileSpecification& entry : files) {
        settings->beginGroup(entry.directory);
        settings->setValue(entry.name, formatIndexValue(entry));
        settings->endGroup();
    }
    if (!deletePaths.isEmpty()) {
        settings->beginGroup(deleteGroup);
        for (const QString& path : deletePaths)
            settings->setValue(path, QString());
        settings->endGroup();
    }
    return true;
}

void TaskSpecification::append(const FileSpecification& entry)
{
    files.append(entry);
    totalSize += entry.size;
}

bool TaskSpecification::readDeleteKeys(QSettings* settings, QStringList* keys)
{
    // Enumerated from the top level: QSettings parses INI sections lazily, and allKeys() inside
    // a group that was never looked at from the top misses keys of sections such as
    // [delete/sub].
    const QString prefix = deleteGroup + QLatin1Char('/');
    QStringList found;
    const QStringList all = settings->allKeys();
    for (const QString& key : all) {
        if (key.startsWith(prefix))
            found << key.mid(prefix.size());
    }
    if (keys)
        *keys = found;
    for (const QString& key : found) {
        if (!isSafeDeleteKey(key))
            return false;
    }
    return true;
}

bool TaskSpecification::isSafeDeleteKey(const QString& key)
{
    return isSafeRelativePath(key) && key != QLatin1String("update") &&
           key != QLatin1String("update.ini") && key != QLatin1String("mirrors.ini");
}

bool TaskSpecification::applyManifest(const ProductManifest& manifest, QString* error)
{
    QHash<QString, const ManifestFile*> byPath;
    for (const ManifestFile& file : manifest.files)
        byPath.insert(file.path, &file);
    if (byPath.size() != files.size()) {
        *error =
            QStringLiteral("it lists %1 files, the index %2").arg(byPath.size()).arg(files.size());
        return false;
    }
    QHash<QString, int> byInstalledPath;
    for (int i = 0; i < files.size(); ++i) {
        const FileSpecification& entry = files[i];
        const ManifestFile* file = byPath.value(entry.mirrorPath());
        if (!file || file->length != entry.size ||
            file->unpackedSha256.isEmpty() == entry.isPacked()) {
            *error = QStringLiteral("it lists %1 otherwise").arg(entry.mirrorPath());
            return false;
        }
        byInstalledPath.insert(entry.installedPath(), i);
    }
    for (const ManifestPatch& patch : manifest.patches) {
        if (!byInstalledPath.contains(patch.installed) || !isSafeRelativePath(patch.path)) {
            *error = QStringLiteral("its patch %1 has no place").arg(patch.path);
            return false;
        }
    }
    for (FileSpecification& entry : files) {
        const ManifestFile* file = byPath.value(entry.mirrorPath());
        entry.sha256 = file->sha256;
        entry.unpackedSha256 = file->unpackedSha256;
        entry.patches.clear();
        entry.patch = -1;
    }
    for (const ManifestPatch& p : manifest.patches) {
        FileSpecification& entry = files[byInstalledPath.value(p.installed)];
        // The updater maps the old file whole: larger files always come whole.
        if (p.sourceLength <= patching::maximumFileSize &&
            entry.installedSize() <= patching::maximumFileSize)
            entry.patches.append({p.path, p.sha256, p.length, p.sourceSha256, p.sourceLength});
    }
    return true;
}

void TaskSpecification::usePatch(int index, int patch)
{
    FileSpecification& entry = files[index];
    totalSize -= entry.fetchSize();
    entry.patch = patch;
    totalSize += entry.fetchSize();
}
