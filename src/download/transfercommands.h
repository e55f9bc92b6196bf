#pragma once

#include <QList>
#include <QPointer>
#include <QString>

#include <functional>

class QIODevice;
class QObject;

// One queued command of HttpClient or FtpClient.
struct TransferCommand {
    int id = 0;
    int type = 0; // the client's own command kinds
    QString host;
    QString user;
    QString password;
    QString path;
    int port = 0;
    bool flag = false; // HTTP: secure; FTP: ASCII mode
    QIODevice* device = nullptr;
    qint64 limit = -1;
    qint64 offset = 0;      // where the body starts in the file
    qint64 rangeLength = 0; // > 0: only that many bytes from offset on
};

// The command queue both clients share: identifiers, one command at a time, each started on a
// later pass of the event loop, and one finished report per command that was not cleared.
class TransferCommands
{
public:
    using Started = std::function<void(int id)>;
    using Finished = std::function<void(int id, bool error)>;
    using Run = std::function<void(const TransferCommand&)>;

    TransferCommands(QObject* owner, Started started, Finished finished, Run run);

    int enqueue(TransferCommand command);
    // Reports the running command finished and goes on with the next one later.
    void finishCurrent(bool error);
    // Reports a command that was taken off the queue together with the running one.
    void reportExtra(int id, bool error);
    void clearPending();
    // Forgets the running command; its finished report (with error) is sent later.
    void abortCurrent();

    bool isBusy() const { return current >= 0; }
    int currentId() const { return current; }
    bool hasPending() const { return !pending.isEmpty() || current >= 0; }
    // The next queued command, if it is of the given type (and takes it off the queue).
    bool takeNextOfType(int type, TransferCommand* out);

private:
    void schedule();
    void runNext();

    QPointer<QObject> owner;
    Started started;
    Finished finished;
    Run run;
    QList<TransferCommand> pending;
    int nextId = 1;
    int current = -1;
    bool scheduled = false;
};
