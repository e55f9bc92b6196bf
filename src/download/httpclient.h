#pragma once

#include "transport.h"

#include <QObject>
#include <QString>

#include <memory>

class QIODevice;

// Queued HTTP(S) commands with identifiers, in the manner of Qt 4's QHttp, on the shared curl
// multi handle. setProxy, setHost and setUser only record their values; each command's
// requestFinished(id, error) arrives from the event loop, never inside the call that queued it,
// in the order the commands were queued. A failed get does not clear the commands after it.
class HttpClient : public QObject
{
    Q_OBJECT
public:
    explicit HttpClient(QObject* parent = nullptr);
    ~HttpClient() override;

    int setProxy(const QString& host, int port, const QString& user = QString(),
                 const QString& password = QString());
    // secure: https, with certificate and host name verification.
    int setHost(const QString& host, quint16 port = 80, bool secure = false);
    int setUser(const QString& user, const QString& password = QString());
    // path: absolute, not encoded (each segment is percent-encoded here). The body is written
    // into `to` as it arrives. byteLimit < 0: none.
    // offset > 0: the body from that byte on (a Range request).
    // rangeLength > 0: only that many bytes (a 206 for exactly that range, or the request fails).
    int get(const QString& path, QIODevice* to, qint64 byteLimit = -1, qint64 offset = 0,
            qint64 rangeLength = 0);

    void clearPendingRequests();
    // Stops the running command (it finishes with an error, from the event loop) and clears the
    // pending ones. Cleared commands never finish.
    void abort();

    // Whether a command is queued or running.
    bool hasPendingRequests() const;
    int currentId() const;

    QString errorString() const;
    TransferError error() const;

Q_SIGNALS:
    void requestStarted(int id);
    void requestFinished(int id, bool error);
    void dataReadProgress(qint64 done, qint64 total);

private:
    class Private;
    std::unique_ptr<Private> d;
    friend class Private;
};
