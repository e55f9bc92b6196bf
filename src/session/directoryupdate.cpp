#include "directoryupdate.h"

#include "filemd5.h"
#include "indexsignature.h"
#include "installationfiles.h"
#include "patching.h"
#include "release.h"
#include "taskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// What a worker made of one entry: the new file written beside its destination, complete,
// flushed and with its mode, or the failures on the way.
struct DirectoryUpdate::Prepared {
    enum Kind { Absent, SourceBad, Written } kind = Absent;
    QString source;
    QString temporary;               // the new file, when written and checked
    QStringList failures;            // failure texts in the order of the steps
    bool destinationCurrent = false; // source bad, but the installed file is already the one
    bool patchFailed = false;        // rebuilt from a patch, which did not give the new content
};

namespace
{

using Prepared = DirectoryUpdate::Prepared;

// A few new files ahead of the one being installed at most: the disk holds few that are not
// installed yet.
constexpr int lookahead = 8;

// A dangling symbolic link does not "exist", yet writing through it would create its target.
bool pathTaken(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool matches(const QString& path, const QString& checksum, quint64 size)
{
    return quint64(QFileInfo(path).size()) == size &&
           fileChecksum(path, checksumAlgorithm(checksum)).compare(checksum, Qt::CaseInsensitive) ==
               0;
}

Prepared finish(Prepared p, const FileSpecification& entry, const QString& temporary, int fd,
                bool written, bool executable);
bool rebuild(const FileSpecification& entry, const QStringList& patches, const QString& destination,
             int fd, CopyDigest* digest, const std::atomic<bool>& stop);

// Runs on a worker thread.
Prepared prepare(const FileSpecification& entry, const QString& sourceRoot, const QString& destRoot,
                 const std::atomic<bool>& stop)
{
    Prepared p;
    const QString sourcePath = QDir(sourceRoot).absoluteFilePath(entry.mirrorPath());
    const QString destination = QDir(destRoot).absoluteFilePath(entry.installedPath());
    p.source = sourcePath;
    // Without the whole file, a patch of it that was fetched rebuilds it from the installed one.
    QStringList patches;
    for (const PatchSpecification& patch : std::as_const(entry.patches))
        patches << QDir(sourceRoot).absoluteFilePath(patch.path);
    const bool whole = QFileInfo::exists(sourcePath);
    if (!whole && std::none_of(patches.cbegin(), patches.cend(),
                               [](const QString& path) { return QFileInfo::exists(path); }))
        return p;

    const int slash = destination.lastIndexOf(QLatin1Char('/'));
    const QString parent = destination.left(slash);
    if (!QDir().mkpath(parent))
        p.failures << QStringLiteral("FAILED creating subdirectory: %1").arg(parent);

    const QString name = destination.mid(slash + 1);
    const QString temporary = parent + QLatin1Char('/') + getNewFilePrefix() + name;
    const QByteArray path = QFile::encodeName(temporary);
    // Whatever an interrupted run left under the name goes; the new file is always our own.
    ::unlink(path.constData());
    const bool executable = isExecutableFileName(name);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          executable ? 0755 : 0666);
    CopyDigest digest;
    digest.sourceAlgorithm = checksumAlgorithm(entry.checksum());
    digest.writtenAlgorithm = checksumAlgorithm(entry.installedChecksum());
    if (!whole) {
        const bool rebuilt = fd >= 0 && rebuild(entry, patches, destination, fd, &digest, stop);
        if (!rebuilt ||
            digest.writtenChecksum.compare(entry.installedChecksum(), Qt::CaseInsensitive) != 0 ||
            digest.writtenSize != entry.installedSize())
            p.failures << QStringLiteral("Can't patch %1!").arg(destination);
        p.patchFailed = !p.failures.isEmpty();
        p.kind = Prepared::Written;
        return finish(p, entry, temporary, fd, rebuilt, executable);
    }
    bool written = fd >= 0 && copyHashed(sourcePath, fd, entry.isPacked(), &digest, &stop);
    const auto discard = [&] {
        if (fd >= 0)
            ::close(fd);
        ::unlink(path.constData());
    };

    // Only a copy that is the one the index lists may replace a file: a stale or damaged one
    // left in the download directory is never installed.
    if (written && (digest.sourceSize != entry.size ||
                    digest.sourceChecksum.compare(entry.checksum(), Qt::CaseInsensitive) != 0)) {
        discard();
        p.kind = Prepared::SourceBad;
        p.destinationCurrent = matches(destination, entry.installedChecksum(),
                                       entry.isPacked() ? entry.unpackedSize : entry.size);
        return p;
    }
    p.kind = Prepared::Written;
    if (!entry.isPacked()) {
        if (!written)
            p.failures << QStringLiteral("Can't copy %1!").arg(entry.mirrorPath());
    } else {
        if (!written)
            p.failures << QStringLiteral("Can't unzip %1!").arg(entry.mirrorPath());
        if (!written ||
            digest.writtenChecksum.compare(entry.installedChecksum(), Qt::CaseInsensitive) != 0)
            p.failures << QStringLiteral("Wrong checksum %1!").arg(destination);
        if (!written || digest.writtenSize != entry.unpackedSize)
            p.failures << QStringLiteral("Wrong length %1!").arg(destination);
    }
    return finish(p, entry, temporary, fd, written, executable);
}

Prepared finish(Prepared p, const FileSpecification& entry, const QString& temporary, int fd,
                bool written, bool executable)
{
    const QByteArray path = QFile::encodeName(temporary);
    // rwxr-xr-x whatever the umask: nobody but the owner may replace the client or the updater.
    if (written && executable && ::fchmod(fd, 0755) != 0)
        written = false;
    // On the disk before it gets the destination's name: after a power cut the name holds the
    // old content or the whole new one.
    if (written && ::fsync(fd) != 0)
        written = false;
    if (fd >= 0 && ::close(fd) != 0)
        written = false;
    if (!written || !p.failures.isEmpty()) {
        if (p.failures.isEmpty())
            p.failures << (entry.isPacked() ? QStringLiteral("Can't unzip %1!")
                                            : QStringLiteral("Can't copy %1!"))
                              .arg(entry.mirrorPath());
        ::unlink(path.constData());
        return p;
    }
    p.temporary = temporary;
    return p;
}

// The installed file is the reference: the patch taken is the one whose source it is, checked
// by its own checksum and length as it is read.
bool rebuild(const FileSpecification& entry, const QStringList& patches, const QString& destination,
             int fd, CopyDigest* digest, const std::atomic<bool>& stop)
{
    QFile reference(destination);
    if (!reference.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    // The verification chose the patch by the installed file's checksum; a patch of another
    // source rebuilds something else, which the checks below refuse, so the installed file is
    // not read a second time to find it. Usually one patch of the entry lies at hand.
    for (int k = 0; k < entry.patches.size(); ++k) {
        const PatchSpecification& patch = entry.patches[k];
        if (patch.sourceSize != quint64(reference.size()) || !QFileInfo::exists(patches[k]))
            continue;
        digest->sourceAlgorithm = HashAlgorithm::Sha256;
        if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0 &&
            applyPatch(patches[k], reference.handle(), patch.sourceSize, entry.installedSize(), fd,
                       digest, &stop) &&
            digest->sourceChecksum == patch.sha256 && digest->sourceSize == patch.size &&
            digest->writtenChecksum == entry.installedChecksum() &&
            digest->writtenSize == entry.installedSize())
            return true;
    }
    return false;
}

} // namespace

