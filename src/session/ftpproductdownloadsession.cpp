#include "ftpproductdownloadsession.h"

#include "filemd5.h"
#include "indexsignature.h"
#include "inifile.h"
#include "installationfiles.h"
#include "latestrecord.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <QUrl>

#include <limits>

#include <sys/statvfs.h>

namespace
{

// An unsigned INI value as the settings give it; text that is no number reads as 0.
quint64 readUnsigned(const QSettings& settings, const QString& key, quint64 fallback)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return fallback;
    bool ok = false;
    const quint64 number = value.toString().trimmed().toULongLong(&ok);
    return ok ? number : 0;
}

QString megabytes(quint64 bytes, bool roundUp)
{
    const quint64 mb = 1000 * 1000;
    return QString::number(roundUp ? (bytes + mb - 1) / mb : bytes / mb);
}

} // namespace

FTPProductDownloadSession::DownloadStream::DownloadStream(int index, const QString& downloadDir,
                                                          const QString& proxy)
    : relay(index), downloadDir(downloadDir), proxy(proxy)
{
}

FTPProductDownloadSession::DownloadStream::~DownloadStream()
{
    delete stream;
    stream = nullptr;
}

QRandomGenerator* FTPProductDownloadSession::randomGenerator()
{
    static QRandomGenerator generator(quint32(QDateTime::currentSecsSinceEpoch()));
    return &generator;
}

FTPProductDownloadSession::FTPProductDownloadSession() : appRoot(getAppRootPath()) {}

FTPProductDownloadSession::~FTPProductDownloadSession()
{
    // A verification still running stops within one block of each worker; its results so far
    // change nothing on the disk but the removal of bad copies, so the next start resumes.
    verifier.reset();
    for (DownloadStream* record : std::as_const(streams))
        delete record;
    streams.clear();
}

bool FTPProductDownloadSession::initialize(const InitialParameters& parameters)
{
    params = parameters;
    mirrors.clear();

    QSettings mirrorSettings(params.mirrorsFile, QSettings::IniFormat);
    parseWholeIni(mirrorSettings);
    const int count = mirrorSettings.beginReadArray("mirrors");
    for (int i = 0; i < count; ++i) {
        mirrorSettings.setArrayIndex(i);
        MarkedSiteData site;
        site.name = mirrorSettings.value("mirror").toString();
        mirrors.append(site);
    }
    mirrorSettings.endArray();

    const quint64 intMax = quint64(std::numeric_limits<qint32>::max());
    for (MarkedSiteData& site : mirrors) {
        mirrorSettings.beginGroup(site.name);
        site.url = mirrorSettings.value("url").toString();
        if (!site.url.endsWith('/'))
            site.url += '/';
        site.url += params.version;
        const quint64 retries = readUnsigned(mirrorSettings, "retries", 5);
        site.retries = (retries == 0 || retries > intMax) ? 5 : int(retries);
        const quint64 timeout = readUnsigned(mirrorSettings, "timeout", 15);
        site.timeout = int(qMin(timeout, intMax));
        mirrorSettings.endGroup();
    }

    // Without a settings file the workflow's default applies and the connection is direct.
    proxy.clear();
    streamCount = qMax(1, params.defaultStreams);
    latest = 0;
    newestExpired = QDateTime();
    if (!params.settingsFile.isEmpty()) {
        QSettings settings(params.settingsFile, QSettings::IniFormat);
        parseWholeIni(settings);
        settings.beginGroup("update");
        proxy = settings.value("proxy").toString();
        const QVariant streamsValue = settings.value("streams");
        if (streamsValue.isValid()) {
            bool ok = false;
            const int n = streamsValue.toString().trimmed().toInt(&ok);
            streamCount = (ok && n > 0) ? n : 1;
        }
        settings.endGroup();
    }
    if (params.latestOnly)
        streamCount = 1;
    return !mirrors.isEmpty();
}

