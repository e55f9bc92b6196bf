#pragma once

// Records every signal of a download stream as one readable line, in emission order. Header
// only: the support library does not link the download library, the download tests do.

#include "downloadstream.h"

#include <QList>
#include <QPair>
#include <QStringList>
#include <QTest>
#include <QUrl>

class StreamRecorder
{
public:
    explicit StreamRecorder(SingleFileDownloadStream* s) : stream(s)
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

    // Connects the stream and waits until it is ready for a file.
    bool connectTo(const QUrl& url, int retries, int timeout, const QString& proxy = QString())
    {
        stream->initiateConnection(url, proxy, retries, timeout);
        return QTest::qWaitFor([this] { return stream->getState() == DSS_Ready; }, 10000);
    }

    // Asks for one file and waits for its end (not at all when the stream ignores the request);
    // returns the events with the local directory written as "<local>", short if the wait ran out.
    QStringList fetch(const QString& name, const QString& md5, qint64 length, const QString& local,
                      int waitMs = 10000)
    {
        const qsizetype before = events.size();
        stream->getFile(name, md5, length);
        if (events.size() > before || stream->getState() == DSS_Downloading)
            static_cast<void>(QTest::qWaitFor([this] { return ended(); }, waitMs));
        return QStringList(events).replaceInStrings(local, "<local>");
    }

    QStringList events;
    QList<QPair<qint64, qint64>> progress;

private:
    SingleFileDownloadStream* stream;
};
