#include "fileverifier.h"

#include "filemd5.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>

namespace
{
// Per worker: one block of this size is all the memory a check takes.
constexpr qint64 blockSize = 256 * 1024;
} // namespace

FileVerifier::FileVerifier(QVector<Candidate> list, int threads)
    : candidates(std::move(list)),
      threadCount(qBound(1, threads > 0 ? threads : QThread::idealThreadCount(),
                         qMax(1, int(candidates.size())))),
      outcomes(size_t(candidates.size()), Result{NoFile, -2, {}})
{
}

FileVerifier::~FileVerifier()
{
    stopping = true;
}

void FileVerifier::start()
{
    if (candidates.isEmpty()) {
        QMetaObject::invokeMethod(this, &FileVerifier::deliver, Qt::QueuedConnection);
        return;
    }
    pool.setMaxThreadCount(threadCount);
    for (int i = 0; i < threadCount; ++i)
        pool.start([this] { work(); });
}

void FileVerifier::work()
{
    std::unique_ptr<char[]> buffer(new char[blockSize]);
    for (;;) {
        const int i = nextIndex++;
        if (i >= candidates.size() || stopping)
            return;
        const Result outcome = check(candidates[i], buffer.get());
        if (stopping)
            return;
        std::lock_guard<std::mutex> guard(lock);
        outcomes[size_t(i)] = outcome;
        // One queued delivery at a time takes everything that is in order by then.
        if (i == delivered && !deliveryQueued) {
            deliveryQueued = true;
            QMetaObject::invokeMethod(this, &FileVerifier::deliver, Qt::QueuedConnection);
        }
    }
}

FileVerifier::Result FileVerifier::check(const Candidate& c, char* buffer)
{
    quint64 installedSize = 0;
    const QString installedChecksum =
        QFileInfo::exists(c.installed)
            ? hash(c.installed, -1, c.installedChecksum, buffer, &installedSize)
            : QString();
    if (!installedChecksum.isNull() && installedChecksum == c.installedChecksum)
        return {Current, -1, {}};
    // A whole copy at hand is taken (or thrown away) before any patch is considered.
    if (QFileInfo::exists(c.local))
        return c.pieces.isEmpty() ? Result{copyOutcome(c.local, c.size, c.checksum, buffer), -1, {}}
                                  : piecesOutcome(c);
    for (int p = 0; p < c.patches.size(); ++p) {
        const Patch& patch = c.patches[p];
        if (installedChecksum.isNull() || patch.sourceChecksum != installedChecksum ||
            patch.sourceSize != installedSize)
            continue;
        if (!QFileInfo::exists(patch.local))
            return {NoFile, p, {}};
        return {copyOutcome(patch.local, patch.size, patch.checksum, buffer), p, {}};
    }
    return {NoFile, -1, {}};
}

FileVerifier::Outcome FileVerifier::copyOutcome(const QString& path, quint64 size,
                                                const QString& checksum, char* buffer)
{
    // A shorter copy is what a stopped download left; the download continues it and checks it
    // whole at the end.
    if (QFileInfo(path).size() < qint64(size))
        return PartCopy;
    return hash(path, qint64(size), checksum, buffer) == checksum ? GoodCopy : BadCopy;
}

FileVerifier::Result FileVerifier::piecesOutcome(const Candidate& c)
{
    // Streams that fetched ranges leave holes anywhere, a damaged disk a bad piece between good
    // ones: each piece counts for itself, and only the others are fetched again.
    QFile file(c.local);
    if (!file.open(QIODevice::ReadOnly) || file.size() > qint64(c.size))
        return {BadCopy, -1, {}};
    Hash whole(checksumAlgorithm(c.checksum));
    const QByteArray found = pieceChecksums(file, c.pieceLength, &whole, &stopping);
    if (found.isNull())
        return {BadCopy, -1, {}};
    if (file.size() == qint64(c.size) && whole.hex() == c.checksum)
        return {GoodCopy, -1, {}};
    const int count = int(c.pieces.size() / 64);
    QBitArray kept(count);
    for (int i = 0; i < count; ++i)
        kept.setBit(i, found.mid(i * 64, 64) == c.pieces.mid(i * 64, 64));
    // Pieces that all hold in a copy that is not the file: the list contradicts itself, and
    // nothing of the copy is trusted.
    const int good = int(kept.count(true));
    if (good == 0 || good == count)
        return {BadCopy, -1, {}};
    return {PartCopy, -1, kept};
}

QBitArray FileVerifier::keptPieces(int index)
{
    std::lock_guard<std::mutex> guard(lock);
    return index < delivered ? outcomes[size_t(index)].kept : QBitArray();
}

QString FileVerifier::hash(const QString& path, qint64 expectedSize, const QString& expected,
                           char* buffer, quint64* size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    if (expectedSize >= 0 && file.size() != expectedSize)
        return QString();
    Hash digest(checksumAlgorithm(expected));
    qint64 n;
    while ((n = file.read(buffer, blockSize)) > 0) {
        if (stopping)
            return QString();
        digest.add(buffer, n);
    }
    if (n < 0)
        return QString();
    if (size)
        *size = quint64(file.size());
    return digest.hex();
}

void FileVerifier::deliver()
{
    const QPointer<FileVerifier> self(this);
    QElapsedTimer slice;
    slice.start();
    for (;;) {
        // Outcomes that are ready in a row still leave the event loop its turn.
        if (slice.elapsed() >= 10) {
            QMetaObject::invokeMethod(this, &FileVerifier::deliver, Qt::QueuedConnection);
            return;
        }
        int index;
        Result outcome;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (delivered >= candidates.size() || outcomes[size_t(delivered)].patch == -2) {
                deliveryQueued = false;
                if (delivered < candidates.size())
                    return;
                break;
            }
            index = delivered++;
            outcome = outcomes[size_t(index)];
        }
        Q_EMIT verified(index, outcome.outcome, outcome.patch);
        // A receiver may end the run (and this object) from the signal.
        if (!self || stopping)
            return;
    }
    Q_EMIT finished();
}
