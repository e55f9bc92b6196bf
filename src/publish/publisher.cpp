#include "publisher.h"

#include "filemd5.h"
#include "installationfiles.h"
#include "patching.h"
#include "productmanifest.h"
#include "release.h"
#include "safepath.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits>
#include <unistd.h>

namespace
{

const QFile::Permissions filePermissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                           QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
const QFile::Permissions dirPermissions =
    filePermissions | QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;

bool isSingleComponent(const QString& name)
{
    return isSafeRelativePath(name) && !name.contains('/');
}

bool isInside(const QString& path, const QString& dir)
{
    return path == dir || path.startsWith(dir.endsWith('/') ? dir : dir + '/');
}

// Mirror servers run as another user; everything published must be world-readable.
void makeReadable(const QString& root)
{
    QFile::setPermissions(root, dirPermissions);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile::setPermissions(path, it.fileInfo().isDir() ? dirPermissions : filePermissions);
    }
}

// Applies the patch as an installation will and compares the result with the entry.
bool patchRebuilds(const QString& patchFile, const QString& referencePath,
                   const FileSpecification& entry)
{
    QFile reference(referencePath);
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    CopyDigest digest;
    digest.writtenAlgorithm = HashAlgorithm::Sha256;
    const bool applied = fd >= 0 && reference.open(QIODevice::ReadOnly | QIODevice::Unbuffered) &&
                         applyPatch(patchFile, reference.handle(), quint64(reference.size()),
                                    entry.installedSize(), fd, &digest);
    if (fd >= 0)
        ::close(fd);
    return applied && digest.writtenChecksum == entry.installedChecksum() &&
           digest.writtenSize == entry.installedSize();
}

bool writeWhole(const QString& path, const QByteArray& data)
{
    QFile out(path);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(data) == data.size() &&
           out.flush();
}

// Written beside and renamed over: a mirror serves the old file or the new one, never a part.
bool replaceWhole(const QString& path, const QByteArray& data)
{
    const QString temporary = path + ".new";
    if (writeWhole(temporary, data) &&
        QFile::setPermissions(temporary, QFile::Permissions(0x6444)) &&
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) ==
            0)
        return true;
    QFile::remove(temporary);
    return false;
}

// A small file whole, or what it holds up to a little past the most a record or a signature
// may have; empty when it cannot be read.
QByteArray readSmall(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(LatestRecord::maximumSize + 1) : QByteArray();
}

bool sameEntry(const FileSpecification& a, const FileSpecification& b)
{
    return a.directory == b.directory && a.name == b.name && a.md5 == b.md5 && a.size == b.size &&
           a.unpackedMd5 == b.unpackedMd5 && a.unpackedSize == b.unpackedSize &&
           a.unpackedName == b.unpackedName && a.sha256 == b.sha256 &&
           a.unpackedSha256 == b.unpackedSha256 && a.pieces == b.pieces;
}

} // namespace

Publisher::Publisher(const PublishOptions& options) : options(options) {}

QString Publisher::versionDir() const
{
    return QDir(options.mirrorDir).absoluteFilePath(canonicalVersion);
}

QString Publisher::indexPath() const
{
    return versionDir() + "/" + options.clientType + ".ini";
}

QString Publisher::signaturePath() const
{
    return options.signKey.isEmpty() ? QString() : signaturePathOf(indexPath());
}

QString Publisher::manifestPath() const
{
    return manifestPathOf(indexPath());
}

quint64 Publisher::patchBytes() const
{
    quint64 total = 0;
    for (const ManifestPatch& p : madePatches)
        total += p.length;
    return total;
}

quint64 Publisher::mirrorBytes() const
{
    quint64 total = 0;
    for (const FileSpecification& e : written)
        total += e.size;
    return total;
}

