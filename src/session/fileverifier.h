#pragma once

#include <QBitArray>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QVector>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// Hashes the candidate files of a verification on worker threads and hands the outcomes to its
// owner's thread strictly in index order, so that whatever the owner reports comes in the same
// order and with the same texts as from one pass over the list.
class FileVerifier : public QObject
{
    Q_OBJECT
public:
    struct Copy { // a file in the download directory, its length and checksum
        QString local;
        quint64 size = 0;
        QString checksum;
    };
    struct Patch : Copy { // taken when the installed file is its source
        QString sourceChecksum;
        quint64 sourceSize = 0;
    };
    struct Candidate : Copy {
        QString installed; // the installed file and the checksum it must have
        QString installedChecksum;
        QVector<Patch> patches;
        // The SHA-256 texts of the file's pieces, when the manifest has them: a copy that is not
        // the file is checked piece by piece, and kept when some of its pieces are good.
        quint64 pieceLength = 0;
        QByteArray pieces;
    };
    enum Outcome {
        Current,  // the installed file has its checksum
        GoodCopy, // the download directory holds a good copy
        NoFile,   // nothing at hand
        BadCopy,  // the copy in the download directory is not the file
        PartCopy, // the download directory holds a part of it, to be continued
    };

    // threads < 1: as many as the machine has cores.
    FileVerifier(QVector<Candidate> candidates, int threads);
    // Stops the workers; they notice within one block.
    ~FileVerifier() override;

    void start();
    // For a PartCopy of a file with pieces, delivered already: which of its pieces are good.
    QBitArray keptPieces(int index);

Q_SIGNALS:
    // In index order, on the thread the verifier lives in; after the last one, finished().
    // `patch`: the candidate's patch whose source the installed file is, -1 for none; the copy
    // the outcome speaks of is that patch's.
    void verified(int index, FileVerifier::Outcome outcome, int patch);
    void finished();

private:
    void work();
    struct Result {
        Outcome outcome = NoFile;
        int patch = -1;
        QBitArray kept; // of a PartCopy with pieces, the good ones
    };
    Result check(const Candidate& c, char* buffer);
    // A copy without pieces: a shorter one is a part to continue, else the file or not.
    Outcome copyOutcome(const QString& path, quint64 size, const QString& checksum, char* buffer);
    // A copy of a file with pieces: whole, or the pieces of it that hold.
    Result piecesOutcome(const Candidate& c);
    // Checksum text of the file by the algorithm of `expected`, or a null string when it cannot
    // be read or the run stops.
    QString hash(const QString& path, qint64 expectedSize, const QString& expected, char* buffer,
                 quint64* size = nullptr);
    void deliver();

    const QVector<Candidate> candidates;
    const int threadCount;
    std::atomic<int> nextIndex{0};
    std::atomic<bool> stopping{false};

    std::mutex lock;
    std::vector<Result> outcomes; // patch -2 until known
    int delivered = 0;
    bool deliveryQueued = false;
    // Last: it goes first, waiting for the workers while everything they touch is still there.
    QThreadPool pool;
};