DirectoryUpdate::DirectoryUpdate()
{
    // Flushing waits for the disk rather than a core: more writers keep it busy.
    pool.setMaxThreadCount(qMax(4, 2 * QThread::idealThreadCount()));
}

DirectoryUpdate::~DirectoryUpdate()
{
    // Only when the owner goes mid-run: the workers stop within one block (the pool, the last
    // member, waits for them), and the new files nobody installed go.
    stopping = true;
    for (const Prepared& p : std::as_const(ready))
        dropNew(p);
}

bool DirectoryUpdate::updateContent(bool noUser, const QString& sourceDir, const QString& indexPath,
                                    const QString& destDir)
{
    complete = false;
    emit message(QStringLiteral("Update content"));

    // The download directory is private to the user, so the files checked here are the ones
    // applied; the check is the one the download made, repeated.
    auto fileList = std::make_unique<TaskSpecification>();
    QStringList deleteKeys;
    const ReleaseCheck check = ReleaseCheck::read(indexPath, trustedKeys.get(), signedType,
                                                  signedVersion, fileList.get(), &deleteKeys);
    switch (check.problem) {
    case ReleaseCheck::None:
        break;
    case ReleaseCheck::SignatureInvalid:
        emit message(QStringLiteral("The signature of %1 is missing or not valid.").arg(indexPath));
        return false;
    case ReleaseCheck::ManifestMissing:
    case ReleaseCheck::ManifestInvalid:
        emit message(QStringLiteral("The manifest of %1 is missing or not valid: %2.")
                         .arg(indexPath, check.detail));
        return false;
    case ReleaseCheck::IndexUnreadable:
        emit message(QStringLiteral("Unable to read %1: %2.").arg(indexPath, check.detail));
        return false;
    }

    const QDir dest(destDir);
    if (!deleteKeys.isEmpty()) {
        emit message(QStringLiteral("Remove extra files..."));
        for (const QString& key : deleteKeys)
            QFile::remove(dest.absoluteFilePath(key));
    }

    emit message(QStringLiteral("Copy/unpack files..."));
    list = std::move(fileList);
    unattended = noUser;
    sourceRoot = sourceDir;
    destRoot = destDir;
    total = list->getTotalSize();
    done = 0;
    next = submitted = inFlight = 0;
    unpatched.clear();
    allInstalled = true;
    aborted = stopRequested = ending = waitingForAnswer = false;
    stopping = false;
    running = true;
    emit progress(0, total);
    // Copying, unpacking, hashing and flushing run on worker threads; this thread renames the
    // finished files into place in index order and asks the questions, from its event loop.
    fill();
    QMetaObject::invokeMethod(this, &DirectoryUpdate::advance, Qt::QueuedConnection);
    return true;
}