void FTPProductDownloadSession::startUpdate()
{
    arrangeStreams();
    state = PDS_Starting;
    if (mirrors.isEmpty()) {
        // The owner learns the outcome through a signal, never inside the call that started it.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (ended)
                    return;
                Q_EMIT message(QString("ERROR: no mirrors in %1").arg(params.mirrorsFile));
                endSession(false);
            },
            Qt::QueuedConnection);
        return;
    }
    attachStream(streams[0], 0);
}

void FTPProductDownloadSession::arrangeStreams()
{
    const int n = streamCount > 0 ? streamCount : 1;
    streams.reserve(streams.size() + n);
    for (int i = 0; i < n; ++i)
        createDownloadStream();
}

FTPProductDownloadSession::DownloadStream* FTPProductDownloadSession::createDownloadStream()
{
    auto* record = new DownloadStream(streams.size(), params.downloadDir, proxy);
    streams.append(record);
    DownloadStreamIdentifiedSignals* relay = &record->relay;
    connect(relay, &DownloadStreamIdentifiedSignals::stateChanged, this,
            &FTPProductDownloadSession::onStateChanged);
    connect(relay, &DownloadStreamIdentifiedSignals::message, this,
            &FTPProductDownloadSession::onStreamMessage);
    connect(relay, &DownloadStreamIdentifiedSignals::failedToConnect, this,
            &FTPProductDownloadSession::onFailedToConnect);
    connect(relay, &DownloadStreamIdentifiedSignals::connected, this,
            &FTPProductDownloadSession::onConnected);
    connect(relay, &DownloadStreamIdentifiedSignals::disconnected, this,
            &FTPProductDownloadSession::onDisconnected);
    connect(relay, &DownloadStreamIdentifiedSignals::progressCount, this,
            &FTPProductDownloadSession::onProgressCount);
    connect(relay, &DownloadStreamIdentifiedSignals::fileFinished, this,
            &FTPProductDownloadSession::onFileFinished);
    connect(relay, &DownloadStreamIdentifiedSignals::fileError, this,
            &FTPProductDownloadSession::onFileError);
    return record;
}

void FTPProductDownloadSession::attachStream(DownloadStream* record, int mirror)
{
    const MarkedSiteData& site = mirrors[mirror];
    const QUrl url(site.url);
    SingleFileDownloadStream* const before = record->stream;
    const int kindBefore = before ? before->kind() : -1;

    record->fileIndex = -1;
    record->mirrorIndex = mirror;
    if (!adjustDownloadStream(&record->stream, url, record->downloadDir)) {
        // A scheme no stream speaks counts as a connection that failed, reported from the event
        // loop like any other.
        DownloadStreamIdentifiedSignals* relay = &record->relay;
        const QString text = QString("Unsupported URL scheme: %1").arg(site.url);
        QMetaObject::invokeMethod(
            relay, [relay, text] { relay->onFailedToConnect(text); }, Qt::QueuedConnection);
        return;
    }
    SingleFileDownloadStream* const stream = record->stream;
    if (before == nullptr || kindBefore != stream->kind())
        connectStreamToRelay(stream, &record->relay);
    stream->initiateConnection(url, record->proxy, site.retries, site.timeout);
}

bool FTPProductDownloadSession::retrieveSessionState()
{
    state = PDS_RetrievingFileList;
    indexFile.clear();
    DownloadStream* record = streams[0];
    record->fileIndex = -1;
    if (!record->stream)
        return false;
    fetchIndexFile(params.latestOnly ? IndexStep::Latest : IndexStep::Index);
    return true;
}

void FTPProductDownloadSession::fetchIndexFile(IndexStep step)
{
    indexStep = step;
    const QString index = params.clientType + ".ini";
    const QString record = latestRecordNameOf(params.clientType);
    // Files of unknown length arrive up to a cap: the index and the manifest may be large, a
    // signature is 64 bytes and a record a few lines.
    const QString name = step == IndexStep::Index       ? index
                         : step == IndexStep::Manifest  ? manifestPathOf(index)
                         : step == IndexStep::Signature ? signaturePathOf(index)
                         : step == IndexStep::Latest    ? record
                                                        : signaturePathOf(record);
    const qint64 cap = step == IndexStep::Index || step == IndexStep::Manifest ? 0
                       : step == IndexStep::Latest ? LatestRecord::maximumSize
                                                   : TrustedKeys::signatureSize;
    streams[0]->stream->getFile(name, QString(), cap);
}

