#pragma once

#include "curlmulti.h"
#include "transport.h"

#include <QByteArray>
#include <QString>

#include <curl/curl.h>

#include <functional>
#include <memory>

class QIODevice;

// Where a transfer goes through and as whom; shared by the HTTP and FTP clients.
struct TransferEndpoint {
    QString proxyHost;
    int proxyPort = 0;
    QString proxyUser;
    QString proxyPassword;
    bool tunnel = false; // CONNECT tunnel through the proxy (FTP)
    QString user;
    QString password;
    bool hasUser = false;
};

// The outcome of one transfer.
struct TransferResult {
    TransferError error = TransferError::None;
    QString text;
    // Whether a connection to the server (or the proxy) was ever made.
    bool connected = true;
};

// One curl easy handle used for a series of transfers (one at a time), run on CurlMulti.
// The body goes straight into the given device; progress and completion are reported through
// the handlers, always from the event loop.
class CurlTransfer : public CurlMultiClient
{
public:
    enum Kind { Http, Ftp };

    explicit CurlTransfer(Kind kind);
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    Kind kind() const { return transferKind; }
    CURL* handle() const override { return easy.get(); }
    bool isFtp() const override { return transferKind == Ftp; }

    std::function<void(qint64 done, qint64 total)> onProgress;
    std::function<void(const TransferResult&)> onFinished;

    // url: fully encoded. sink null: fetch nothing (no body), as for an FTP login.
    // byteLimit < 0: none. Returns false if the transfer could not be started; onFinished is
    // not called then.
    // resumeFrom > 0: the body from that offset on (HTTP Range, FTP REST).
    // rangeLength > 0: only the bytes from resumeFrom on, that many.
    bool start(const QByteArray& url, const TransferEndpoint& endpoint, QIODevice* sink,
               qint64 byteLimit = -1, bool asciiMode = false, qint64 resumeFrom = 0,
               qint64 rangeLength = 0);
    // Just open the connection (no login, no request).
    bool startConnectOnly(const QByteArray& url, const TransferEndpoint& endpoint);
    void cancel();
    bool isRunning() const;

    // Called by CurlMulti.
    void flushProgress() override;
    void finish(CURLcode code) override;
    void fail(const QString& text) override;

    // "a b#c/d" -> "a%20b%23c/d": every segment of a path percent-encoded on its own.
    static QByteArray encodePath(const QString& path);
    static QByteArray hostPart(const QString& host, int port);

private:
    struct EasyDeleter {
        void operator()(CURL* e) const { curl_easy_cleanup(e); }
    };

    static size_t writeCallback(char* data, size_t size, size_t count, void* userp);
    static size_t headerCallback(char* data, size_t size, size_t count, void* userp);
    static int progressCallback(void* userp, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t,
                                curl_off_t);

    void applyCommonOptions(const TransferEndpoint& endpoint);
    void resetRun();
    bool launch();
    bool followRedirect(TransferResult* failure);
    TransferResult classify(CURLcode code);
    size_t acceptBody(const char* data, size_t bytes);

    Kind transferKind;
    std::unique_ptr<CURL, EasyDeleter> easy;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // One run.
    QByteArray currentUrl;
    QByteArray userPwd;
    QIODevice* device = nullptr;
    qint64 limit = -1;
    qint64 resumeFrom = 0;
    bool ranged = false;           // a range of the file was asked for
    qint64 contentRangeStart = -1; // where the server's 206 says its body starts
    bool rangeRefused = false;
    qint64 received = 0;
    qint64 total = 0;
    qint64 reportedDone = -1;
    qint64 reportedTotal = -1;
    QByteArray statusLine;
    int redirects = 0;
    qint64 redirectBody = 0; // over all hops of the transfer
    bool redirectTooLarge = false;
    bool cutAtLimit = false;
    bool statusRefused = false; // body of a failed HTTP status; not written
    bool writeFailed = false;
};
