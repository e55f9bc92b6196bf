#include "ftpdownloadstream.h"

#include "ftpclient.h"

namespace
{
constexpr int defaultFtpPort = 21;
constexpr int defaultProxyPort = 3128;
} // namespace

FTPDownloadStream::FTPDownloadStream(const QString& localRoot) : SingleFileDownloadStream(localRoot)
{
}

FTPDownloadStream::~FTPDownloadStream()
{
    // The client writes into the stream's file: it must go before the base class closes it.
    if (ftp) {
        ftp->blockSignals(true);
        ftp->abort();
        delete ftp;
        ftp = nullptr;
    }
}

void FTPDownloadStream::initiateConnection(const QUrl& url, const QString& proxy, int retries,
                                           int timeout)
{
    internalInitDownloadParams(url, proxy, retries, timeout);

    dropClient();
    ftp = new FtpClient(this);
    connect(ftp, &FtpClient::commandFinished, this, &FTPDownloadStream::onFtpCommandFinished);
    connect(ftp, &FtpClient::dataTransferProgress, this,
            &FTPDownloadStream::onDataTransferProgress);

    if (!this->proxy.isEmpty()) {
        int proxyPort = this->proxy.port();
        if (proxyPort <= 0)
            proxyPort = defaultProxyPort;
        ftp->setProxy(this->proxy.host(), quint16(proxyPort));
    }

    int port = url.port();
    if (port <= 0)
        port = defaultFtpPort;
    connectId = ftp->connectToHost(url.host(), quint16(port));
    loginId = ftp->login(url.userName(), url.password());
}

void FTPDownloadStream::cancel()
{
    dropClient();
    SingleFileDownloadStream::cancel();
}

void FTPDownloadStream::onFtpCommandFinished(int commandId, bool error)
{
    if (commandId < 0 || !ftp)
        return;
    if (commandId == connectId) {
        connectId = -1;
        if (error) {
            handleConnectError(ftp->errorString());
            return;
        }
        setState(DSS_Connected);
    } else if (commandId == loginId) {
        loginId = -1;
        if (error) {
            handleConnectError(ftp->errorString());
            return;
        }
        setState(DSS_Ready);
        emit connected();
    } else if (commandId == fileRequestId) {
        handleFileRequestFinished(error, ftp->error(), ftp->errorString());
    }
}

int FTPDownloadStream::createFileRequest(const QString& path, QFile* file)
{
    // After cancel() there is no client; nothing may be sent.
    if (!ftp)
        return -1;
    return ftp->get(path, file, FtpClient::Binary, byteLimit(),
                    rangeLength > 0 ? rangeOffset : resumeOffset, rangeLength);
}

void FTPDownloadStream::dropClient()
{
    if (!ftp)
        return;
    ftp->blockSignals(true);
    ftp->clearPendingCommands();
    ftp->abort();
    ftp->deleteLater();
    ftp = nullptr;
}
