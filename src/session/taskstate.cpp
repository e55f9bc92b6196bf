#include "taskstate.h"

bool TaskState::initializeByProductIni(const QString& path)
{
    if (!TaskSpecification::initializeByProductIni(path))
        return false;
    resetCounters();
    return true;
}

void TaskState::assign(const TaskSpecification& list)
{
    TaskSpecification::operator=(list);
    resetCounters();
}

void TaskState::resetCounters()
{
    readyCount = 0;
    readyBound = -1;
    readySize = 0;
    downloadedCount = 0;
    downloadedBound = -1;
    downloadedSize = 0;
}

namespace
{
// Sets the mark, clears the pending one, and counts the entry once.
void setMark(FileSpecification& entry, unsigned int mark, unsigned int pending, int* count,
             quint64* size)
{
    const unsigned int old = entry.flags;
    entry.flags = (old & ~(mark | pending)) | mark;
    if ((old & mark) == 0) {
        ++*count;
        *size += entry.fetchSize();
    }
}
} // namespace

void TaskState::markReady(int index)
{
    setMark(files[index], F_READY, F_PENDING, &readyCount, &readySize);
    readyBound = getTaskListMinimumBound(F_READY, readyBound);
    markDownloaded(index);
}

void TaskState::markDownloaded(int index)
{
    setMark(files[index], F_DOWNLOADED, F_PENDING, &downloadedCount, &downloadedSize);
    downloadedBound = getTaskListMinimumBound(F_DOWNLOADED, downloadedBound);
}

void TaskState::markNoFile(int index, bool update)
{
    files[index].flags &= ~(F_READY | F_PENDING);
    if (update)
        updateCompletionInfo();
}

void TaskState::resetPendingMark(int index)
{
    files[index].flags &= ~F_PENDING;
}

void TaskState::resetMarks()
{
    resetFlags(F_READY | F_PENDING | F_DOWNLOADED);
}

int TaskState::getNextFileMarkPending()
{
    const int n = files.size();
    for (int i = readyBound + 1; i < n; ++i) {
        if ((files[i].flags & (F_READY | F_PENDING | F_DOWNLOADED)) == 0) {
            files[i].flags |= F_PENDING;
            return i;
        }
    }
    return -1;
}

int TaskState::getTaskListMinimumBound(unsigned int mask, int start) const
{
    const int n = files.size();
    int j = start;
    while (j + 1 < n && (files[j + 1].flags & mask) != 0)
        ++j;
    return j;
}

void TaskState::getTaskAggregateInfo(unsigned int mask, int* bound, int* count, quint64* size) const
{
    int b = -1;
    int c = 0;
    quint64 s = 0;
    for (int i = 0; i < files.size(); ++i) {
        if ((files[i].flags & mask) == 0)
            continue;
        if (i - 1 == b)
            b = i;
        ++c;
        s += files[i].fetchSize();
    }
    *bound = b;
    *count = c;
    *size = s;
}

void TaskState::updateCompletionInfo()
{
    getTaskAggregateInfo(F_READY, &readyBound, &readyCount, &readySize);
    getTaskAggregateInfo(F_DOWNLOADED, &downloadedBound, &downloadedCount, &downloadedSize);
}