bool FTPProductDownloadSession::checkAllFiles(const QString& indexPath)
{
    if (indexPath.isEmpty())
        return false;
    TaskSpecification list;
    const ReleaseCheck check = ReleaseCheck::read(
        indexPath, params.trustedKeys.get(), params.clientType, params.version, &list, nullptr);
    if (check.problem != ReleaseCheck::None) {
        Q_EMIT message(tr("Unable to initialize session with %1.").arg(indexPath));
        return false;
    }
    startVerification(list);
    return true;
}

void FTPProductDownloadSession::startVerification(const TaskSpecification& list)
{
    task.assign(list);
    const quint64 totalSize = task.getTotalSize();
    Q_EMIT progressCount(0, totalSize);

    task.resetMarks();
    verifiedSize = 0;
    current.clear();
    keptPieces.clear();
    const int count = task.getSize();
    QVector<FileVerifier::Candidate> candidates(count);
    for (int i = 0; i < count; ++i) {
        FileSpecification entry;
        task.get(i, &entry);
        FileVerifier::Candidate& c = candidates[i];
        c.installed = appRoot.absoluteFilePath(entry.installedPath());
        c.installedChecksum = entry.installedChecksum();
        c.local = params.downloadDir + "/" + entry.mirrorPath();
        c.size = entry.size;
        c.checksum = entry.checksum();
        c.pieceLength = entry.pieceLength;
        c.pieces = entry.pieces;
        if (params.wholeFiles.contains(entry.installedPath()))
            continue;
        for (const PatchSpecification& patch : std::as_const(entry.patches)) {
            FileVerifier::Patch p;
            p.local = params.downloadDir + "/" + patch.path;
            p.size = patch.size;
            p.checksum = patch.sha256;
            p.sourceChecksum = patch.sourceSha256;
            p.sourceSize = patch.sourceSize;
            c.patches.append(p);
        }
    }
    // The files are hashed on worker threads; their outcomes come back here in index order.
    verifier = std::make_unique<FileVerifier>(std::move(candidates), params.verificationThreads);
    connect(verifier.get(), &FileVerifier::verified, this,
            &FTPProductDownloadSession::onFileVerified);
    connect(verifier.get(), &FileVerifier::finished, this,
            &FTPProductDownloadSession::onVerificationFinished);
    verifying = true;
    verifier->start();
}

void FTPProductDownloadSession::onFileVerified(int i, FileVerifier::Outcome outcome, int patch)
{
    // The installed file is a patch's source: that patch is fetched instead of the file, and the
    // totals count it.
    if (patch >= 0)
        task.usePatch(i, patch);
    FileSpecification entry;
    task.get(i, &entry);
    switch (outcome) {
    case FileVerifier::Current:
        task.markReady(i);
        current.insert(entry.installedPath());
        Q_EMIT message(
            QString("File %1 up to date").arg(appRoot.absoluteFilePath(entry.installedPath())));
        verifiedSize += entry.fetchSize();
        Q_EMIT progressCount(verifiedSize, task.getTotalSize());
        break;
    case FileVerifier::GoodCopy:
        task.markDownloaded(i);
        verifiedSize += entry.fetchSize();
        Q_EMIT progressCount(verifiedSize, task.getTotalSize());
        break;
    case FileVerifier::BadCopy:
        task.markNoFile(i, false);
        QFile::remove(params.downloadDir + "/" + entry.fetchPath());
        break;
    case FileVerifier::PartCopy:
        if (const QBitArray kept = verifier->keptPieces(i); !kept.isEmpty()) {
            keptPieces.insert(i, kept);
            Q_EMIT message(QString("%1 of %2 pieces of %3 kept")
                               .arg(kept.count(true))
                               .arg(kept.size())
                               .arg(entry.fetchPath()));
        }
        task.markNoFile(i, false);
        break;
    case FileVerifier::NoFile:
        task.markNoFile(i, false);
        break;
    }
}