void DirectoryUpdate::stop()
{
    if (!running || stopRequested)
        return;
    stopRequested = true;
    // A question open for the file in hand is answered first.
    if (!waitingForAnswer)
        QMetaObject::invokeMethod(this, &DirectoryUpdate::advance, Qt::QueuedConnection);
}

void DirectoryUpdate::fill()
{
    while (!ending && submitted < list->getSize() && submitted - next < lookahead)
        submit(submitted++);
}

void DirectoryUpdate::submit(int i)
{
    FileSpecification entry;
    list->get(i, &entry);
    ++inFlight;
    const bool current = currentFiles.contains(entry.installedPath());
    pool.start([this, i, entry, current] {
        const Prepared p = current ? Prepared() : prepare(entry, sourceRoot, destRoot, stopping);
        QMetaObject::invokeMethod(
            this, [this, i, p] { onPrepared(i, p); }, Qt::QueuedConnection);
    });
}

void DirectoryUpdate::onPrepared(int i, const Prepared& p)
{
    --inFlight;
    if (ending) {
        dropNew(p);
        finishWhenIdle();
        return;
    }
    ready.insert(i, p);
    advance();
}

void DirectoryUpdate::advance()
{
    while (running && !ending && !waitingForAnswer) {
        if (next >= list->getSize() || aborted || stopRequested) {
            end();
            return;
        }
        if (!ready.contains(next))
            return;
        install(next, ready.take(next));
    }
}

