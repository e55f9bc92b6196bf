#pragma once

// Records every signal of a download stream as one readable line, in emission order. Header
// only: the support library does not link the download library, the download tests do.

#include "downloadstream.h"

#include <QList>
#include <QPair>
#include <QStringList>

class StreamRecorder
{
public:
    explicit StreamRecorder(SingleFileDownloadStream* s)
    {
        using S = SingleFileDownloadStream;
        QObject::connect(s, &S::stateChanged, [this](DownloadStream_State st) {
            events << QString("state %1").arg(int(st));
        });
        QObject::connect(s, &S::message, [this](const QString& t) { events << "message " + t; });
        QObject::connect(s, &S::failedToConnect,
                         [this](const QString& t) { events << "failedToConnect " + t; });
        QObject::connect(s, &S::connected, [this] { events << "connected"; });
        QObject::connect(s, &S::disconnected, [this] { events << "disconnected"; });
        // Kept apart: how often progress is reported depends on the network.
        QObject::connect(s, &S::progressCount, [this](qint64 done, qint64 total) {
            progress.append({done, total});
        });
        QObject::connect(s, &S::fileFinished, [this] { events << "finished"; });
        QObject::connect(s, &S::fileError, [this](DownloadStream_Error e, const QString& t) {
            events << QString("error %1 %2").arg(int(e)).arg(t);
        });
    }

    // The current file has been announced as finished or failed.
    bool ended() const
    {
        return !events.isEmpty() &&
               (events.last() == "finished" || events.last().startsWith("error "));
    }

    QStringList events;
    QList<QPair<qint64, qint64>> progress;
};