bool Publisher::matchesPattern(const QString& relativePath, const QString& pattern)
{
    const QByteArray glob = pattern.toUtf8();
    const QByteArray bareName = relativePath.section('/', -1).toUtf8();
    return fnmatch(glob.constData(), relativePath.toUtf8().constData(), FNM_PATHNAME) == 0 ||
           fnmatch(glob.constData(), bareName.constData(), FNM_PATHNAME) == 0;
}

bool Publisher::fail(const QString& text)
{
    error = text;
    return false;
}

bool Publisher::shouldPack(const QString& relativePath) const
{
    return std::any_of(options.packPatterns.cbegin(), options.packPatterns.cend(),
                       [&](const QString& p) { return matchesPattern(relativePath, p); });
}

bool Publisher::checkOptions()
{
    bool ok = false;
    const int number = options.version.toInt(&ok, 10);
    if (!ok || number < 0)
        return fail(QStringLiteral("version \"%1\" is not a decimal number from 0 to %2")
                        .arg(options.version)
                        .arg(std::numeric_limits<int>::max()));
    canonicalVersion = QString::number(number);
    if (canonicalVersion != options.version)
        notes << QStringLiteral(
                     "version \"%1\" is published as %2, the directory the updater asks for")
                     .arg(options.version, canonicalVersion);

    if (!isSingleComponent(options.clientType))
        return fail(
            QStringLiteral("client type \"%1\" is not a plain file name").arg(options.clientType));
    const QString& g = options.group;
    if (!isSingleComponent(g))
        return fail(QStringLiteral("group \"%1\" is not a plain directory name").arg(g));
    if (g == "delete" || g.compare("general", Qt::CaseInsensitive) == 0)
        return fail(
            QStringLiteral("group \"%1\" is not read as a file group by the updater").arg(g));
    const QString index = options.clientType + ".ini";
    if (g == index || g == manifestPathOf(index) || g == signaturePathOf(index) || g == "patches")
        return fail(QStringLiteral("group \"%1\" would collide with the product index").arg(g));
    for (const QString& p : options.packPatterns) {
        if (p.isEmpty())
            return fail(QStringLiteral("empty --pack pattern"));
    }
    for (const QString& from : options.deltaFrom) {
        const int n = from.toInt(&ok, 10);
        if (!ok || n < 0 || QString::number(n) != from || from == canonicalVersion)
            return fail(QStringLiteral("--delta-from \"%1\" is not an earlier published version")
                            .arg(from));
    }

    if (!loadSigner())
        return false;

    const QFileInfo source(options.sourceDir);
    if (!source.isDir())
        return fail(QStringLiteral("source \"%1\" is not a directory").arg(options.sourceDir));
    if (options.mirrorDir.isEmpty())
        return fail(QStringLiteral("no mirror directory given"));
    if (!QDir().mkpath(options.mirrorDir))
        return fail(QStringLiteral("cannot create mirror directory \"%1\"").arg(options.mirrorDir));

    const QString sourcePath = source.canonicalFilePath();
    const QString mirrorPath = QFileInfo(options.mirrorDir).canonicalFilePath();
    if (isInside(mirrorPath, sourcePath))
        return fail(QStringLiteral("the mirror directory lies inside the source directory"));
    if (isInside(sourcePath, mirrorPath + "/" + canonicalVersion))
        return fail(QStringLiteral("the source directory lies inside the version directory"));
    if (QFileInfo::exists(versionDir()) && !options.replace)
        return fail(QStringLiteral("%1 already exists (use --replace to publish it again)")
                        .arg(versionDir()));
    return true;
}

bool Publisher::loadSigner()
{
    if (options.signKey.isEmpty())
        return true;
    if (!signer.loadFile(options.signKey))
        return fail(QStringLiteral("the signing key \"%1\" is not an Ed25519 private key: %2")
                        .arg(options.signKey, signer.errorString()));
    if (!publicHalf.load(signer.publicKeyPem()))
        return fail(QStringLiteral("the public half of the signing key does not load"));
    return true;
}

