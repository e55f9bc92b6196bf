#pragma once

#include "downloadstream.h"

class HttpClient;

// A download stream on HTTP or HTTPS. The host and the credentials are only recorded by the
// client, so a server that cannot be reached shows up as failed file requests.
class HTTPDownloadStream : public SingleFileDownloadStream
{
    Q_OBJECT
public:
    explicit HTTPDownloadStream(const QString& localRoot);
    ~HTTPDownloadStream() override;

    int kind() const override { return 1; }
    void initiateConnection(const QUrl& url, const QString& proxy, int retries,
                            int timeout) override;
    void cancel() override;

protected Q_SLOTS:
    void onHttpRequestFinished(int commandId, bool error);
    void onDataReadProgress(qint64 done, qint64 total);

protected:
    void checkGetFilePrerequisitions() override {}
    int createFileRequest(const QString& path, QFile* file) override;

    HttpClient* http = nullptr;

private:
    void dropClient();
};
