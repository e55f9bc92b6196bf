#include "ftpclient.h"

#include "curltransfer.h"
#include "transfercommands.h"

namespace
{
enum FtpCommand { SetProxy, ConnectToHost, Login, Get };
}

class FtpClient::Private
{
public:
    explicit Private(FtpClient* q);

    void run(const TransferCommand& c);
    void transferFinished(const TransferResult& r);
    void fail(TransferError kind, const QString& text);
    QByteArray serverUrl() const;

    FtpClient* q;
    TransferCommands commands;
    CurlTransfer transfer{CurlTransfer::Ftp};
    TransferEndpoint endpoint;
    QString host;
    int port = 21;
    // The connect command's transfer also logs in for the login command queued right after it.
    int runningType = -1;
    int attachedLoginId = -1;
    QString lastError = QStringLiteral("Unknown error");
    TransferError lastKind = TransferError::None;
};

FtpClient::Private::Private(FtpClient* q)
    : q(q), commands(
                q, [q](int id) { Q_EMIT q->commandStarted(id); },
                [q](int id, bool error) { Q_EMIT q->commandFinished(id, error); },
                [this](const TransferCommand& c) { run(c); })
{
    endpoint.tunnel = true;
    transfer.onProgress = [q](qint64 done, qint64 total) {
        Q_EMIT q->dataTransferProgress(done, total);
    };
    transfer.onFinished = [this](const TransferResult& r) { transferFinished(r); };
}

QByteArray FtpClient::Private::serverUrl() const
{
    return "ftp://" + CurlTransfer::hostPart(host, port) + "/";
}

void FtpClient::Private::fail(TransferError kind, const QString& text)
{
    lastKind = kind;
    lastError = text;
    commands.clearPending();
    commands.finishCurrent(true);
}

void FtpClient::Private::run(const TransferCommand& c)
{
    runningType = c.type;
    attachedLoginId = -1;
    switch (c.type) {
    case SetProxy:
        endpoint.proxyHost = c.host;
        endpoint.proxyPort = c.port;
        commands.finishCurrent(false);
        return;
    case ConnectToHost: {
        host = c.host;
        port = c.port;
        TransferCommand login;
        bool started = false;
        if (commands.takeNextOfType(Login, &login)) {
            attachedLoginId = login.id;
            endpoint.user = login.user;
            endpoint.password = login.password;
            endpoint.hasUser = !login.user.isEmpty();
            started = transfer.start(serverUrl(), endpoint, nullptr);
        } else {
            started = transfer.startConnectOnly(serverUrl(), endpoint);
        }
        if (!started)
            fail(TransferError::Failed, QStringLiteral("Cannot start the connection"));
        return;
    }
    case Login:
        endpoint.user = c.user;
        endpoint.password = c.password;
        endpoint.hasUser = !c.user.isEmpty();
        if (!transfer.start(serverUrl(), endpoint, nullptr))
            fail(TransferError::Failed, QStringLiteral("Cannot start the login"));
        return;
    case Get: {
        if (host.isEmpty()) {
            fail(TransferError::Failed, QStringLiteral("Not connected"));
            return;
        }
        // "%2F" makes the path absolute from the server's root instead of the login directory.
        QString path = c.path;
        while (path.startsWith(QLatin1Char('/')))
            path.remove(0, 1);
        const QByteArray url = serverUrl() + "%2F" + CurlTransfer::encodePath(path);
        if (!transfer.start(url, endpoint, c.device, c.limit, c.flag, c.offset, c.rangeLength))
            fail(TransferError::Failed, QStringLiteral("Cannot start the transfer"));
        return;
    }
    }
}

void FtpClient::Private::transferFinished(const TransferResult& r)
{
    const int loginId = attachedLoginId;
    attachedLoginId = -1;
    if (runningType == ConnectToHost && loginId >= 0) {
        if (!r.connected) {
            fail(r.error, r.text);
            return;
        }
        // Connected: the connect command is done; what failed after it was the login.
        const bool failed = r.error != TransferError::None;
        lastKind = r.error;
        if (failed) {
            lastError = r.text;
            commands.clearPending();
        }
        commands.finishCurrent(false);
        commands.reportExtra(loginId, failed);
        return;
    }
    if (r.error == TransferError::None) {
        lastKind = TransferError::None;
        commands.finishCurrent(false);
        return;
    }
    fail(r.error, r.text);
}

FtpClient::FtpClient(QObject* parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

FtpClient::~FtpClient() = default;

int FtpClient::setProxy(const QString& host, quint16 port)
{
    TransferCommand c;
    c.type = SetProxy;
    c.host = host;
    c.port = port;
    return d->commands.enqueue(c);
}

int FtpClient::connectToHost(const QString& host, quint16 port)
{
    TransferCommand c;
    c.type = ConnectToHost;
    c.host = host;
    c.port = port;
    return d->commands.enqueue(c);
}

int FtpClient::login(const QString& user, const QString& password)
{
    TransferCommand c;
    c.type = Login;
    c.user = user;
    c.password = password;
    return d->commands.enqueue(c);
}

int FtpClient::get(const QString& path, QIODevice* dev, TransferType type, qint64 byteLimit,
                   qint64 offset, qint64 rangeLength)
{
    TransferCommand c;
    c.type = Get;
    c.path = path;
    c.device = dev;
    c.flag = type == Ascii;
    c.limit = byteLimit;
    c.offset = offset;
    c.rangeLength = rangeLength;
    return d->commands.enqueue(c);
}

void FtpClient::clearPendingCommands()
{
    d->commands.clearPending();
}

void FtpClient::abort()
{
    d->commands.clearPending();
    if (!d->commands.isBusy())
        return;
    d->transfer.cancel();
    d->attachedLoginId = -1;
    d->lastKind = TransferError::Failed;
    d->lastError = QStringLiteral("Command aborted");
    d->commands.abortCurrent();
}

bool FtpClient::hasPendingCommands() const
{
    return d->commands.hasPending();
}

int FtpClient::currentId() const
{
    return d->commands.currentId();
}

QString FtpClient::errorString() const
{
    return d->lastError;
}

TransferError FtpClient::error() const
{
    return d->lastKind;
}
