#include "downloadstream.h"

#include "transport.h"

#include "filemd5.h"
#include "safepath.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <memory>

namespace
{
// The product index is fetched without a checksum or length; nothing it can honestly be comes
// near this size.
constexpr qint64 uncheckedFileLimit = 64 * 1024 * 1024;
constexpr int finishDelayMs = 10;
} // namespace

// Checks each piece of a range as it is written: checked() counts the bytes of the pieces so
// far that match, and stops counting at the first that does not.
class PieceCheckingFile : public QFile
{
public:
    PieceCheckingFile(const QString& name, qint64 pieceLength, const QByteArray& pieces)
        : QFile(name), pieceLength(pieceLength), pieces(pieces)
    {
    }
    qint64 checked() const { return good; }

protected:
    qint64 writeData(const char* data, qint64 length) override
    {
        const qint64 n = QFile::writeData(data, length);
        for (qint64 at = 0; at < n;) {
            const qint64 take = qMin(n - at, pieceLength - inPiece);
            hash.add(data + at, take);
            inPiece += take;
            at += take;
            if (inPiece == pieceLength)
                closePiece();
        }
        return n;
    }

public:
    void close() override
    {
        // The last piece of a file is shorter.
        if (inPiece > 0)
            closePiece();
        QFile::close();
    }

private:
    void closePiece()
    {
        const bool match = !broken && hash.hex().toLatin1() == pieces.mid(index * 64, 64);
        broken = !match;
        if (match)
            good += inPiece;
        ++index;
        inPiece = 0;
    }

    Hash hash{HashAlgorithm::Sha256};
    qint64 pieceLength;
    QByteArray pieces;
    qint64 inPiece = 0;
    qint64 index = 0;
    qint64 good = 0;
    bool broken = false;
};

SingleFileDownloadStream::SingleFileDownloadStream(const QString& localRoot)
    : localDir(localRoot), retryTimer(new QTimer(this)), finishTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    finishTimer->setSingleShot(true);
    finishTimer->setInterval(finishDelayMs);
    connect(retryTimer, &QTimer::timeout, this, &SingleFileDownloadStream::onRepeatDownloadAttempt);
    connect(finishTimer, &QTimer::timeout, this, &SingleFileDownloadStream::emitFileFinished);
}

SingleFileDownloadStream::~SingleFileDownloadStream()
{
    // A part of a file with a checksum is kept for the next run to continue; without one (the
    // index and what comes with it) a part is worthless.
    releaseFile(md5.isEmpty());
}

void SingleFileDownloadStream::getFile(const QString& fileName, const QString& md5, qint64 length,
                                       qint64 pieceLength, const QByteArray& pieces)
{
    this->pieceLength = pieces.isEmpty() ? 0 : pieceLength;
    this->pieces = pieces;
    rangeLength = 0;
    checkGetFilePrerequisitions();
    const QString path = prepareGetFile(fileName, md5, length, true);
    if (!path.isEmpty())
        requestFile(path);
}

void SingleFileDownloadStream::getRange(const QString& fileName, qint64 offset, qint64 length,
                                        qint64 pieceLength, const QByteArray& pieces)
{
    this->pieceLength = pieceLength;
    this->pieces = pieces;
    rangeOffset = offset;
    rangeLength = length;
    checkGetFilePrerequisitions();
    const QString path = prepareGetFile(fileName, QString(), length, true);
    if (!path.isEmpty())
        fileRequestId = createFileRequest(path, file);
}

