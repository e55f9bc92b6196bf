#pragma once

#include "downloadstream.h"

#include <QObject>
#include <QString>

class QUrl;

// Re-emits the signals of one stream slot of the session with the slot's index first.
class DownloadStreamIdentifiedSignals : public QObject
{
    Q_OBJECT
public:
    explicit DownloadStreamIdentifiedSignals(int streamIndex);

    int getStreamIndex() const { return streamIndex; }

Q_SIGNALS:
    void stateChanged(int, DownloadStream_State);
    void message(int, QString);
    void failedToConnect(int, QString);
    void connected(int);
    void disconnected(int);
    void progressCount(int, qint64, qint64);
    void fileFinished(int);
    void fileError(int, DownloadStream_Error, QString);

public Q_SLOTS:
    // Public so that the session can connect them with function pointers.
    void onStateChanged(DownloadStream_State);
    void onMessage(QString);
    void onFailedToConnect(QString);
    void onConnected();
    void onDisconnected();
    void onProgressCount(qint64, qint64);
    void onFileFinished();
    void onFileError(DownloadStream_Error, QString);

private:
    int streamIndex;
};

// Makes *stream a stream of the kind the URL's scheme asks for ("http"/"https": HTTP, "ftp":
// FTP, any case). Keeps a stream of the right kind; cancels and deletes one of the other kind.
// False, and *stream untouched, for any other scheme.
bool adjustDownloadStream(SingleFileDownloadStream** stream, const QUrl& url,
                          const QString& localRoot);
// Connects the eight signals of a new stream to the relay, queued.
void connectStreamToRelay(SingleFileDownloadStream* stream, DownloadStreamIdentifiedSignals* relay);

// Empties a directory tree; symbolic links are neither removed nor followed.
void cleanupDirectory(QString dir);