void FTPProductDownloadSession::onVerificationFinished()
{
    verifying = false;
    task.updateCompletionInfo();
    Q_EMIT message(QString("Verification of %1 file(s) complete. Ready: %2, Downloaded: %3.")
                       .arg(task.getSize())
                       .arg(task.readyCount)
                       .arg(task.downloadedCount - task.readyCount));
    Q_EMIT verificationFinished();
    if (state == PDS_Downloading && !ended)
        startDownloadBySessionState();
}

void FTPProductDownloadSession::startDownloadBySessionState()
{
    if (task.downloadedCount == task.getSize()) {
        Q_EMIT message("Download finished.");
        endSession(true);
        return;
    }
    if (!enoughDiskSpace())
        return;
    emitProgress();

    int m = 0;
    for (DownloadStream* record : std::as_const(streams)) {
        if (record->mirrorIndex >= 0 || mirrors.isEmpty())
            continue;
        attachStream(record, m);
        m = (m + 1) % mirrors.size();
    }
    for (int i = 0; i < streams.size(); ++i) {
        SingleFileDownloadStream* stream = streams[i]->stream;
        if (stream && streams[i]->mirrorIndex >= 0 && stream->getState() == DSS_Ready)
            assignNextFile(i);
    }
}

bool FTPProductDownloadSession::enoughDiskSpace()
{
    const quint64 needed = task.getTotalSize() - task.downloadedSize;
    // The download directory exists by now (the index lies in it); its nearest existing
    // ancestor stands in otherwise.
    QFileInfo dir(params.downloadDir);
    while (!dir.exists() && !dir.absoluteFilePath().isEmpty() && !dir.isRoot())
        dir = QFileInfo(dir.absolutePath());
    // Asked of the file system itself, which answers in chroots and containers too, where no
    // mount table may name the directory; only when even that fails is the check skipped.
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(dir.absoluteFilePath()).constData(), &fs) != 0)
        return true;
    const quint64 available = quint64(fs.f_bavail) * quint64(fs.f_frsize);
    if (needed <= available)
        return true;
    Q_EMIT message(QString("Not enough disk space: %1 MB needed, %2 MB free.")
                       .arg(megabytes(needed, true), megabytes(available, false)));
    endSession(false);
    return false;
}

int FTPProductDownloadSession::getNextFileIndex()
{
    return task.getNextFileMarkPending();
}

bool FTPProductDownloadSession::assignRange(int stream)
{
    for (auto it = splits.begin(); it != splits.end(); ++it) {
        const int range = it->take();
        if (range >= 0) {
            startRange(stream, it.key(), range);
            return true;
        }
        if (it->refused() && !it->held()) {
            // No mirror sends its ranges: the file comes whole, continued after the pieces
            // that arrived.
            const int f = it.key();
            splits.erase(it);
            FileSpecification entry;
            task.get(f, &entry);
            startFile(stream, f, entry);
            return true;
        }
    }
    return false;
}

void FTPProductDownloadSession::startRange(int stream, int f, int range)
{
    DownloadStream* record = streams[stream];
    const RangePlanner& plan = splits[f];
    FileSpecification entry;
    task.get(f, &entry);
    record->fileIndex = f;
    record->range = range;
    const quint64 offset = plan.offset(range), length = plan.length(range);
    const quint64 first = offset / entry.pieceLength;
    const quint64 count = (length + entry.pieceLength - 1) / entry.pieceLength;
    Q_EMIT message(QString("Stream %1: bytes %2 to %3 of %4")
                       .arg(stream)
                       .arg(offset)
                       .arg(offset + length - 1)
                       .arg(entry.fetchPath()));
    record->stream->getRange(entry.fetchPath(), qint64(offset), qint64(length),
                             qint64(entry.pieceLength),
                             entry.pieces.mid(qsizetype(first * 64), qsizetype(count * 64)));
}

