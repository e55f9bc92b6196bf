#pragma once

#include "taskspecification.h"

class TaskState : public TaskSpecification
{
public:
    static const unsigned int F_READY = 1;
    static const unsigned int F_PENDING = 2;
    static const unsigned int F_DOWNLOADED = 4;

    TaskState() = default;

    bool initializeByProductIni(const QString& path);
    // The entries of a list read elsewhere, none of them marked yet.
    void assign(const TaskSpecification& list);

    bool isReady(int index) const { return (files[index].flags & F_READY) != 0; }
    bool isDownloaded(int index) const { return (files[index].flags & F_DOWNLOADED) != 0; }
    void markReady(int index);
    void markDownloaded(int index);
    void markNoFile(int index, bool update);
    void resetPendingMark(int index);
    void resetMarks();
    int getNextFileMarkPending();
    int getTaskListMinimumBound(unsigned int mask, int start) const;
    void getTaskAggregateInfo(unsigned int mask, int* bound, int* count, quint64* size) const;
    void updateCompletionInfo();

    int readyCount = 0;
    int readyBound = -1;
    quint64 readySize = 0;
    int downloadedCount = 0;
    int downloadedBound = -1;
    quint64 downloadedSize = 0;

private:
    void resetCounters();
};