bool Publisher::readEarlier(const QString& indexPath, const QString& version,
                            TaskSpecification* list, QStringList* deleteKeys, bool needManifest)
{
    // What a signed version builds on is checked like the updater checks it: a mirror tree
    // edited without the key must not get its changes signed into the next version.
    const ReleaseCheck check =
        ReleaseCheck::read(indexPath, options.signKey.isEmpty() ? nullptr : &publicHalf,
                           QFileInfo(indexPath).completeBaseName(), version, list, deleteKeys);
    if (check.problem == ReleaseCheck::SignatureInvalid ||
        check.problem == ReleaseCheck::ManifestMissing)
        return fail(QStringLiteral("version %1 in %2 is not signed by the signing key: %3")
                        .arg(version, indexPath, check.detail));
    if (check.problem != ReleaseCheck::None || (needManifest && !check.usesManifest))
        return fail(QStringLiteral("the index %1 of version %2 is malformed or names paths the "
                                   "updater refuses, or has no manifest: %3")
                        .arg(indexPath, version, check.detail));
    return true;
}

bool Publisher::collectSources(QStringList* relativePaths)
{
    const QDir root(options.sourceDir);
    QDirIterator it(options.sourceDir,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo fi = it.fileInfo();
        const QString rel = root.relativeFilePath(path);
        if (fi.isDir()) {
            if (fi.isSymLink())
                return fail(QStringLiteral("%1 is a symbolic link to a directory").arg(rel));
            continue;
        }
        if (!fi.isFile())
            return fail(QStringLiteral("%1 is not a regular file").arg(rel));
        if (!isSafeRelativePath(rel))
            return fail(QStringLiteral("\"%1\": the updater refuses this path").arg(rel));
        if (isReservedInstallPath(rel, !options.signKey.isEmpty()))
            return fail(QStringLiteral("%1 belongs to the installation itself and must not be "
                                       "shipped")
                            .arg(rel));
        relativePaths->append(rel);
    }
    if (relativePaths->isEmpty())
        return fail(QStringLiteral("source \"%1\" holds no files").arg(options.sourceDir));
    std::sort(relativePaths->begin(), relativePaths->end());

    // A packed file is stored as NAME.gz; that name must not be taken already, neither by a
    // file nor by a directory.
    QHash<QString, QString> byMirrorName;
    QSet<QString> mirrorDirs;
    for (const QString& rel : *relativePaths) {
        const bool packed = shouldPack(rel);
        if (packed && rel.contains("::"))
            return fail(QStringLiteral("%1 cannot be packed: \"::\" separates the fields of "
                                       "the index value that names it")
                            .arg(rel));
        const QString mirrorName = packed ? rel + ".gz" : rel;
        if (byMirrorName.contains(mirrorName))
            return fail(QStringLiteral("%1 and %2 would both be stored as %3")
                            .arg(byMirrorName.value(mirrorName), rel, mirrorName));
        byMirrorName.insert(mirrorName, rel);
        for (int i = mirrorName.indexOf('/'); i >= 0; i = mirrorName.indexOf('/', i + 1))
            mirrorDirs.insert(mirrorName.left(i));
    }
    for (auto it = byMirrorName.cbegin(); it != byMirrorName.cend(); ++it) {
        if (mirrorDirs.contains(it.key()))
            return fail(QStringLiteral("%1 would be stored as %2, which is also a directory")
                            .arg(it.value(), it.key()));
    }
    return true;
}