void FTPProductDownloadSession::releaseWork(DownloadStream* record)
{
    if (record->fileIndex >= 0) {
        auto it = splits.find(record->fileIndex);
        if (it != splits.end() && record->range >= 0)
            it->release(record->range);
        else
            task.resetPendingMark(record->fileIndex);
    }
    record->fileIndex = -1;
    record->range = -1;
}

bool FTPProductDownloadSession::assignNextFile(int stream)
{
    DownloadStream* record = streams[stream];
    if (assignRange(stream))
        return true;
    const int f = getNextFileIndex();
    if (f < 0) {
        Q_EMIT message(QString("Stream %1 shutting down").arg(stream));
        if (record->stream)
            record->stream->cancel();
        record->fileIndex = -1;
        record->mirrorIndex = -1;
        return false;
    }
    FileSpecification entry;
    if (!task.get(f, &entry)) {
        Q_EMIT message("Fatal internal error");
        return false;
    }
    // A large file with pieces, not begun, is fetched in ranges by every stream that is free; of
    // a kept copy, only the pieces that are not good.
    const QBitArray kept = keptPieces.take(f);
    if (entry.patch < 0 && !entry.pieces.isEmpty() &&
        (!kept.isEmpty() || (RangePlanner::splits(entry.size, entry.pieceLength, streams.size()) &&
                             !QFileInfo::exists(params.downloadDir + "/" + entry.mirrorPath())))) {
        RangePlanner plan(entry.size, entry.pieceLength, streams.size(), kept);
        if (const int range = plan.take(); range >= 0) {
            splits.insert(f, plan);
            startRange(stream, f, range);
            return true;
        }
    }
    startFile(stream, f, entry);
    return true;
}

void FTPProductDownloadSession::startFile(int stream, int f, const FileSpecification& entry)
{
    streams[stream]->fileIndex = f;
    // A patch has no pieces of its own.
    const bool whole = entry.patch < 0;
    streams[stream]->stream->getFile(entry.fetchPath(), entry.fetchChecksum(),
                                     qint64(entry.fetchSize()), whole ? entry.pieceLength : 0,
                                     whole ? entry.pieces : QByteArray());
}

int FTPProductDownloadSession::getNextMirror()
{
    const int n = mirrors.size();
    if (n == 0)
        return -1;
    const int start = int(randomGenerator()->bounded(quint32(n)));
    for (int k = 0; k < n; ++k) {
        const int j = (start + k) % n;
        if (!mirrors[j].marked)
            return j;
    }
    return -1;
}

void FTPProductDownloadSession::changeStreamMirror(int stream)
{
    DownloadStream* record = streams[stream];
    if (record->mirrorIndex >= 0)
        mirrors[record->mirrorIndex].marked = true;
    record->mirrorIndex = -1;
    releaseWork(record);
    moveToNextMirror(stream, true);
}

// After an error the new mirror is named by its index and announced; after a disconnection,
// which is no fault of the mirror, by its url alone.
void FTPProductDownloadSession::moveToNextMirror(int stream, bool afterError)
{
    DownloadStream* record = streams[stream];
    const int k = getNextMirror();
    if (k < 0) {
        Q_EMIT message(
            QString("Stream %1 can't continue - all mirrors reported error").arg(stream));
        if (record->stream)
            record->stream->cancel();
        releaseWork(record);
        record->mirrorIndex = -1;
        giveUpIfNoMirrorLeft();
        return;
    }
    if (record->stream)
        record->stream->cancel();
    releaseWork(record);
    const QString to = afterError ? QString::number(k) : mirrors[k].url;
    Q_EMIT message(QString("Stream %1 change mirror to %2").arg(stream).arg(to));
    attachStream(record, k);
    if (afterError)
        Q_EMIT streamSwitchMirror(stream);
}

void FTPProductDownloadSession::giveUpIfNoMirrorLeft()
{
    for (const DownloadStream* record : std::as_const(streams)) {
        if (record->mirrorIndex >= 0)
            return;
    }
    endSession(false);
}

