#include "directoryupdate.h"

#include "filemd5.h"
#include "indexsignature.h"
#include "installationfiles.h"
#include "offthread.h"
#include "patching.h"
#include "release.h"
#include "taskspecification.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

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

} // namespace

// What a worker made of one entry: the new file written beside its destination, complete,
// flushed and with its mode, or the failures on the way.
struct DirectoryUpdate::Prepared {
    enum Kind { Absent, SourceBad, Written } kind = Absent;
    QString source;
    QString temporary;               // the new file, when written and checked
    QStringList failures;            // failure texts in the order of the steps
    bool destinationCurrent = false; // source bad, but the installed file is already the one
};

// Writes the new files of the entries on worker threads, a few entries ahead of the one the
// window's thread is installing, and hands them over in index order.
class DirectoryUpdate::Writer
{
public:
    // Directories by path: a QDir caches what it resolves and is no thing to share between
    // threads.
    Writer(const TaskSpecification& list, const QString& source, const QString& dest,
           QObject* waker)
        : list(list), sourceRoot(source), destRoot(dest), waker(waker),
          results(size_t(list.getSize())), ready(size_t(list.getSize()), false)
    {
        // Flushing waits for the disk rather than a core: more writers keep it busy.
        const int threads = qMax(4, 2 * int(std::thread::hardware_concurrency()));
        for (int i = 0; i < threads && i < list.getSize(); ++i)
            workers.emplace_back([this] { work(); });
    }
    ~Writer()
    {
        stop = true;
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        wake.notify_all();
        for (std::thread& t : workers)
            t.join();
        // New files never installed (after an abort) go.
        for (size_t i = size_t(taken); i < results.size(); ++i) {
            if (ready[i] && !results[i].temporary.isEmpty())
                QFile::remove(results[i].temporary);
        }
    }

    Prepared take(int i)
    {
        // Entries that are ready in a row still leave the event loop its turn.
        if (!sinceEvents.isValid() || sinceEvents.elapsed() >= 10) {
            QCoreApplication::processEvents();
            sinceEvents.start();
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (ready[size_t(i)]) {
                    taken = i + 1;
                    if (!results[size_t(i)].temporary.isEmpty())
                        --waiting;
                    wake.notify_all();
                    return results[size_t(i)];
                }
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            sinceEvents.start();
        }
    }

    Prepared again(int i)
    {
        Prepared p;
        runOffThread([&] { p = prepare(i); });
        return p;
    }

private:
    void work()
    {
        for (;;) {
            int i;
            {
                std::unique_lock<std::mutex> guard(lock);
                // A few new files ahead at most: the disk holds few that are not installed yet.
                wake.wait(guard, [this] { return stopping || waiting < lookahead; });
                if (stopping || next >= list.getSize())
                    return;
                i = next++;
            }
            Prepared p = prepare(i);
            std::lock_guard<std::mutex> guard(lock);
            if (stopping) {
                if (!p.temporary.isEmpty())
                    QFile::remove(p.temporary);
                return;
            }
            if (!p.temporary.isEmpty())
                ++waiting;
            results[size_t(i)] = p;
            ready[size_t(i)] = true;
            QMetaObject::invokeMethod(
                waker, [] {}, Qt::QueuedConnection);
        }
    }

    Prepared prepare(int i);
    Prepared finish(Prepared p, const FileSpecification& entry, const QString& temporary, int fd,
                    bool written, bool executable);
    bool rebuild(const FileSpecification& entry, const QStringList& patches,
                 const QString& destination, int fd, CopyDigest* digest);

    static constexpr int lookahead = 8;
    const TaskSpecification& list;
    const QString sourceRoot, destRoot;
    QObject* const waker;
    std::vector<std::thread> workers;
    std::mutex lock;
    std::condition_variable wake;
    std::vector<Prepared> results;
    std::vector<bool> ready;
    QElapsedTimer sinceEvents;
    int next = 0;
    int taken = 0;
    int waiting = 0; // new files written and not taken yet
    bool stopping = false;
    std::atomic<bool> stop{false};
};