bool Publisher::collectDeletes(const QStringList& installedPaths)
{
    const QSet<QString> installed(installedPaths.cbegin(), installedPaths.cend());
    QStringList candidates;

    if (!options.previousIndex.isEmpty()) {
        const QString& prev = options.previousIndex;
        if (!QFileInfo(prev).isFile())
            return fail(QStringLiteral("previous index \"%1\" does not exist").arg(prev));
        TaskSpecification old;
        QStringList oldDeletes;
        if (!readEarlier(prev, QFileInfo(prev).absoluteDir().dirName(), &old, &oldDeletes, false))
            return false;
        QStringList oldInstalled;
        for (int i = 0; i < old.getSize(); ++i) {
            FileSpecification e;
            old.get(i, &e);
            oldInstalled << e.installedPath();
        }
        // Earlier deletions are carried forward: users may skip versions.
        candidates << oldInstalled << oldDeletes;

        for (const QString& path : oldInstalled) {
            for (int i = path.indexOf('/'); i >= 0; i = path.indexOf('/', i + 1)) {
                if (installed.contains(path.left(i)))
                    notes << QStringLiteral("%1 replaces a directory of the previous version; the "
                                            "updater removes files, not directories")
                                 .arg(path.left(i));
            }
        }
        for (const QString& path : std::as_const(candidates)) {
            if (!installed.contains(path) && !TaskSpecification::isSafeDeleteKey(path))
                notes << QStringLiteral("%1 is no longer shipped, but the updater never deletes "
                                        "it; it stays in installations")
                             .arg(path);
        }
    }

    for (const QString& path : options.extraDeletes) {
        if (!TaskSpecification::isSafeDeleteKey(path))
            return fail(QStringLiteral("refusing to delete \"%1\": the updater refuses this path")
                            .arg(path));
        if (installed.contains(path))
            return fail(
                QStringLiteral("%1 is shipped by this version and cannot be deleted").arg(path));
        candidates << path;
    }

    QSet<QString> seen;
    for (const QString& path : std::as_const(candidates)) {
        if (installed.contains(path) || seen.contains(path) ||
            !TaskSpecification::isSafeDeleteKey(path))
            continue;
        seen.insert(path);
        deletes << path;
    }
    notes.removeDuplicates();
    std::sort(deletes.begin(), deletes.end());
    return true;
}

bool Publisher::writeFiles(const QString& stagingDir, const QStringList& relativePaths)
{
    const QDir source(options.sourceDir);
    const QDir staging(stagingDir);
    for (const QString& rel : relativePaths) {
        const QString from = source.absoluteFilePath(rel);
        FileSpecification e;
        e.directory = options.group;
        e.name = rel;
        if (shouldPack(rel)) {
            e.name = rel + ".gz";
            e.unpackedName = rel;
            e.unpackedSize = quint64(QFileInfo(from).size());
            if (!fileMd5AndSha256(from, &e.unpackedMd5, &e.unpackedSha256))
                return fail(QStringLiteral("cannot read %1").arg(from));
        }
        const QString to = staging.absoluteFilePath(e.mirrorPath());
        if (!QDir().mkpath(QFileInfo(to).absolutePath()))
            return fail(QStringLiteral("cannot create the directory of %1").arg(to));
        if (e.isPacked() ? !zipFile(to, from) : !QFile::copy(from, to))
            return fail(QStringLiteral("cannot write %1 from %2").arg(to, from));
        e.size = quint64(QFileInfo(to).size());
        if (!fileMd5AndSha256(to, &e.md5, &e.sha256))
            return fail(QStringLiteral("cannot read back %1").arg(to));
        // Pieces let an updater check a part of a large file it kept.
        e.pieceLength = ProductManifest::pieceLengthFor(e.size);
        if (e.pieceLength > 0 && (e.pieces = pieceChecksums(to, e.pieceLength)).isNull())
            return fail(QStringLiteral("cannot read back %1").arg(to));
        written.append(e);
    }
    return true;
}

