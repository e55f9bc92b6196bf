#include "streamrelay.h"

#include "ftpdownloadstream.h"
#include "httpdownloadstream.h"

#include <QDir>
#include <QFile>
#include <QUrl>

DownloadStreamIdentifiedSignals::DownloadStreamIdentifiedSignals(int streamIndex)
    : streamIndex(streamIndex)
{
}

void DownloadStreamIdentifiedSignals::onStateChanged(DownloadStream_State s)
{
    emit stateChanged(streamIndex, s);
}

void DownloadStreamIdentifiedSignals::onMessage(QString text)
{
    emit message(streamIndex, text);
}

void DownloadStreamIdentifiedSignals::onFailedToConnect(QString text)
{
    emit failedToConnect(streamIndex, text);
}

void DownloadStreamIdentifiedSignals::onConnected()
{
    emit connected(streamIndex);
}

void DownloadStreamIdentifiedSignals::onDisconnected()
{
    emit disconnected(streamIndex);
}

void DownloadStreamIdentifiedSignals::onProgressCount(qint64 done, qint64 total)
{
    emit progressCount(streamIndex, done, total);
}

void DownloadStreamIdentifiedSignals::onFileFinished()
{
    emit fileFinished(streamIndex);
}

void DownloadStreamIdentifiedSignals::onFileError(DownloadStream_Error e, QString text)
{
    emit fileError(streamIndex, e, text);
}

bool adjustDownloadStream(SingleFileDownloadStream** stream, const QUrl& url,
                          const QString& localRoot)
{
    const QString scheme = url.scheme().toLower();
    int kind;
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        kind = 1;
    else if (scheme == QLatin1String("ftp"))
        kind = 0;
    else
        return false;

    if (*stream && (*stream)->kind() == kind)
        return true;
    if (*stream) {
        (*stream)->cancel();
        delete *stream;
        *stream = nullptr;
    }
    if (kind == 1)
        *stream = new HTTPDownloadStream(localRoot);
    else
        *stream = new FTPDownloadStream(localRoot);
    return true;
}

void connectStreamToRelay(SingleFileDownloadStream* stream, DownloadStreamIdentifiedSignals* relay)
{
    using S = SingleFileDownloadStream;
    using R = DownloadStreamIdentifiedSignals;
    // Queued: the session must never run inside the stream's own code.
    const auto queued = Qt::QueuedConnection;
    QObject::connect(stream, &S::stateChanged, relay, &R::onStateChanged, queued);
    QObject::connect(stream, &S::message, relay, &R::onMessage, queued);
    QObject::connect(stream, &S::failedToConnect, relay, &R::onFailedToConnect, queued);
    QObject::connect(stream, &S::connected, relay, &R::onConnected, queued);
    QObject::connect(stream, &S::disconnected, relay, &R::onDisconnected, queued);
    QObject::connect(stream, &S::progressCount, relay, &R::onProgressCount, queued);
    QObject::connect(stream, &S::fileFinished, relay, &R::onFileFinished, queued);
    QObject::connect(stream, &S::fileError, relay, &R::onFileError, queued);
}

void cleanupDirectory(QString dir)
{
    const QDir d(dir);
    if (!d.exists())
        return;
    const QDir::Filters common =
        QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    // System lists a dangling link even with NoSymLinks; it is a link all the same.
    for (const QFileInfo& f : d.entryInfoList(QDir::Files | common)) {
        if (!f.isSymLink())
            QFile::remove(f.absoluteFilePath());
    }
    for (const QFileInfo& sub : d.entryInfoList(QDir::Dirs | common)) {
        if (sub.isSymLink())
            continue;
        cleanupDirectory(sub.absoluteFilePath());
        d.rmdir(sub.fileName());
    }
}