void DirectoryUpdate::install(int i, const Prepared& prepared)
{
    FileSpecification entry;
    list->get(i, &entry);
    if (prepared.kind == Prepared::Absent) {
        entryDone(entry, prepared, false);
        return;
    }
    if (prepared.kind == Prepared::SourceBad) {
        if (!prepared.destinationCurrent)
            emit message(QStringLiteral("Wrong checksum %1!").arg(prepared.source));
        entryDone(entry, prepared, !prepared.destinationCurrent);
        return;
    }
    const QString destination = QDir(destRoot).absoluteFilePath(entry.installedPath());
    ensureFileRemoved(destination,
                      [=](UpdateQuestions::Answer answer, const QString& movedAside, bool linked) {
                          if (answer == UpdateQuestions::Ignore) {
                              replace(i, entry, prepared, movedAside, linked);
                              return;
                          }
                          dropNew(prepared);
                          if (answer == UpdateQuestions::Abort)
                              aborted = true;
                          else
                              submit(i);
                      });
}

// The one step that changes the installed file: the name goes from the old content to the whole
// new one.
void DirectoryUpdate::replace(int i, const FileSpecification& entry, const Prepared& prepared,
                              const QString& movedAside, bool linked)
{
    const QString destination = QDir(destRoot).absoluteFilePath(entry.installedPath());
    QString error;
    for (const QString& text : prepared.failures) {
        error = text;
        emit message(text);
    }
    if (error.isEmpty() && !QFile::exists(prepared.temporary))
        error = QStringLiteral("Can't copy %1!").arg(entry.mirrorPath());
    else if (error.isEmpty() && ::rename(QFile::encodeName(prepared.temporary).constData(),
                                         QFile::encodeName(destination).constData()) != 0)
        error = (entry.isPacked() ? QStringLiteral("Can't unzip %1!")
                                  : QStringLiteral("Can't copy %1!"))
                    .arg(entry.mirrorPath());
    if (!error.isEmpty() && prepared.failures.isEmpty())
        emit message(error);
    if (error.isEmpty()) {
        entryDone(entry, prepared, false);
        return;
    }
    dropNew(prepared);
    // The running updater must never be left without its own files: whatever ends this attempt
    // without the new copy in place (abort, retry, ignore) puts the old one back.
    if (!movedAside.isEmpty())
        restoreMovedAside(movedAside, destination, linked);
    ask(error, [=](UpdateQuestions::Answer answer) {
        if (answer == UpdateQuestions::Abort)
            aborted = true;
        else if (answer == UpdateQuestions::Retry)
            submit(i);
        else
            entryDone(entry, prepared, true);
    });
    if (prepared.patchFailed && !unpatched.contains(entry.installedPath()))
        unpatched << entry.installedPath();
}

void DirectoryUpdate::entryDone(const FileSpecification& entry, const Prepared& prepared,
                                bool failed)
{
    if (!failed && prepared.kind == Prepared::Written)
        directories.insert(
            QFileInfo(QDir(destRoot).absoluteFilePath(entry.installedPath())).path());
    if (failed)
        allInstalled = false;
    done += entry.size;
    emit progress(done, total);
    ++next;
    fill();
}

void DirectoryUpdate::ask(const QString& text, std::function<void(UpdateQuestions::Answer)> then)
{
    if (unattended || !questions) {
        then(UpdateQuestions::Ignore);
        return;
    }
    waitingForAnswer = true;
    questions->askAbortRetryIgnore(text, [this, then](UpdateQuestions::Answer answer) {
        // Always from the event loop, never inside the call that asked.
        QMetaObject::invokeMethod(
            this,
            [this, then, answer] {
                waitingForAnswer = false;
                then(answer);
                advance();
            },
            Qt::QueuedConnection);
    });
}

void DirectoryUpdate::end()
{
    ending = true;
    stopping = true;
    for (const Prepared& p : std::as_const(ready))
        dropNew(p);
    ready.clear();
    finishWhenIdle();
}