bool Publisher::writeIndex(const QString& stagingDir)
{
    TaskSpecification fileList;
    for (const FileSpecification& e : std::as_const(written))
        fileList.append(e);
    const QString path = stagingDir + "/" + options.clientType + ".ini";
    {
        QSettings settings(path, QSettings::IniFormat);
        if (!fileList.writeProductIni(&settings, deletes))
            return fail(QStringLiteral("the product index refuses an entry of this version"));
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return fail(QStringLiteral("cannot write %1").arg(path));
    }

    // The manifest binds the index by its exact bytes, so it is written after them.
    ProductManifest manifest;
    manifest.indexSha256 = fileChecksum(path, HashAlgorithm::Sha256);
    for (const FileSpecification& e : std::as_const(written))
        manifest.files.append(
            {e.mirrorPath(), e.sha256, e.size, e.unpackedSha256, e.pieceLength, e.pieces});
    manifest.patches = madePatches;
    if (manifest.indexSha256.isNull() || !writeWhole(manifestPathOf(path), manifest.toText()))
        return fail(QStringLiteral("cannot write %1").arg(manifestPathOf(path)));
    return true;
}

// Reads the index and the manifest back as the updater will (with the signature, when signing)
// and unpacks every packed file, so a version that is published is one the updater can install
// exactly.
bool Publisher::verify(const QString& stagingDir)
{
    const QString path = stagingDir + "/" + options.clientType + ".ini";
    TaskSpecification back;
    QStringList backDeletes;
    const ReleaseCheck check =
        ReleaseCheck::read(path, options.signKey.isEmpty() ? nullptr : &publicHalf,
                           options.clientType, canonicalVersion, &back, &backDeletes);
    if (check.problem == ReleaseCheck::SignatureInvalid)
        return fail(QStringLiteral("the signature %1 does not verify with the public key")
                        .arg(signaturePathOf(path)));
    if (check.problem != ReleaseCheck::None || !check.usesManifest)
        return fail(QStringLiteral("the written index %1 and its manifest do not read back: %2")
                        .arg(path, check.detail));

    QHash<QString, FileSpecification> byPath;
    for (int i = 0; i < back.getSize(); ++i) {
        FileSpecification e;
        back.get(i, &e);
        byPath.insert(e.mirrorPath(), e);
    }
    if (byPath.size() != written.size() || back.getSize() != written.size())
        return fail(QStringLiteral("the written index %1 holds %2 entries instead of %3")
                        .arg(path)
                        .arg(back.getSize())
                        .arg(written.size()));
    int patchesBack = 0;
    for (const FileSpecification& e : std::as_const(written)) {
        if (!sameEntry(byPath.value(e.mirrorPath()), e))
            return fail(QStringLiteral("the written index %1 reads %2 differently")
                            .arg(path, e.mirrorPath()));
        patchesBack += byPath.value(e.mirrorPath()).patches.size();
    }
    if (patchesBack != madePatches.size())
        return fail(QStringLiteral("the written manifest lists %1 patches instead of %2")
                        .arg(patchesBack)
                        .arg(madePatches.size()));
    std::sort(backDeletes.begin(), backDeletes.end());
    if (backDeletes != deletes)
        return fail(QStringLiteral("the written index %1 reads its \"delete\" group differently")
                        .arg(path));

    QTemporaryDir scratch;
    if (!scratch.isValid())
        return fail(QStringLiteral("cannot create a temporary directory"));
    const QString unpacked = scratch.filePath(QStringLiteral("unpacked"));
    for (const FileSpecification& e : std::as_const(written)) {
        if (!e.isPacked())
            continue;
        const QString packed = stagingDir + "/" + e.mirrorPath();
        if (!unzipFile(unpacked, packed) ||
            fileChecksum(unpacked, HashAlgorithm::Sha256) != e.unpackedSha256 ||
            quint64(QFileInfo(unpacked).size()) != e.unpackedSize)
            return fail(QStringLiteral("%1 does not unpack to %2").arg(packed, e.unpackedName));
        QFile::remove(unpacked);
    }
    return true;
}