DirectoryUpdate::Prepared DirectoryUpdate::Writer::prepare(int i)
{
    FileSpecification entry;
    list.get(i, &entry);
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
        const bool rebuilt = fd >= 0 && rebuild(entry, patches, destination, fd, &digest);
        if (!rebuilt ||
            digest.writtenChecksum.compare(entry.installedChecksum(), Qt::CaseInsensitive) != 0 ||
            digest.writtenSize != entry.installedSize())
            p.failures << QStringLiteral("Can't patch %1!").arg(destination);
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

DirectoryUpdate::Prepared DirectoryUpdate::Writer::finish(Prepared p,
                                                          const FileSpecification& entry,
                                                          const QString& temporary, int fd,
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
bool DirectoryUpdate::Writer::rebuild(const FileSpecification& entry, const QStringList& patches,
                                      const QString& destination, int fd, CopyDigest* digest)
{
    MappedFile reference;
    if (!reference.open(destination))
        return false;
    const QString installed =
        checksumOf(QByteArray::fromRawData(reference.data(), qsizetype(reference.size())),
                   HashAlgorithm::Sha256);
    for (int k = 0; k < entry.patches.size(); ++k) {
        const PatchSpecification& patch = entry.patches[k];
        if (patch.sourceSha256 != installed || patch.sourceSize != reference.size() ||
            !QFileInfo::exists(patches[k]))
            continue;
        digest->sourceAlgorithm = HashAlgorithm::Sha256;
        return applyPatch(patches[k], reference.data(), reference.size(), entry.installedSize(), fd,
                          digest, &stop) &&
               digest->sourceChecksum == patch.sha256 && digest->sourceSize == patch.size;
    }
    return false;
}

bool DirectoryUpdate::updateContent(bool noUser, const QString& sourceDir, const QString& indexPath,
                                    const QString& destDir)
{
    complete = false;
    emit message(QStringLiteral("Update content"));

    // The download directory is private to the user, so the files checked here are the ones
    // applied; the check is the one the download made, repeated.
    TaskSpecification fileList;
    QStringList deleteKeys;
    const ReleaseCheck check = ReleaseCheck::read(indexPath, trustedKeys.get(), signedType,
                                                  signedVersion, &fileList, &deleteKeys);
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

    // Copying, unpacking, hashing and flushing run on worker threads; this thread renames the
    // finished files into place in index order and asks the questions.
    bool allInstalled = true;
    bool aborted = false;
    QSet<QString> directories;
    {
        Writer writer(fileList, sourceDir, destDir, this);
        for (int i = 0; i < fileList.getSize() && !aborted; ++i) {
            FileSpecification entry;
            fileList.get(i, &entry);
            Prepared prepared = writer.take(i);
            EntryOutcome outcome;
            for (;;) {
                outcome = installEntry(noUser, entry, prepared, dest);
                if (outcome != EntryOutcome::Retry)
                    break;
                prepared = writer.again(i);
            }
            if (outcome == EntryOutcome::Installed && prepared.kind == Prepared::Written)
                directories.insert(QFileInfo(dest.absoluteFilePath(entry.installedPath())).path());
            if (outcome == EntryOutcome::Aborted) {
                aborted = true;
                break;
            }
            if (outcome == EntryOutcome::Failed)
                allInstalled = false;
            done += entry.size;
            emit progress(done, total);
        }
    }
    // The renames themselves reach the disk before the update counts as done.
    runOffThread([&] {
        for (const QString& directory : std::as_const(directories)) {
            const int fd = ::open(QFile::encodeName(directory).constData(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                ::fsync(fd);
                ::close(fd);
            }
        }
    });

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

DirectoryUpdate::EntryOutcome DirectoryUpdate::installEntry(bool noUser,
                                                            const FileSpecification& entry,
                                                            const Prepared& prepared,
                                                            const QDir& dest)
{
    const QString destination = dest.absoluteFilePath(entry.installedPath());
    if (prepared.kind == Prepared::Absent)
        return EntryOutcome::Absent;
    if (prepared.kind == Prepared::SourceBad) {
        if (prepared.destinationCurrent)
            return EntryOutcome::Installed;
        emit message(QStringLiteral("Wrong checksum %1!").arg(prepared.source));
        return EntryOutcome::Failed;
    }
    const auto dropNew = [&] {
        if (!prepared.temporary.isEmpty())
            QFile::remove(prepared.temporary);
    };

    QString movedAside;
    bool linked = false;
    const QMessageBox::StandardButton cleared =
        clearDestination(noUser, destination, &movedAside, &linked, false);
    if (cleared != QMessageBox::Ignore)
        dropNew();
    if (cleared == QMessageBox::Abort)
        return EntryOutcome::Aborted;
    if (cleared == QMessageBox::Retry)
        return EntryOutcome::Retry;
    if (cleared != QMessageBox::Ignore)
        return EntryOutcome::Failed;

    QString error;
    for (const QString& text : prepared.failures) {
        error = text;
        emit message(text);
    }
    // The one step that changes the installed file: the name goes from the old content to the
    // whole new one.
    if (error.isEmpty() && !QFile::exists(prepared.temporary))
        error = QStringLiteral("Can't copy %1!").arg(entry.mirrorPath());
    else if (error.isEmpty() && ::rename(QFile::encodeName(prepared.temporary).constData(),
                                         QFile::encodeName(destination).constData()) != 0)
        error = (entry.isPacked() ? QStringLiteral("Can't unzip %1!")
                                  : QStringLiteral("Can't copy %1!"))
                    .arg(entry.mirrorPath());
    if (!error.isEmpty() && prepared.failures.isEmpty())
        emit message(error);
    if (!error.isEmpty())
        dropNew();

    QMessageBox::StandardButton answer = QMessageBox::Ignore;
    if (!error.isEmpty() && !noUser)
        answer = ask(error);

    // The running updater must never be left without its own files: whatever ends this attempt
    // without the new copy in place (abort, retry, ignore) puts the old one back.
    if (!error.isEmpty() && !movedAside.isEmpty())
        restoreMovedAside(movedAside, destination, linked);

    if (answer == QMessageBox::Abort)
        return EntryOutcome::Aborted;
    if (answer == QMessageBox::Retry)
        return EntryOutcome::Retry;
    return error.isEmpty() ? EntryOutcome::Installed : EntryOutcome::Failed;
}

QMessageBox::StandardButton DirectoryUpdate::ensureFileRemoved(bool noUser, const QString& path)
{
    QString movedAside;
    bool linked = false;
    return clearDestination(noUser, path, &movedAside, &linked, true);
}

QMessageBox::StandardButton DirectoryUpdate::clearDestination(bool noUser, const QString& path,
                                                              QString* movedAside, bool* linked,
                                                              bool removeOrdinary)
{
    if (!pathTaken(path))
        return QMessageBox::Ignore;

    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString dir = path.left(slash);
    const QString name = path.mid(slash + 1);

    QFile file(path);
    const QFileInfo info(path);
    if (!isSpecialFileName(name)) {
        // A file or a link is replaced by the rename of the new one; only what a rename cannot
        // replace must go first.
        if (!removeOrdinary && (info.isSymLink() || !info.isDir()))
            return QMessageBox::Ignore;
        if (file.remove())
            return QMessageBox::Ignore;
        emit message(QStringLiteral("FAILED to remove file: %1").arg(path));
    } else {
        const QString newPath = dir + QLatin1Char('/') + getSpecialFileRenamePrefix() + name;
        // A second name for the running file, so that its own name never goes missing; where
        // the file system has no hard links it is moved aside.
        const QByteArray from = QFile::encodeName(path), to = QFile::encodeName(newPath);
        if (!removeOrdinary && !info.isSymLink() && info.isFile() &&
            ::link(from.constData(), to.constData()) == 0) {
            *movedAside = newPath;
            *linked = true;
            return QMessageBox::Ignore;
        }
        if (!pathTaken(newPath) && file.rename(newPath)) {
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