void FTPProductDownloadSession::endSession(bool finished)
{
    // Mirrors that cannot be reached do not matter once one of them had a good record.
    if (params.latestOnly)
        finished = latest > 0;
    // The owner may release the session from its slot; nothing is touched after the signal.
    ended = true;
    if (finished)
        Q_EMIT downloadFinished();
    else
        Q_EMIT processCancelled();
}

void FTPProductDownloadSession::onStateChanged(int, DownloadStream_State) {}

void FTPProductDownloadSession::onStreamMessage(int streamIdx, QString text)
{
    if (ended)
        return;
    Q_EMIT message(tr("Stream %1: %2").arg(streamIdx).arg(text));
}

void FTPProductDownloadSession::onFailedToConnect(int streamIdx, const QString& text)
{
    if (ended)
        return;
    Q_EMIT message(tr("Stream %1 got error %2").arg(streamIdx).arg(text));
    changeStreamMirror(streamIdx);
}

void FTPProductDownloadSession::onConnected(int streamIdx)
{
    if (ended)
        return;
    Q_EMIT message(QString("Stream %1 connected").arg(streamIdx));
    DownloadStream* record = streams[streamIdx];
    if (state == PDS_Downloading && !verifying) {
        if (record->stream && record->mirrorIndex >= 0 && record->fileIndex < 0 &&
            record->stream->getState() == DSS_Ready)
            assignNextFile(streamIdx);
    } else if (state == PDS_Starting && streamIdx == 0) {
        retrieveSessionState();
    }
}

void FTPProductDownloadSession::onDisconnected(int streamIdx)
{
    if (ended)
        return;
    DownloadStream* record = streams[streamIdx];
    if (record->mirrorIndex < 0)
        return;
    // The file the stream was fetching goes back to the pool for whichever stream asks next.
    releaseWork(record);
    if (state == PDS_RetrievingFileList && streamIdx == 0)
        state = PDS_Starting;
    moveToNextMirror(streamIdx, false);
}

void FTPProductDownloadSession::onProgressCount(int, qint64, qint64)
{
    // Before the index is in, there is no total to show progress against.
    if (ended || state != PDS_Downloading)
        return;
    emitProgress();
}

void FTPProductDownloadSession::emitProgress()
{
    quint64 sum = 0;
    for (const DownloadStream* record : std::as_const(streams)) {
        if (record->fileIndex < 0 || !record->stream)
            continue;
        quint64 received = 0;
        record->stream->getProgress(&received, nullptr);
        sum += received;
    }
    for (const RangePlanner& plan : std::as_const(splits))
        sum += plan.bytesDone();
    Q_EMIT progressCount(task.downloadedSize + sum, task.getTotalSize());
}

void FTPProductDownloadSession::onFileFinished(int streamIdx)
{
    if (ended)
        return;
    if (state == PDS_RetrievingFileList) {
        if (streamIdx != 0)
            return;
        if (indexStep == IndexStep::Latest) {
            fetchIndexFile(IndexStep::LatestSignature);
        } else if (indexStep == IndexStep::LatestSignature) {
            takeLatestRecord();
        } else if (indexStep == IndexStep::Index) {
            indexFile = streams[0]->stream->getDestFilePath();
            fetchIndexFile(IndexStep::Manifest);
        } else if (indexStep == IndexStep::Manifest && params.trustedKeys) {
            fetchIndexFile(IndexStep::Signature);
        } else {
            takeFileList();
        }
        return;
    }
    if (state != PDS_Downloading)
        return;
    DownloadStream* record = streams[streamIdx];
    const int f = record->fileIndex;
    if (f < 0)
        return;
    record->fileIndex = -1;
    if (record->range >= 0) {
        RangePlanner& plan = splits[f];
        plan.finish(record->range);
        record->range = -1;
        if (!plan.done()) {
            emitProgress();
            assignNextFile(streamIdx);
            return;
        }
        splits.remove(f);
    }
    fileDownloaded(streamIdx, f);
}