// Signs the index and the manifest as written; verify() then checks the signature with the
// key's public half, the way an installation that trusts the key will.
bool Publisher::sign(const QString& stagingDir)
{
    if (options.signKey.isEmpty())
        return true;
    const QString path = stagingDir + "/" + options.clientType + ".ini";
    QFile index(path), manifest(manifestPathOf(path));
    if (!index.open(QIODevice::ReadOnly) || !manifest.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read back %1").arg(path));
    const QByteArray signature = signer.sign(releaseSignatureMessage(
        options.clientType, canonicalVersion, index.readAll(), manifest.readAll()));
    if (signature.isEmpty())
        return fail(QStringLiteral("signing %1 failed").arg(path));
    if (!writeWhole(signaturePathOf(path), signature))
        return fail(QStringLiteral("cannot write %1").arg(signaturePathOf(path)));
    return true;
}

bool Publisher::makePatches(const QString& stagingDir)
{
    QElapsedTimer timer;
    timer.start();
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return fail(QStringLiteral("cannot create a temporary directory"));
    for (const QString& from : std::as_const(options.deltaFrom)) {
        if (!makePatchesFrom(stagingDir, from, scratch.path()))
            return false;
    }
    patchTime = double(timer.elapsed()) / 1000;
    return true;
}

bool Publisher::makePatchesFrom(const QString& stagingDir, const QString& from,
                                const QString& scratch)
{
    const QString fromDir = QDir(options.mirrorDir).absoluteFilePath(from);
    const QString fromIndex = fromDir + "/" + options.clientType + ".ini";
    TaskSpecification old;
    if (!readEarlier(fromIndex, from, &old, nullptr, true))
        return false;
    QHash<QString, FileSpecification> oldByInstalledPath;
    for (int i = 0; i < old.getSize(); ++i) {
        FileSpecification e;
        old.get(i, &e);
        oldByInstalledPath.insert(e.installedPath(), e);
    }

    for (const FileSpecification& e : std::as_const(written)) {
        const FileSpecification before = oldByInstalledPath.value(e.installedPath());
        if (before.name.isEmpty() || before.installedChecksum() == e.installedChecksum() ||
            before.installedSize() > patching::maximumFileSize ||
            e.installedSize() > patching::maximumFileSize)
            continue;
        // The old content as installations hold it, checked against version M's manifest.
        QString reference = fromDir + "/" + before.mirrorPath();
        if (fileChecksum(reference, HashAlgorithm::Sha256) != before.sha256)
            return fail(QStringLiteral("%1 is not the file version %2 lists").arg(reference, from));
        if (before.isPacked()) {
            const QString unpacked = scratch + "/reference";
            if (!unzipFile(unpacked, reference) ||
                fileChecksum(unpacked, HashAlgorithm::Sha256) != before.unpackedSha256)
                return fail(
                    QStringLiteral("%1 does not unpack to %2").arg(reference, before.unpackedName));
            reference = unpacked;
        }
        MappedFile oldContent, newContent;
        const QString target = QDir(options.sourceDir).absoluteFilePath(e.installedPath());
        if (!oldContent.open(reference) || !newContent.open(target))
            return fail(QStringLiteral("cannot read %1 or %2").arg(reference, target));

        ManifestPatch patch;
        patch.path = "patches/" + from + "/" + e.installedPath() + ".zst";
        patch.installed = e.installedPath();
        patch.sourceSha256 = before.installedChecksum();
        patch.sourceLength = before.installedSize();
        const QString patchFile = stagingDir + "/" + patch.path;
        // Installed paths "x" and "x.zst/y" would want the same name for a patch and a
        // directory: the second one comes whole.
        if (QFileInfo::exists(patchFile) || !QDir().mkpath(QFileInfo(patchFile).absolutePath()))
            continue;
        QString problem;
        if (!makePatch(oldContent, newContent, patchFile, 9, &problem))
            return fail(QStringLiteral("cannot make %1: %2").arg(patchFile, problem));
        patch.length = quint64(QFileInfo(patchFile).size());
        patch.sha256 = fileChecksum(patchFile, HashAlgorithm::Sha256);
        // Worth it only well below the whole download; and only what rebuilds exactly is kept.
        if (patch.length >= e.size / 2 || !patchRebuilds(patchFile, reference, e)) {
            QFile::remove(patchFile);
            continue;
        }
        madePatches.append(patch);
    }
    return true;
}

bool Publisher::moveIntoPlace(const QString& stagingDir)
{
    makeReadable(stagingDir);
    const QString target = versionDir();
    QString previous;
    if (QFileInfo::exists(target)) {
        previous = QDir(options.mirrorDir).absoluteFilePath("." + canonicalVersion + ".replaced");
        QDir(previous).removeRecursively();
        if (!QDir().rename(target, previous))
            return fail(QStringLiteral("cannot move the old %1 aside").arg(target));
    }
    if (!QDir().rename(stagingDir, target)) {
        if (!previous.isEmpty())
            QDir().rename(previous, target);
        return fail(QStringLiteral("cannot move the new version into %1").arg(target));
    }
    if (!previous.isEmpty())
        QDir(previous).removeRecursively();
    return true;
}

bool Publisher::run()
{
    error.clear();
    notes.clear();
    written.clear();
    deletes.clear();

    QStringList relativePaths;
    if (!checkOptions() || !collectSources(&relativePaths))
        return false;
    // Nothing is renamed on installation, so the source paths are the installed paths.
    if (!collectDeletes(relativePaths))
        return false;

    QTemporaryDir staging(
        QDir(options.mirrorDir).absoluteFilePath("." + canonicalVersion + ".publishing-XXXXXX"));
    if (!staging.isValid())
        return fail(
            QStringLiteral("cannot create a working directory in %1").arg(options.mirrorDir));
    return writeFiles(staging.path(), relativePaths) && makePatches(staging.path()) &&
           writeIndex(staging.path()) && sign(staging.path()) && verify(staging.path()) &&
           moveIntoPlace(staging.path()) && writeLatest(canonicalVersion.toInt(), false);
}

QString Publisher::latestPath() const
{
    return QDir(options.mirrorDir).absoluteFilePath(latestRecordNameOf(options.clientType));
}

// A signed version newer than the one the record names becomes the latest; an older one, or a
// version published again, leaves the record to the publisher's timer.
bool Publisher::writeLatest(int version, bool refresh)
{
    LatestRecord current;
    if (options.signKey.isEmpty() ||
        (!refresh && LatestRecord::parse(readSmall(latestPath()), &current).isEmpty() &&
         current.type == options.clientType && current.version >= version))
        return true;
    LatestRecord record;
    record.type = options.clientType;
    record.version = version;
    record.expires = QDateTime::currentDateTimeUtc().addDays(options.expiresDays);
    const QByteArray text = record.toText();
    const QByteArray signature = signer.sign(latestSignatureMessage(options.clientType, text));
    // The signature goes first: an updater that reads the pair in between finds a mismatch,
    // never an unsigned record, and tries again or elsewhere.
    if (signature.isEmpty() || !replaceWhole(signaturePathOf(latestPath()), signature) ||
        !replaceWhole(latestPath(), text))
        return fail(QStringLiteral("cannot write %1").arg(latestPath()));
    latestWritten = QStringLiteral("%1 names version %2 until %3")
                        .arg(latestPath())
                        .arg(version)
                        .arg(LatestRecord::timeText(record.expires));
    return true;
}

bool Publisher::refreshLatest()
{
    error.clear();
    notes.clear();
    if (options.signKey.isEmpty())
        return fail(QStringLiteral("--refresh-latest needs --sign-key"));
    if (!loadSigner())
        return false;
    const QByteArray text = readSmall(latestPath());
    LatestRecord current;
    if (!LatestRecord::parse(text, &current).isEmpty() || current.type != options.clientType ||
        !publicHalf.verify(latestSignatureMessage(options.clientType, text),
                           readSmall(signaturePathOf(latestPath()))))
        return fail(QStringLiteral("%1 is missing, malformed or not signed by the signing key")
                        .arg(latestPath()));
    return writeLatest(current.version, true);
}