void DirectoryUpdate::finishWhenIdle()
{
    if (inFlight > 0 || !running)
        return;
    running = false;
    // The renames themselves reach the disk before the update counts as done.
    const QStringList dirs(directories.cbegin(), directories.cend());
    directories.clear();
    pool.start([this, dirs] {
        for (const QString& directory : dirs) {
            const int fd = ::open(QFile::encodeName(directory).constData(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                ::fsync(fd);
                ::close(fd);
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this] {
                complete = allInstalled && !aborted && next >= list->getSize();
                if (complete || aborted || stopRequested)
                    unpatched.clear();
                emit updateFinished();
            },
            Qt::QueuedConnection);
    });
}

void DirectoryUpdate::dropNew(const Prepared& p)
{
    if (!p.temporary.isEmpty())
        QFile::remove(p.temporary);
}

void DirectoryUpdate::requireSignature(std::shared_ptr<const TrustedKeys> keys,
                                       const QString& clientType, const QString& version)
{
    trustedKeys = std::move(keys);
    signedType = clientType;
    signedVersion = version;
}

void DirectoryUpdate::ensureFileRemoved(
    const QString& path,
    std::function<void(UpdateQuestions::Answer, const QString& movedAside, bool linked)> then)
{
    QString movedAside, failure;
    bool linked = false;
    if (clearDestination(path, &movedAside, &linked, &failure)) {
        then(UpdateQuestions::Ignore, movedAside, linked);
        return;
    }
    ask(tr("Can't overwrite %1.\n%2\nDo you wish to stop update?").arg(path, failure),
        [then](UpdateQuestions::Answer answer) { then(answer, QString(), false); });
}

bool DirectoryUpdate::clearDestination(const QString& path, QString* movedAside, bool* linked,
                                       QString* failure)
{
    if (!pathTaken(path))
        return true;

    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString dir = path.left(slash);
    const QString name = path.mid(slash + 1);

    QFile file(path);
    const QFileInfo info(path);
    if (!isSpecialFileName(QDir(destRoot).relativeFilePath(path))) {
        // A file or a link is replaced by the rename of the new one; only what a rename cannot
        // replace must go first.
        if (info.isSymLink() || !info.isDir())
            return true;
        if (file.remove())
            return true;
        *failure = file.errorString();
        emit message(QStringLiteral("FAILED to remove file: %1").arg(path));
        return false;
    }
    const QString newPath = dir + QLatin1Char('/') + getSpecialFileRenamePrefix() + name;
    // A second name for the running file, so that its own name never goes missing; where the
    // file system has no hard links it is moved aside.
    const QByteArray from = QFile::encodeName(path), to = QFile::encodeName(newPath);
    if (!info.isSymLink() && info.isFile() && ::link(from.constData(), to.constData()) == 0) {
        *movedAside = newPath;
        *linked = true;
        return true;
    }
    const int linkError = errno;
    if (!pathTaken(newPath) && file.rename(newPath)) {
        *movedAside = newPath;
        return true;
    }
    // Say what stood in the way: the name it needs, or what the system said.
    *failure = pathTaken(newPath) ? tr("%1 is in the way.").arg(newPath)
               : file.error() != QFileDevice::NoError
                   ? file.errorString()
                   : QString::fromLocal8Bit(std::strerror(linkError));
    emit message(QStringLiteral("FAILED to rename file: %1 to %2").arg(path, newPath));
    return false;
}

void DirectoryUpdate::restoreMovedAside(const QString& movedAside, const QString& destination,
                                        bool linked)
{
    // A linked copy is still the destination itself.
    if (linked) {
        QFile::remove(movedAside);
        return;
    }
    if (pathTaken(destination))
        QFile::remove(destination);
    if (!QFile::rename(movedAside, destination))
        emit message(
            QStringLiteral("FAILED to rename file: %1 to %2").arg(movedAside, destination));
}

void DirectoryUpdate::emitUpdateFinished()
{
    emit updateFinished();
}