void FTPProductDownloadSession::fileDownloaded(int streamIdx, int f)
{
    task.markReady(f);
    emitProgress();
    if (task.downloadedCount == task.getSize()) {
        Q_EMIT message("Download finished.");
        endSession(true);
        return;
    }
    FileSpecification entry;
    task.get(f, &entry);
    Q_EMIT message(QString("Stream %1, %2 OK")
                       .arg(streamIdx)
                       .arg(entry.patch < 0 ? entry.name : entry.fetchPath()));
    assignNextFile(streamIdx);
}

void FTPProductDownloadSession::takeFileList()
{
    const int mirror = streams[0]->mirrorIndex;
    const QString name = mirror >= 0 ? mirrors[mirror].name : QString();
    TaskSpecification list;
    const ReleaseCheck check = ReleaseCheck::read(
        indexFile, params.trustedKeys.get(), params.clientType, params.version, &list, nullptr);
    switch (check.problem) {
    case ReleaseCheck::ManifestMissing:
        rejectIndexMirror(QString("Manifest from %1 is missing.").arg(name));
        return;
    case ReleaseCheck::SignatureInvalid:
        rejectIndexMirror(QString("Index signature from %1 is missing or not valid.").arg(name));
        return;
    case ReleaseCheck::ManifestInvalid:
        rejectIndexMirror(QString("Manifest from %1 is not valid: %2.").arg(name, check.detail));
        return;
    case ReleaseCheck::IndexUnreadable:
        // Signed or not, the next mirror may serve a usable one.
        Q_EMIT message(tr("Unable to initialize session with %1.").arg(indexFile));
        rejectIndexMirror(QString("Index from %1 is not usable: %2.").arg(name, check.detail));
        return;
    case ReleaseCheck::None:
        break;
    }
    // Every version has files: an index without any is a broken mirror, not a finished update.
    if (list.getSize() == 0) {
        rejectIndexMirror(QString("Index from %1 lists no files.").arg(name));
        return;
    }
    Q_EMIT message("Download file list retrieved.");
    Q_EMIT message(
        check.usesManifest
            ? QString("Files are checked by SHA-256 from the manifest.")
            : QString("Files are checked by MD5: no usable manifest from %1%2.")
                  .arg(name, check.detail.isEmpty() ? QString() : " (" + check.detail + ")"));
    state = PDS_Downloading;
    // The download starts when the verification has finished.
    startVerification(list);
}

// What a mirror serves without a good manifest and signature is not used: it goes, the mirror
// is marked and stream 0 asks the next mirror, as after a failed index.
void FTPProductDownloadSession::rejectIndexMirror(const QString& text)
{
    Q_EMIT message(text);
    QFile::remove(indexFile);
    QFile::remove(manifestPathOf(indexFile));
    QFile::remove(signaturePathOf(indexFile));
    indexFile.clear();
    indexStep = IndexStep::Index;
    state = PDS_Starting;
    changeStreamMirror(0);
}

// Each mirror's record is read once; the highest version that a valid, unexpired record names
// wins, so a mirror that serves an older record, still valid, cannot hold an update back.
void FTPProductDownloadSession::takeLatestRecord()
{
    const QString path = streams[0]->stream->getDestFilePath();
    QFile recordFile(path.chopped(4)), signatureFile(path);
    const QByteArray text = recordFile.open(QIODevice::ReadOnly)
                                ? recordFile.read(LatestRecord::maximumSize + 1)
                                : QByteArray();
    const QByteArray signature = signatureFile.open(QIODevice::ReadOnly)
                                     ? signatureFile.read(TrustedKeys::signatureSize + 1)
                                     : QByteArray();
    recordFile.remove();
    signatureFile.remove();
    LatestRecord record;
    QString problem = LatestRecord::parse(text, &record);
    if (problem.isEmpty() && record.type != params.clientType)
        problem = QString("it is the record of %1").arg(record.type);
    if (problem.isEmpty() &&
        !params.trustedKeys->verify(latestSignatureMessage(params.clientType, text), signature))
        problem = "its signature is missing or not valid";
    if (!problem.isEmpty()) {
        nextLatestMirror(QString("is not valid: %1").arg(problem));
        return;
    }
    const QString until = LatestRecord::timeText(record.expires);
    if (record.expires <= QDateTime::currentDateTimeUtc()) {
        if (!newestExpired.isValid() || record.expires > newestExpired)
            newestExpired = record.expires;
        nextLatestMirror(
            QString("names version %1 but expired on %2").arg(record.version).arg(until));
        return;
    }
    latest = qMax(latest, record.version);
    nextLatestMirror(QString("names version %1, valid until %2").arg(record.version).arg(until));
}

