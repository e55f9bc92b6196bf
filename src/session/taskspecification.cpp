#include "taskspecification.h"

#include "indexreader.h"
#include "installationfiles.h"
#include "patching.h"
#include "productmanifest.h"
#include "safepath.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QSettings>

#include <algorithm>

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

bool isMd5(const QString& text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    return true;
}

bool readLength(const QString& field, quint64* length)
{
    // Digits only: no sign, no blanks; at most maximumLength.
    if (field.isEmpty() || field.size() > 15)
        return false;
    for (const QChar c : field) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    *length = field.toULongLong(nullptr, 10);
    return *length <= TaskSpecification::maximumLength;
}

// parseIndexValue for a value from a mirror: what is wrong with it, or an empty text.
QString readIndexValue(const QString& value, FileSpecification* entry)
{
    const QStringList fields = value.split(fieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (fields.size() != 2 && fields.size() != 5)
        return QStringLiteral("not MD5::LENGTH or MD5::LENGTH::MD5::LENGTH::NAME");
    readFileFields(fields, 0, fields.size() == 5, entry);
    if (!isMd5(entry->md5) || (entry->isPacked() && !isMd5(entry->unpackedMd5)))
        return QStringLiteral("a checksum that is not 32 hexadecimal digits");
    if (!readLength(fields[1], &entry->size) ||
        (entry->isPacked() && !readLength(fields[3], &entry->unpackedSize)))
        return QStringLiteral("a length that is not a decimal number up to %1")
            .arg(TaskSpecification::maximumLength);
    entry->md5 = entry->md5.toLower();
    entry->unpackedMd5 = entry->unpackedMd5.toLower();
    return QString();
}

// What is wrong when a path repeats or is the directory of another: one name in a directory is
// either a file or a directory.
QString pathConflict(QStringList paths)
{
    // Sorted with "/" below every other character, a path that has paths below it is followed
    // by one of them.
    const auto key = [](QChar c) { return c == QLatin1Char('/') ? 1 : int(c.unicode()); };
    std::sort(paths.begin(), paths.end(), [&key](const QString& a, const QString& b) {
        const qsizetype common = qMin(a.size(), b.size());
        for (qsizetype i = 0; i < common; ++i) {
            if (a[i] != b[i])
                return key(a[i]) < key(b[i]);
        }
        return a.size() < b.size();
    });
    for (qsizetype i = 1; i < paths.size(); ++i) {
        const QString &before = paths[i - 1], &path = paths[i];
        if (path == before)
            return QStringLiteral("%1 is listed twice").arg(path);
        if (path.size() > before.size() && path[before.size()] == QLatin1Char('/') &&
            path.startsWith(before))
            return QStringLiteral("%1 is also the directory of %2").arg(before, path);
    }
    return QString();
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

QString TaskSpecification::readProductIndex(const QByteArray& text,
                                            const QStringList& metadataNames, bool signedVersion,
                                            QStringList* deleteKeys)
{
    if (text.size() > ProductManifest::maximumSize)
        return QStringLiteral("it is larger than %1 bytes").arg(ProductManifest::maximumSize);
    QVector<FileSpecification> read;
    QStringList deletes;
    quint64 total = 0;
    QString path, value, directory;
    IndexReader reader(text);
    // Where a refusal is, said only when there is one.
    const auto line = [&reader] { return QStringLiteral("line %1: ").arg(reader.line()); };
    while (reader.next(&path, &value)) {
        if (read.size() + deletes.size() >= maximumEntries)
            return line() + QStringLiteral("more than %1 entries").arg(maximumEntries);
        const qsizetype slash = path.indexOf(QLatin1Char('/'));
        const QStringView group = QStringView(path).left(slash);
        if (group == deleteGroup) {
            deletes.append(path.mid(slash + 1));
            if (!isSafeDeleteKey(deletes.last()))
                return line() + QStringLiteral("the deletion of %1 is refused").arg(deletes.last());
            continue;
        }
        // The entries of a group share its name.
        if (group != directory)
            directory = group.toString();
        FileSpecification entry;
        entry.directory = directory;
        entry.name = path.mid(slash + 1);
        QString problem = readIndexValue(value, &entry);
        if (problem.isEmpty() && !hasSafePaths(entry))
            problem = QStringLiteral("a path outside the directories");
        if (problem.isEmpty() && isReservedInstallPath(entry.installedPath(), signedVersion))
            problem =
                QStringLiteral("%1 is the installation's own file").arg(entry.installedPath());
        if (problem.isEmpty() && (total += entry.size) > maximumLength)
            problem = QStringLiteral("the lengths add up to more than %1").arg(maximumLength);
        if (!problem.isEmpty())
            return line() + path + QStringLiteral(": ") + problem;
        read.append(entry);
    }
    if (!reader.error().isEmpty())
        return reader.error();

    // In the order of QSettings, which read indexes before.
    std::sort(read.begin(), read.end(), [](const FileSpecification& a, const FileSpecification& b) {
        return a.directory != b.directory ? a.directory < b.directory : a.name < b.name;
    });
    deletes.sort();
    QStringList installed, downloaded = metadataNames;
    for (const FileSpecification& entry : std::as_const(read)) {
        installed.append(entry.installedPath());
        downloaded.append(entry.mirrorPath());
    }
    QString problem = pathConflict(downloaded);
    if (problem.isEmpty())
        problem = pathConflict(installed);
    if (problem.isEmpty())
        problem = pathConflict(deletes);
    if (!problem.isEmpty())
        return problem;
    files = std::move(read);
    totalSize = total;
    if (deleteKeys)
        *deleteKeys = deletes;
    return QString();
}

bool TaskSpecification::initializeByProductIni(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) &&
           readProductIndex(file.read(ProductManifest::maximumSize + 1), {}, false, nullptr)
               .isEmpty();
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

bool TaskSpecification::isSafeDeleteKey(const QString& key)
{
    // Nor the trusted keys: without them a signed installation would take unsigned versions.
    return isSafeRelativePath(key) && key != QLatin1String("update") &&
           !isReservedInstallPath(key, false);
}

bool TaskSpecification::applyManifest(const ProductManifest& manifest,
                                      const QStringList& metadataNames, QString* error)
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
    QStringList downloaded = metadataNames;
    for (const FileSpecification& entry : std::as_const(files))
        downloaded.append(entry.mirrorPath());
    for (const ManifestPatch& patch : manifest.patches) {
        // A patch saves bytes, so the whole download never grows with patches.
        if (!byInstalledPath.contains(patch.installed) || !isSafeRelativePath(patch.path) ||
            patch.length >= files[byInstalledPath.value(patch.installed)].size) {
            *error = QStringLiteral("its patch %1 has no place").arg(patch.path);
            return false;
        }
        downloaded.append(patch.path);
    }
    const QString conflict = pathConflict(downloaded);
    if (!conflict.isEmpty()) {
        *error = QStringLiteral("in the download directory, ") + conflict;
        return false;
    }
    for (FileSpecification& entry : files) {
        const ManifestFile* file = byPath.value(entry.mirrorPath());
        entry.sha256 = file->sha256;
        entry.unpackedSha256 = file->unpackedSha256;
        entry.pieceLength = file->pieceLength;
        entry.pieces = file->pieces;
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
