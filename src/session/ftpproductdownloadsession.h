#pragma once

#include "downloadstream.h"
#include "fileverifier.h"
#include "rangeplanner.h"
#include "release.h"
#include "streamrelay.h"
#include "taskstate.h"

#include <QBitArray>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <memory>

class QRandomGenerator;
class TrustedKeys;

enum FTPProductDownloadSession_State {
    PDS_Starting = 0,
    PDS_RetrievingFileList = 1,
    PDS_Downloading = 2,
};
Q_DECLARE_METATYPE(FTPProductDownloadSession_State)

// Downloads the complete file set of one version from the mirrors of "mirrors.ini" over
// several parallel streams, after verifying what is already installed or downloaded.
class FTPProductDownloadSession : public QObject
{
    Q_OBJECT
public:
    struct InitialParameters {
        QString clientType;
        QString version;
        QString mirrorsFile;
        QString settingsFile;
        QString downloadDir;
        bool resumeDownloadDir = false;
        int defaultStreams = 1;
        QString sessionFile;
        // With keys, an index is used only with its manifest and a signature over both that
        // verifies; without, a manifest that matches the index is used, if the mirror has one.
        std::shared_ptr<const TrustedKeys> trustedKeys;
        // Threads that hash during the verification; 0: as many as the machine has cores.
        int verificationThreads = 0;
        // Installed paths fetched whole though a patch would do: their patches failed.
        QSet<QString> wholeFiles;
        // Fetch only the signed latest-version record of the client type from the mirrors'
        // roots (version empty), every mirror once: downloadFinished() when one verifies with
        // the trusted keys and has not expired, processCancelled() otherwise.
        bool latestOnly = false;
    };

    struct MarkedSiteData {
        bool marked = false;
        QString name;
        QString url;
        int retries = 5;
        int timeout = 15;
    };

    struct DownloadStream {
        DownloadStream(int index, const QString& downloadDir, const QString& proxy);
        ~DownloadStream();
        DownloadStream(const DownloadStream&) = delete;
        DownloadStream& operator=(const DownloadStream&) = delete;

        DownloadStreamIdentifiedSignals relay;
        QString downloadDir;
        QString proxy;
        int mirrorIndex = -1;
        int fileIndex = -1;
        int range = -1; // of the file, when it is fetched in ranges
        SingleFileDownloadStream* stream = nullptr;
    };

    FTPProductDownloadSession();
    ~FTPProductDownloadSession() override;

    bool initialize(const InitialParameters& parameters);
    void startUpdate();

    bool retrieveSessionState();
    // False when the index cannot be used. Otherwise the verification runs on worker threads
    // and reports from the event loop; verificationFinished() ends it.
    bool checkAllFiles(const QString& indexPath);
    void startDownloadBySessionState();

    InitialParameters params;

    // Read access for the owner and for tests.
    FTPProductDownloadSession_State getState() const { return state; }
    const TaskState& getTask() const { return task; }
    // The installed paths that the verification found current: the apply leaves them alone,
    // whatever copies or patches lie in the download directory.
    const QSet<QString>& currentFiles() const { return current; }
    // After a latestOnly run: the highest version a valid, unexpired record names (0: none), and
    // the expiry of the newest record that was valid but had expired.
    int latestVersion() const { return latest; }
    QDateTime latestExpired() const { return newestExpired; }

    // The generator behind the random choice of mirrors, shared by all sessions. It starts
    // seeded with the time in seconds; main may seed it again once at start.
    static QRandomGenerator* randomGenerator();

Q_SIGNALS:
    void downloadInitiated();
    void progressCount(quint64, quint64);
    void message(QString);
    void downloadFinished();
    void streamStarted(int);
    void streamSwitchMirror(int stream);
    void streamError(int stream, const QString&);
    void streamFinished();
    void streamProgress(int stream, qulonglong, qulonglong);
    void processCancelled();
    void verificationFinished();

private Q_SLOTS:
    void onStateChanged(int, DownloadStream_State);
    void onStreamMessage(int, QString);
    void onFailedToConnect(int, const QString&);
    void onConnected(int streamIdx);
    void onDisconnected(int streamIdx);
    void onProgressCount(int streamIdx, qint64, qint64);
    void onFileFinished(int streamIdx);
    void onFileError(int streamIdx, DownloadStream_Error, const QString&);
    void onFileVerified(int index, FileVerifier::Outcome outcome, int patch);
    void onVerificationFinished();

private:
    void arrangeStreams();
    DownloadStream* createDownloadStream();
    int getNextFileIndex();
    bool assignNextFile(int stream);
    // A range of a file fetched in ranges, for a stream that is free; false when none is open.
    bool assignRange(int stream);
    void startRange(int stream, int file, int range);
    // The file (or its patch) for a stream, whole.
    void startFile(int stream, int file, const FileSpecification& entry);
    // The file or range a stream held goes back for another stream.
    void releaseWork(DownloadStream* record);
    void fileDownloaded(int stream, int file);
    int getNextMirror();
    void changeStreamMirror(int stream);
    void moveToNextMirror(int stream, bool afterError);
    void attachStream(DownloadStream* record, int mirror);
    enum class IndexStep { Index, Manifest, Signature, Latest, LatestSignature };
    void fetchIndexFile(IndexStep step);
    void takeFileList();
    void startVerification(const TaskSpecification& list);
    void rejectIndexMirror(const QString& text);
    void takeLatestRecord();
    void nextLatestMirror(const QString& text);
    bool enoughDiskSpace();
    void emitProgress();
    void giveUpIfNoMirrorLeft();
    void endSession(bool finished);

    FTPProductDownloadSession_State state = PDS_Starting;
    QDir appRoot;
    QString proxy;
    int streamCount = 1;
    QVector<MarkedSiteData> mirrors;
    TaskState task;
    // Large files with pieces are fetched in ranges by several streams at once.
    QHash<int, RangePlanner> splits;
    // The good pieces of kept copies, by file, until their files are fetched.
    QHash<int, QBitArray> keptPieces;
    QVector<DownloadStream*> streams;
    // Set just before the final signal: later stream events find nothing to do.
    bool ended = false;
    // What stream 0 fetches while the file list is retrieved: the index, then the manifest, then
    // (with keys) the signature.
    IndexStep indexStep = IndexStep::Index;
    QString indexFile;
    // Kept until the session goes: it may be the one emitting when the session is done.
    std::unique_ptr<FileVerifier> verifier;
    bool verifying = false;
    quint64 verifiedSize = 0;
    QSet<QString> current;
    int latest = 0;
    QDateTime newestExpired;
};