void FTPProductDownloadSession::nextLatestMirror(const QString& text)
{
    DownloadStream* record = streams[0];
    const int mirror = record->mirrorIndex;
    Q_EMIT message(QString("Latest-version record from %1 %2.")
                       .arg(mirror >= 0 ? mirrors[mirror].name : QString(), text));
    if (mirror >= 0)
        mirrors[mirror].marked = true;
    state = PDS_Starting;
    if (getNextMirror() >= 0) {
        moveToNextMirror(0, false);
        return;
    }
    if (record->stream)
        record->stream->cancel();
    record->mirrorIndex = -1;
    endSession(latest > 0);
}

void FTPProductDownloadSession::onFileError(int streamIdx, DownloadStream_Error kind,
                                            const QString& text)
{
    if (ended)
        return;
    if (params.latestOnly && state == PDS_RetrievingFileList && kind != DSE_LocalFile) {
        nextLatestMirror(QString("is missing: %1").arg(text));
        return;
    }
    // A mirror without a manifest is an older one: without keys its index is used with MD5;
    // with keys, ReleaseCheck refuses it like one without a signature.
    if (state == PDS_RetrievingFileList && streamIdx == 0 && indexStep != IndexStep::Index &&
        kind != DSE_LocalFile) {
        Q_EMIT message(QString("Stream %1 reported error: %2").arg(streamIdx).arg(text));
        takeFileList();
        return;
    }
    if (state == PDS_RetrievingFileList)
        state = PDS_Starting;
    DownloadStream* record = streams[streamIdx];
    FileSpecification entry;
    if (state == PDS_Downloading && kind != DSE_LocalFile && record->fileIndex >= 0 &&
        task.get(record->fileIndex, &entry) && entry.patch >= 0) {
        // A mirror without the patch, or with a damaged one, may still have the whole file: it
        // is fetched instead, once, from the same mirror, checked like any other.
        Q_EMIT message(QString("Stream %1 reported error: %2").arg(streamIdx).arg(text));
        Q_EMIT message(
            QString("Patch %1 failed: the whole file is fetched.").arg(entry.fetchPath()));
        task.usePatch(record->fileIndex, -1);
        task.resetPendingMark(record->fileIndex);
        record->fileIndex = -1;
        emitProgress();
        assignNextFile(streamIdx);
        return;
    }
    if (record->range >= 0 && record->mirrorIndex >= 0 && kind != DSE_NoRanges &&
        kind != DSE_LocalFile)
        Q_EMIT message(QString("Stream %1: a range of %2 from %3 failed")
                           .arg(streamIdx)
                           .arg(entry.fetchPath())
                           .arg(mirrors[record->mirrorIndex].name));
    if (kind == DSE_NoRanges && record->range >= 0) {
        // Not the mirror's fault: its ranges go to others, or the file comes whole.
        Q_EMIT message(QString("Stream %1: %2").arg(streamIdx).arg(text));
        splits[record->fileIndex].refuse();
        releaseWork(record);
        emitProgress();
        assignNextFile(streamIdx);
        return;
    }
    switch (kind) {
    case DSE_NoRanges:
    case DSE_WrongChecksum:
    case DSE_WrongLength:
    case DSE_TransferFailed:
        Q_EMIT message(QString("Stream %1 reported error: %2").arg(streamIdx).arg(text));
        changeStreamMirror(streamIdx);
        break;
    case DSE_LocalFile:
        // The download directory cannot be written: no mirror helps. The record and the files
        // already fetched stay, so a restart resumes once the disk is fixed.
        Q_EMIT message(QString("Stream %1 reported error: %2").arg(streamIdx).arg(text));
        endSession(false);
        break;
    }
}