void SingleFileDownloadStream::requestFile(const QString& path)
{
    if (resumeOffset == 0) {
        fileRequestId = createFileRequest(path, file);
        return;
    }
    // The kept part is hashed on a thread of its own (a part of gigabytes takes seconds), from
    // a descriptor of its own; the answer counts only for this very request. With pieces only
    // the pieces that check out from the first on are kept.
    auto part = std::make_shared<Hash>(checksumAlgorithm(md5));
    auto usable = std::make_shared<qint64>(0);
    QThread* thread = QThread::create([part, usable, local = destFilePath, size = resumeOffset,
                                       algorithm = checksumAlgorithm(md5),
                                       pieceLength = pieceLength, pieces = pieces] {
        QFile kept(local);
        if (!kept.open(QIODevice::ReadOnly))
            return;
        const qint64 step = pieceLength > 0 ? pieceLength : size;
        QByteArray block(int(qMin<qint64>(step, 1 << 20)), Qt::Uninitialized);
        Hash piece(HashAlgorithm::Sha256), whole(algorithm);
        for (qint64 at = 0; at + step <= size; at += step) {
            whole.copyFrom(*part);
            qint64 left = step, n = 0;
            while (left > 0 &&
                   (n = kept.read(block.data(), qMin<qint64>(left, block.size()))) > 0) {
                whole.add(block.constData(), n);
                if (pieceLength > 0)
                    piece.add(block.constData(), n);
                left -= n;
            }
            if (left > 0 || (pieceLength > 0 &&
                             piece.hex().toLatin1() != pieces.mid(at / pieceLength * 64, 64)))
                return;
            part->copyFrom(whole);
            *usable = at + step;
        }
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this, part, usable, path, token = requestToken] {
        if (token != requestToken || state != DSS_Downloading || !file)
            return;
        if (*usable < resumeOffset)
            emit message(
                tr("The kept part of %1 checks out up to byte %2").arg(fileName).arg(*usable));
        resumeOffset = *usable;
        auto* hashed = static_cast<HashingFile*>(file);
        if (resumeOffset == 0
                ? !hashed->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)
                : !QFile::resize(destFilePath, resumeOffset) ||
                      !hashed->openToContinue(*part, resumeOffset)) {
            restartFromStart(QStringLiteral("the kept part cannot be read"));
            return;
        }
        if (resumeOffset > 0)
            emit message(tr("Continuing %1 at byte %2").arg(fileName).arg(resumeOffset));
        fileRequestId = createFileRequest(path, file);
    });
    thread->start();
}

void SingleFileDownloadStream::getProgress(quint64* done, quint64* total) const
{
    if (done)
        *done = quint64(this->done);
    if (total)
        *total = quint64(length);
}

void SingleFileDownloadStream::cancel()
{
    retryTimer->stop();
    finishTimer->stop();
    releaseFile(md5.isEmpty());
    setState(DSS_Idle);
}

void SingleFileDownloadStream::onDataTransferProgress(qint64 done, qint64 total)
{
    this->done = done;
    emit progressCount(done, total);
}

void SingleFileDownloadStream::emitFileFinished()
{
    emit fileFinished();
}

void SingleFileDownloadStream::onRepeatDownloadAttempt()
{
    if (state != DSS_Downloading)
        return;
    checkGetFilePrerequisitions();
    const QString path = prepareGetFile(fileName, md5, length, false);
    if (path.isEmpty())
        return;
    emit message(tr("Download attempt %1").arg(attempt));
    requestFile(path);
}

bool SingleFileDownloadStream::internalInitDownloadParams(const QUrl& url, const QString& proxy,
                                                          int retries, int timeout)
{
    this->url = url;
    this->retries = retries;
    // An unattended run must end: a pause of days is a typo, and its milliseconds overflow.
    this->timeout = qBound(0, timeout, maximumRetryPause);
    this->proxy.clear();
    return parseProxy(proxy, &this->proxy).isEmpty();
}

