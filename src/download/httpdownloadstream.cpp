#include "httpdownloadstream.h"

#include "httpclient.h"

namespace
{
constexpr int defaultHttpPort = 80;
constexpr int defaultHttpsPort = 443;
constexpr int defaultProxyPort = 3128;
} // namespace

HTTPDownloadStream::HTTPDownloadStream(const QString& localRoot)
    : SingleFileDownloadStream(localRoot)
{
}

HTTPDownloadStream::~HTTPDownloadStream()
{
    // The client writes into the stream's file: it must go before the base class closes it.
    if (http) {
        http->blockSignals(true);
        http->abort();
        delete http;
        http = nullptr;
    }
}

void HTTPDownloadStream::initiateConnection(const QUrl& url, const QString& proxy, int retries,
                                            int timeout)
{
    internalInitDownloadParams(url, proxy, retries, timeout);

    dropClient();
    http = new HttpClient(this);
    connect(http, &HttpClient::requestFinished, this, &HTTPDownloadStream::onHttpRequestFinished);
    connect(http, &HttpClient::dataReadProgress, this, &HTTPDownloadStream::onDataReadProgress);

    if (!this->proxy.isEmpty()) {
        int proxyPort = this->proxy.port();
        if (proxyPort <= 0)
            proxyPort = defaultProxyPort;
        http->setProxy(this->proxy.host(), proxyPort, this->proxy.userName(),
                       this->proxy.password());
    }

    const bool secure = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    int port = url.port();
    if (port <= 0)
        port = secure ? defaultHttpsPort : defaultHttpPort;
    connectId = http->setHost(url.host(), quint16(port), secure);

    if (!url.userName().isEmpty())
        loginId = http->setUser(url.userName(), url.password());
    else
        loginId = -1;
}

void HTTPDownloadStream::cancel()
{
    dropClient();
    SingleFileDownloadStream::cancel();
}

void HTTPDownloadStream::onHttpRequestFinished(int commandId, bool error)
{
    if (commandId < 0 || !http)
        return;
    if (commandId == connectId) {
        connectId = -1;
        if (error) {
            handleConnectError(http->errorString());
            return;
        }
        setState(DSS_Connected);
        if (loginId < 0) {
            setState(DSS_Ready);
            emit connected();
        }
    } else if (commandId == loginId) {
        loginId = -1;
        if (error) {
            handleConnectError(http->errorString());
            return;
        }
        setState(DSS_Ready);
        emit connected();
    } else if (commandId == fileRequestId) {
        handleFileRequestFinished(error, http->error(), http->errorString());
    }
}

void HTTPDownloadStream::onDataReadProgress(qint64 done, qint64 total)
{
    onDataTransferProgress(done, total);
}

int HTTPDownloadStream::createFileRequest(const QString& path, QFile* file)
{
    // After cancel() there is no client; nothing may be sent.
    if (!http)
        return -1;
    connectId = -1;
    loginId = -1;
    return http->get(path, file, byteLimit(), rangeLength > 0 ? rangeOffset : resumeOffset,
                     rangeLength);
}

void HTTPDownloadStream::dropClient()
{
    if (!http)
        return;
    http->blockSignals(true);
    http->clearPendingRequests();
    http->abort();
    http->deleteLater();
    http = nullptr;
}
