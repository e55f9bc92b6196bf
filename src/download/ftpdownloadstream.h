#pragma once

#include "downloadstream.h"

class FtpClient;

// A download stream on FTP. Connecting and logging in talk to the server, so a server that
// cannot be reached or refuses the login shows up as failedToConnect.
class FTPDownloadStream : public SingleFileDownloadStream
{
    Q_OBJECT
public:
    explicit FTPDownloadStream(const QString& localRoot);
    ~FTPDownloadStream() override;

    int kind() const override { return 0; }
    void initiateConnection(const QUrl& url, const QString& proxy, int retries,
                            int timeout) override;
    void cancel() override;

protected:
    void checkGetFilePrerequisitions() override {}
    int createFileRequest(const QString& path, QFile* file) override;

    FtpClient* ftp = nullptr;

private Q_SLOTS:
    void onFtpCommandFinished(int commandId, bool error);

private:
    void dropClient();
};