QString SingleFileDownloadStream::parseProxy(const QString& setting, QUrl* proxy)
{
    const QString text = setting.trimmed();
    if (text.isEmpty())
        return QString();
    const QUrl parsed(text.contains(QLatin1String("://")) ? text : QLatin1String("http://") + text,
                      QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return QStringLiteral("is not a URL with a host");
    if (parsed.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("has the scheme %1: only an HTTP proxy is supported")
            .arg(parsed.scheme());
    if (proxy)
        *proxy = parsed;
    return QString();
}

QString SingleFileDownloadStream::prepareGetFile(const QString& fileName, const QString& md5,
                                                 qint64 length, bool newFile)
{
    if (newFile) {
        attempt = 1;
        fromStart = false;
        if (state != DSS_Ready)
            return QString();
    }
    // A repeated attempt runs in DSS_Downloading; a failure ends the file like any other.
    auto fail = [this, newFile](const QString& text) {
        if (!newFile)
            setState(DSS_Ready);
        emit fileError(DSE_LocalFile, text);
        return QString();
    };

    // The name comes from a mirror's index: it must stay below the local root.
    const QString localPath =
        isSafeRelativePath(fileName) ? localDir.absoluteFilePath(fileName) : QString();
    if (localPath.isEmpty())
        return fail(QLatin1String("ERROR: failed to detect local path for ") + fileName);

    this->fileName = fileName;
    destFilePath = localPath;
    this->md5 = md5;
    this->length = length;
    done = 0;

    const int slash = localPath.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) {
        const QString directory = localPath.left(slash);
        if (!QDir().mkpath(directory))
            return fail(QLatin1String("ERROR: failed creating subdirectory: ") + directory);
    }

    releaseFile(false);
    if (rangeLength > 0) {
        // Each attempt writes the whole range anew, in place.
        file = new PieceCheckingFile(localPath, pieceLength, pieces);
        resumeOffset = 0;
        ++requestToken;
        if (!file->open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !file->seek(rangeOffset)) {
            delete file;
            file = nullptr;
            return fail(QStringLiteral("ERROR: failed creating %1").arg(localPath));
        }
        setState(DSS_Downloading);
        return requestPathOf(fileName);
    }
    // A shorter file of an earlier attempt or run is continued where it ends, and hashed from
    // its first byte; the checksum at the end decides over all of it.
    file = new HashingFile(localPath, checksumAlgorithm(md5));
    const QFileInfo kept(localPath);
    // A copy of the whole length is continued only where its pieces can tell what holds.
    resumeOffset = !md5.isEmpty() && !fromStart && kept.isFile() &&
                           (kept.size() < length || (pieceLength > 0 && kept.size() == length))
                       ? kept.size()
                       : 0;
    ++requestToken;
    // A part is opened by requestFile() once it is hashed.
    if (resumeOffset == 0 &&
        !file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        delete file;
        file = nullptr;
        return fail(QStringLiteral("ERROR: failed creating %1").arg(localPath));
    }

    setState(DSS_Downloading);
    return requestPathOf(fileName);
}

QString SingleFileDownloadStream::requestPathOf(const QString& fileName) const
{
    QString requestPath = url.path();
    if (!requestPath.endsWith(QLatin1Char('/')))
        requestPath += QLatin1Char('/');
    return requestPath + fileName;
}

bool SingleFileDownloadStream::finalCheckCurrentFile()
{
    if (rangeLength > 0) {
        auto* range = static_cast<PieceCheckingFile*>(file);
        range->close();
        const bool good = range->checked() == rangeLength;
        releaseFile(false);
        setState(DSS_Ready);
        if (good) {
            finishTimer->start();
            return true;
        }
        emit fileError(DSE_WrongChecksum,
                       QStringLiteral("ERROR: Bytes %1 to %2 of %3 are not the file's")
                           .arg(rangeOffset)
                           .arg(rangeOffset + rangeLength - 1)
                           .arg(destFilePath));
        return false;
    }
    qint64 size = 0;
    QString received;
    if (file) {
        // The checksum of what the transport wrote, taken on the way to the disk.
        auto* hashed = static_cast<HashingFile*>(file);
        size = file->size();
        const bool whole = hashed->writtenSize() == size;
        hashed->close();
        received = whole ? hashed->writtenChecksum() : QString();
        releaseFile(false);
    }

    if (md5.isEmpty()) {
        setState(DSS_Ready);
        finishTimer->start();
        return true;
    }
    if ((size != length || received.compare(md5, Qt::CaseInsensitive) != 0) && resumeOffset > 0) {
        restartFromStart(QStringLiteral("the continued %1 is not the file").arg(fileName));
        return false;
    }
    if (size != length) {
        setState(DSS_Ready);
        emit fileError(DSE_WrongLength,
                       QStringLiteral("ERROR: Wrong length of %1 (%2 while required %3)")
                           .arg(destFilePath, QString::number(size), QString::number(length)));
        QFile::remove(destFilePath);
        return false;
    }
    if (received.compare(md5, Qt::CaseInsensitive) != 0) {
        setState(DSS_Ready);
        emit fileError(DSE_WrongChecksum,
                       QStringLiteral("ERROR: Wrong checksum for %1").arg(destFilePath));
        QFile::remove(destFilePath);
        return false;
    }
    setState(DSS_Ready);
    finishTimer->start();
    return true;
}

void SingleFileDownloadStream::handleConnectError(QString text)
{
    emit failedToConnect(text);
}

void SingleFileDownloadStream::handleNoRanges(const QString& text)
{
    releaseFile(false);
    setState(DSS_Ready);
    emit fileError(DSE_NoRanges, text);
}

void SingleFileDownloadStream::restartFromStart(const QString& why)
{
    releaseFile(false);
    QFile::remove(destFilePath);
    fromStart = true;
    emit message(tr("Fetching %1 from its start: %2").arg(fileName, why));
    // Not a failed attempt of the mirror: the next one starts at once.
    retryTimer->start(0);
}

void SingleFileDownloadStream::handleFileRequestError(QString text, bool repeatable)
{
    // What arrived stays for the next attempt to continue.
    releaseFile(md5.isEmpty());
    ++attempt;
    if (!repeatable || attempt > retries) {
        setState(DSS_Ready);
        emit fileError(DSE_TransferFailed, QLatin1String("ERROR: ") + text);
        return;
    }
    emit message(tr("Download error. Timeout %1 seconds to repeat.").arg(timeout));
    retryTimer->start(timeout * 1000);
}

void SingleFileDownloadStream::handleFileTooLarge()
{
    // The transfer stopped at the limit: how much the mirror would have sent is unknown.
    const QString text =
        md5.isEmpty() ? QStringLiteral("ERROR: Wrong length of %1 (more than %2 bytes)")
                            .arg(destFilePath)
                            .arg(byteLimit())
                      : QStringLiteral("ERROR: Wrong length of %1 (more than the required %2)")
                            .arg(destFilePath)
                            .arg(length);
    releaseFile(true);
    setState(DSS_Ready);
    emit fileError(DSE_WrongLength, text);
}

qint64 SingleFileDownloadStream::byteLimit() const
{
    if (rangeLength > 0)
        return rangeLength + 1;
    if (!md5.isEmpty())
        return length - resumeOffset + 1;
    // Without a checksum a length is the most the file may hold.
    return length > 0 ? length : uncheckedFileLimit;
}

void SingleFileDownloadStream::setState(DownloadStream_State s)
{
    state = s;
    emit stateChanged(s);
}

void SingleFileDownloadStream::releaseFile(bool remove)
{
    if (!file)
        return;
    file->close();
    // Other streams write other ranges of the same file.
    if (remove && rangeLength == 0)
        file->remove();
    delete file;
    file = nullptr;
}

void SingleFileDownloadStream::handleFileRequestFinished(bool error, TransferError kind,
                                                         const QString& text)
{
    fileRequestId = -1;
    if (!error)
        finalCheckCurrentFile();
    else if (kind == TransferError::NoResume && rangeLength > 0)
        handleNoRanges(text);
    else if (kind == TransferError::NoResume)
        restartFromStart(text);
    else if (kind == TransferError::TooLarge)
        handleFileTooLarge();
    else
        handleFileRequestError(text, kind != TransferError::Refused);
}
