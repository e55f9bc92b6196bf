#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

class TaskSpecification;
class TrustedKeys;
struct FileSpecification;

// How the application asks what to do about a file it cannot replace or install. The window
// shows a box; the answer may come later, from the event loop.
class UpdateQuestions
{
public:
    enum Answer { Abort, Retry, Ignore };
    virtual ~UpdateQuestions() = default;
    // Calls `answered` exactly once with the user's answer.
    virtual void askAbortRetryIgnore(const QString& text, std::function<void(Answer)> answered) = 0;
};

// Applies a downloaded file set to the installation directory: the "delete" removals, then each
// entry copied, unpacked or patched into place, special files moved aside first. A job on the
// event loop: workers write the new files, this object's thread renames them in index order.
class DirectoryUpdate : public QObject
{
    Q_OBJECT
public:
    struct Prepared;

    DirectoryUpdate();
    ~DirectoryUpdate() override;

    // Starts applying and returns at once; updateFinished() follows exactly once, from the event
    // loop. False, with nothing touched and no signal, when the index cannot be used.
    bool updateContent(bool noUser, const QString& sourceDir, const QString& indexPath,
                       const QString& destDir);
    // Ends the run after the file in hand (every file stays old or new): updateFinished() follows,
    // incomplete unless nothing was left.
    void stop();
    // Who answers the questions; without one, and when unattended, every answer is Ignore.
    void setQuestions(UpdateQuestions* asker) { questions = asker; }

    // From then on updateContent applies an index only with its manifest and a signature over
    // both that verifies for this type and version; an index it refuses counts as unreadable.
    void requireSignature(std::shared_ptr<const TrustedKeys> keys, const QString& clientType,
                          const QString& version);

    // Installed paths that are known to hold their new content already: nothing is done for
    // them, whatever lies in the download directory.
    void setCurrentFiles(const QSet<QString>& paths) { currentFiles = paths; }

    // After updateFinished: true when every entry of the index ended installed (or needed
    // nothing), false after an abort, a stop, an ignored failure or an unreadable index.
    bool isComplete() const { return complete; }
    // After an incomplete run that was not aborted or stopped: the installed paths whose patch
    // did not rebuild them; their whole files would.
    const QStringList& failedPatches() const { return unpatched; }

Q_SIGNALS:
    void updateInitiated();
    void progress(quint64, quint64);
    void message(QString);
    void updateFinished();

public Q_SLOTS:
    void emitUpdateFinished();

private:
    void fill();
    void submit(int i);
    void onPrepared(int i, const Prepared& p);
    void advance();
    void install(int i, const Prepared& prepared);
    void replace(int i, const FileSpecification& entry, const Prepared& prepared,
                 const QString& movedAside, bool linked);
    void entryDone(const FileSpecification& entry, const Prepared& prepared, bool failed);
    void ask(const QString& text, std::function<void(UpdateQuestions::Answer)> then);
    void end();
    void finishWhenIdle();
    static void dropNew(const Prepared& p);
    // Makes way for the new file at `path` (a special file gets a second name, or is moved
    // aside), asking when it cannot; `then` learns the answer (Ignore when the way is free) and
    // where the special file went.
    void ensureFileRemoved(
        const QString& path,
        std::function<void(UpdateQuestions::Answer, const QString& movedAside, bool linked)> then);
    bool clearDestination(const QString& path, QString* movedAside, bool* linked, QString* failure);
    void restoreMovedAside(const QString& movedAside, const QString& destination, bool linked);

    bool complete = false;
    std::shared_ptr<const TrustedKeys> trustedKeys;
    QString signedType;
    QString signedVersion;
    UpdateQuestions* questions = nullptr;
    QSet<QString> currentFiles;
    QStringList unpatched;

    // The run in progress.
    std::unique_ptr<TaskSpecification> list;
    bool unattended = false;
    QString sourceRoot, destRoot;
    quint64 total = 0, done = 0;
    int next = 0;      // the entry to install next
    int submitted = 0; // entries handed to the workers
    int inFlight = 0;  // worker tasks not reported back
    QHash<int, Prepared> ready;
    QSet<QString> directories;
    bool running = false, ending = false, waitingForAnswer = false;
    bool allInstalled = true, aborted = false, stopRequested = false;
    std::atomic<bool> stopping{false};
    // Last: it goes first, waiting for the workers while everything they touch is still there.
    QThreadPool pool;
};
