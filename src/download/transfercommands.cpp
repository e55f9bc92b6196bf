#include "transfercommands.h"

#include <QMetaObject>
#include <QObject>

TransferCommands::TransferCommands(QObject* owner, Started started, Finished finished, Run run)
    : owner(owner), started(std::move(started)), finished(std::move(finished)), run(std::move(run))
{
}

int TransferCommands::enqueue(TransferCommand command)
{
    command.id = nextId++;
    pending.append(command);
    schedule();
    return command.id;
}

void TransferCommands::schedule()
{
    if (scheduled || current >= 0 || pending.isEmpty() || !owner)
        return;
    scheduled = true;
    // The owner is the context: if it goes, the call goes with it.
    QMetaObject::invokeMethod(
        owner,
        [this] {
            scheduled = false;
            runNext();
        },
        Qt::QueuedConnection);
}

void TransferCommands::runNext()
{
    if (current >= 0 || pending.isEmpty())
        return;
    const TransferCommand c = pending.takeFirst();
    current = c.id;
    started(c.id);
    // A slot of started() may have aborted it.
    if (current == c.id)
        run(c);
}

void TransferCommands::finishCurrent(bool error)
{
    const int id = current;
    if (id < 0)
        return;
    current = -1;
    schedule();
    finished(id, error);
}

void TransferCommands::reportExtra(int id, bool error)
{
    started(id);
    finished(id, error);
}

void TransferCommands::clearPending()
{
    pending.clear();
}

void TransferCommands::abortCurrent()
{
    const int id = current;
    if (id < 0)
        return;
    current = -1;
    Finished report = finished;
    QMetaObject::invokeMethod(
        owner, [report, id] { report(id, true); }, Qt::QueuedConnection);
    schedule();
}

bool TransferCommands::takeNextOfType(int type, TransferCommand* out)
{
    if (pending.isEmpty() || pending.first().type != type)
        return false;
    *out = pending.takeFirst();
    return true;
}
