#include "directoryupdate.h"

#include "filemd5.h"
#include "indexsignature.h"
#include "installationfiles.h"
#include "taskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace
{

// A dangling symbolic link does not "exist", yet writing through it would create its target.
bool pathTaken(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The reader refuses unsafe paths and delete keys, so nothing is touched for a bad index.
bool readIndex(const QString& indexPath, TaskSpecification* fileList, QStringList* deleteKeys)
{
    QSettings index(indexPath, QSettings::IniFormat);
    return fileList->initializeByProductIni(&index) &&
           TaskSpecification::readDeleteKeys(&index, deleteKeys);
}

} // namespace

bool DirectoryUpdate::updateContent(bool noUser, const QString& sourceDir, const QString& indexPath,
                                    const QString& destDir)
{
    complete = false;
    emit message(QStringLiteral("Update content"));

    // The download directory is private to the user, so the index checked here is the one read
    // below.
    if (trustedKeys && !signatureValid(indexPath)) {
        emit message(QStringLiteral("The signature of %1 is missing or not valid.").arg(indexPath));
        return false;
    }

    TaskSpecification fileList;
    QStringList deleteKeys;
    if (!readIndex(indexPath, &fileList, &deleteKeys)) {
        emit message(QStringLiteral("Unable to read %1.").arg(indexPath));
        return false;
    }

    const QDir dest(destDir);
    if (!deleteKeys.isEmpty()) {
        emit message(QStringLiteral("Remove extra files..."));
        for (const QString& key : deleteKeys)
            QFile::remove(dest.absoluteFilePath(key));
    }

    emit message(QStringLiteral("Copy/unpack files..."));
    const quint64 total = fileList.getTotalSize();
    quint64 done = 0;
    emit progress(0, total);

    const QDir source(sourceDir);
    bool allInstalled = true;
    bool aborted = false;
    for (int i = 0; i < fileList.getSize() && !aborted; ++i) {
        FileSpecification entry;
        fileList.get(i, &entry);
        EntryOutcome outcome;
        do {
            outcome = installEntry(noUser, entry, source, dest);
        } while (outcome == EntryOutcome::Retry);

        if (outcome == EntryOutcome::Aborted) {
            aborted = true;
            break;
        }
        if (outcome == EntryOutcome::Failed)
            allInstalled = false;
        done += entry.size;
        emit progress(done, total);
    }

    complete = allInstalled && !aborted;
    emit updateFinished();
    return true;
}

void DirectoryUpdate::requireSignature(std::shared_ptr<const TrustedKeys> keys,
                                       const QString& clientType, const QString& version)
{
    trustedKeys = std::move(keys);
    signedType = clientType;
    signedVersion = version;
}

bool DirectoryUpdate::signatureValid(const QString& indexPath) const
{
    QFile index(indexPath);
    QFile signature(indexPath + QStringLiteral(".sig"));
    if (!index.open(QIODevice::ReadOnly) || !signature.open(QIODevice::ReadOnly))
        return false;
    return trustedKeys->verifyIndex(signedType, signedVersion, index.readAll(),
                                    signature.read(TrustedKeys::signatureSize + 1));
}

DirectoryUpdate::EntryOutcome DirectoryUpdate::installEntry(bool noUser,
                                                            const FileSpecification& entry,
                                                            const QDir& source, const QDir& dest)
{
    const QString sourcePath = source.absoluteFilePath(entry.mirrorPath());
    const QString destination = dest.absoluteFilePath(entry.installedPath());
    if (!QFileInfo::exists(sourcePath))
        return EntryOutcome::Absent;
    // Only a copy that is the one the index lists may replace a file: a stale or damaged one
    // left in the download directory is never installed.
    const auto matches = [](const QString& path, const QString& md5, quint64 size) {
        return quint64(QFileInfo(path).size()) == size &&
               getFileMD5Ex(path).compare(md5, Qt::CaseInsensitive) == 0;
    };
    if (!matches(sourcePath, entry.md5, entry.size)) {
        if (entry.isPacked() ? matches(destination, entry.unpackedMd5, entry.unpackedSize)
                             : matches(destination, entry.md5, entry.size))
            return EntryOutcome::Installed;
        emit message(QStringLiteral("Wrong checksum %1!").arg(sourcePath));
        return EntryOutcome::Failed;
    }

    QString movedAside;
    const QMessageBox::StandardButton cleared = clearDestination(noUser, destination, &movedAside);
    if (cleared == QMessageBox::Abort)
        return EntryOutcome::Aborted;
    if (cleared == QMessageBox::Retry)
        return EntryOutcome::Retry;
    if (cleared != QMessageBox::Ignore)
        return EntryOutcome::Failed;

    QString error;
    const auto fail = [&](const QString& text) {
        error = text;
        emit message(text);
    };

    const QString parent = destination.left(destination.lastIndexOf(QLatin1Char('/')));
    if (!QDir().mkpath(parent))
        fail(QStringLiteral("FAILED creating subdirectory: %1").arg(parent));

    if (!entry.isPacked()) {
        if (!QFile::copy(sourcePath, destination))
            fail(QStringLiteral("Can't copy %1!").arg(entry.mirrorPath()));
    } else {
        if (!unzipFile(destination, sourcePath))
            fail(QStringLiteral("Can't unzip %1!").arg(entry.mirrorPath()));
        if (getFileMD5Ex(destination) != entry.unpackedMd5)
            fail(QStringLiteral("Wrong checksum %1!").arg(destination));
        if (quint64(QFileInfo(destination).size()) != entry.unpackedSize)
            fail(QStringLiteral("Wrong length %1!").arg(destination));
    }

    // A file that did not check out is never left installed, let alone made executable.
    if (error.isEmpty())
        makeSingleFileExecutable(destination);
    else if (movedAside.isEmpty())
        QFile::remove(destination);

    QMessageBox::StandardButton answer = QMessageBox::Ignore;
    if (!error.isEmpty() && !noUser)
        answer = ask(error);

    // The running updater must never be left without its own files: whatever ends this attempt
    // without the new copy in place (abort, retry, ignore) puts the old one back.
    if (!error.isEmpty() && !movedAside.isEmpty())
        restoreMovedAside(movedAside, destination);

    if (answer == QMessageBox::Abort)
        return EntryOutcome::Aborted;
    if (answer == QMessageBox::Retry)
        return EntryOutcome::Retry;
    return error.isEmpty() ? EntryOutcome::Installed : EntryOutcome::Failed;
}

QMessageBox::StandardButton DirectoryUpdate::ensureFileRemoved(bool noUser, const QString& path)
{
    QString movedAside;
    return clearDestination(noUser, path, &movedAside);
}

QMessageBox::StandardButton DirectoryUpdate::clearDestination(bool noUser, const QString& path,
                                                              QString* movedAside)
{
    if (!pathTaken(path))
        return QMessageBox::Ignore;

    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString dir = path.left(slash);
    const QString name = path.mid(slash + 1);

    QFile file(path);
    if (!isSpecialFileName(name)) {
        if (file.remove())
            return QMessageBox::Ignore;
        emit message(QStringLiteral("FAILED to remove file: %1").arg(path));
    } else {
        const QString newPath = dir + QLatin1Char('/') + getSpecialFileRenamePrefix() + name;
        if (file.rename(newPath)) {
            *movedAside = newPath;
            return QMessageBox::Ignore;
        }
        emit message(QStringLiteral("FAILED to rename file: %1 to %2").arg(path, newPath));
    }

    if (noUser)
        return QMessageBox::Ignore;
    return ask(
        tr("Can't overwrite %1.\n%2\nDo you wish to stop update?").arg(path, file.errorString()));
}

void DirectoryUpdate::restoreMovedAside(const QString& movedAside, const QString& destination)
{
    if (pathTaken(destination))
        QFile::remove(destination);
    if (!QFile::rename(movedAside, destination))
        emit message(
            QStringLiteral("FAILED to rename file: %1 to %2").arg(movedAside, destination));
}

QMessageBox::StandardButton DirectoryUpdate::ask(const QString& text)
{
    return QMessageBox::question(nullptr, tr("Question"), text,
                                 QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore,
                                 QMessageBox::Retry);
}

void DirectoryUpdate::emitUpdateFinished()
{
    emit updateFinished();
}
