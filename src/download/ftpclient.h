#pragma once

#include "transport.h"

#include <QObject>
#include <QString>

#include <memory>

class QIODevice;

// Queued FTP commands with identifiers, in the manner of Qt 4's QFtp, on the shared curl multi
// handle. connectToHost and login really connect and log in (one transfer that fetches nothing);
// the control connection is then reused. A failed command clears the commands queued after it
// without any signal for them. commandFinished(id, error) always arrives from the event loop.
class FtpClient : public QObject
{
    Q_OBJECT
public:
    enum TransferType { Binary, Ascii };

    explicit FtpClient(QObject* parent = nullptr);
    ~FtpClient() override;

    // An HTTP proxy, used as a CONNECT tunnel.
    int setProxy(const QString& host, quint16 port);
    int connectToHost(const QString& host, quint16 port = 21);
    int login(const QString& user = QString(), const QString& password = QString());
    // path: absolute from the server's root, not encoded. byteLimit < 0: none.
    // offset > 0: the file from that byte on (REST).
    int get(const QString& path, QIODevice* dev, TransferType type = Binary, qint64 byteLimit = -1,
            qint64 offset = 0, qint64 rangeLength = 0);

    void clearPendingCommands();
    // Stops the running command (it finishes with an error, from the event loop) and clears the
    // pending ones. Cleared commands never finish.
    void abort();

    bool hasPendingCommands() const;
    int currentId() const;

    QString errorString() const;
    TransferError error() const;

Q_SIGNALS:
    void commandStarted(int id);
    void commandFinished(int id, bool error);
    void dataTransferProgress(qint64 done, qint64 total);

private:
    class Private;
    std::unique_ptr<Private> d;
    friend class Private;
};
