#include "httpclient.h"

#include "curltransfer.h"
#include "transfercommands.h"

namespace
{
enum HttpCommand { SetProxy, SetHost, SetUser, Get };
}

class HttpClient::Private
{
public:
    explicit Private(HttpClient* q);

    void run(const TransferCommand& c);
    void transferFinished(const TransferResult& r);
    void fail(TransferError kind, const QString& text);

    HttpClient* q;
    TransferCommands commands;
    CurlTransfer transfer{CurlTransfer::Http};
    TransferEndpoint endpoint;
    QString host;
    int port = 80;
    bool secure = false;
    QString lastError = QStringLiteral("Unknown error");
    TransferError lastKind = TransferError::None;
};

HttpClient::Private::Private(HttpClient* q)
    : q(q), commands(
                q, [q](int id) { Q_EMIT q->requestStarted(id); },
                [q](int id, bool error) { Q_EMIT q->requestFinished(id, error); },
                [this](const TransferCommand& c) { run(c); })
{
    transfer.onProgress = [q](qint64 done, qint64 total) {
        Q_EMIT q->dataReadProgress(done, total);
    };
    transfer.onFinished = [this](const TransferResult& r) { transferFinished(r); };
}

void HttpClient::Private::fail(TransferError kind, const QString& text)
{
    lastKind = kind;
    lastError = text;
    commands.finishCurrent(true);
}

void HttpClient::Private::run(const TransferCommand& c)
{
    switch (c.type) {
    case SetProxy:
        endpoint.proxyHost = c.host;
        endpoint.proxyPort = c.port;
        endpoint.proxyUser = c.user;
        endpoint.proxyPassword = c.password;
        commands.finishCurrent(false);
        return;
    case SetHost:
        host = c.host;
        port = c.port;
        secure = c.flag;
        commands.finishCurrent(false);
        return;
    case SetUser:
        endpoint.user = c.user;
        endpoint.password = c.password;
        endpoint.hasUser = !c.user.isEmpty();
        commands.finishCurrent(false);
        return;
    case Get: {
        if (host.isEmpty()) {
            fail(TransferError::Failed, QStringLiteral("No host set"));
            return;
        }
        QString path = c.path;
        if (!path.startsWith(QLatin1Char('/')))
            path.prepend(QLatin1Char('/'));
        const QByteArray url = QByteArray(secure ? "https://" : "http://") +
                               CurlTransfer::hostPart(host, port) + CurlTransfer::encodePath(path);
        if (!transfer.start(url, endpoint, c.device, c.limit, false, c.offset, c.rangeLength))
            fail(TransferError::Failed, QStringLiteral("Cannot start the transfer"));
        return;
    }
    }
}

void HttpClient::Private::transferFinished(const TransferResult& r)
{
    if (r.error == TransferError::None) {
        lastKind = TransferError::None;
        commands.finishCurrent(false);
        return;
    }
    fail(r.error, r.text);
}

HttpClient::HttpClient(QObject* parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

HttpClient::~HttpClient() = default;

int HttpClient::setProxy(const QString& host, int port, const QString& user,
                         const QString& password)
{
    TransferCommand c;
    c.type = SetProxy;
    c.host = host;
    c.port = port;
    c.user = user;
    c.password = password;
    return d->commands.enqueue(c);
}

int HttpClient::setHost(const QString& host, quint16 port, bool secure)
{
    TransferCommand c;
    c.type = SetHost;
    c.host = host;
    c.port = port;
    c.flag = secure;
    return d->commands.enqueue(c);
}

int HttpClient::setUser(const QString& user, const QString& password)
{
    TransferCommand c;
    c.type = SetUser;
    c.user = user;
    c.password = password;
    return d->commands.enqueue(c);
}

int HttpClient::get(const QString& path, QIODevice* to, qint64 byteLimit, qint64 offset,
                    qint64 rangeLength)
{
    TransferCommand c;
    c.type = Get;
    c.path = path;
    c.device = to;
    c.limit = byteLimit;
    c.offset = offset;
    c.rangeLength = rangeLength;
    return d->commands.enqueue(c);
}

void HttpClient::clearPendingRequests()
{
    d->commands.clearPending();
}

void HttpClient::abort()
{
    d->commands.clearPending();
    if (!d->commands.isBusy())
        return;
    d->transfer.cancel();
    d->lastKind = TransferError::Failed;
    d->lastError = QStringLiteral("Request aborted");
    d->commands.abortCurrent();
}

bool HttpClient::hasPendingRequests() const
{
    return d->commands.hasPending();
}

int HttpClient::currentId() const
{
    return d->commands.currentId();
}

QString HttpClient::errorString() const
{
    return d->lastError;
}

TransferError HttpClient::error() const
{
    return d->lastKind;
}
