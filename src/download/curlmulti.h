#pragma once

#include "ratebudget.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>

#include <curl/curl.h>

#include <memory>

class QSocketNotifier;
class QTimer;

// What CurlMulti runs: one curl easy handle at a time, reported back through these calls.
class CurlMultiClient
{
public:
    virtual CURL* handle() const = 0;
    // FTP transfers get the safety poll below.
    virtual bool isFtp() const = 0;
    virtual void flushProgress() = 0;
    virtual void finish(CURLcode code) = 0;
    // The multi handle failed on the transfer; it has been taken off already.
    virtual void fail(const QString& text) = 0;

protected:
    ~CurlMultiClient() = default;
};

// The one owner of the application's curl multi handle, driven by the Qt event loop through one
// timer and a read and a write notifier per socket. Nothing else calls curl_multi_*.
// Finished transfers are reported from the event loop after curl has returned, never from inside
// a curl callback.
class CurlMulti : public QObject
{
    Q_OBJECT
public:
    // Created on first use as a child of the application object.
    static CurlMulti* instance();
    ~CurlMulti() override;

    bool add(CurlMultiClient* transfer);
    // Stops a running transfer without reporting it.
    void remove(CurlMultiClient* transfer);
    bool isRunning(const CurlMultiClient* transfer) const;

    // Book-keeping of live transfer objects, so that one finishing transfer whose handler
    // deletes another is never followed by a call into the deleted one.
    void registerTransfer(CurlMultiClient* transfer);
    void unregisterTransfer(CurlMultiClient* transfer);

    // Bytes per second for all transfers together, 0 for none; takes effect at once, on running
    // transfers too. curl's own per-transfer limit would waste the share of a stream that waits
    // between files, and lets a burst through every few seconds.
    void setRateLimit(qint64 bytesPerSecond);
    qint64 rateLimit() const { return budget.limit(); }
    // Asked by a transfer's write callback before it takes bytes. False: the budget is spent; the
    // callback returns CURL_WRITEFUNC_PAUSE and the transfer is resumed, oldest first, once the
    // budget allows.
    bool admit(CurlMultiClient* transfer, qint64 bytes);
    // The read buffer for a transfer that starts now.
    long readBufferSize() const { return budget.readSize(); }

private:
    struct MultiDeleter {
        void operator()(CURLM* m) const { curl_multi_cleanup(m); }
    };
    struct SocketNotifiers {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        CURL* easy = nullptr; // the transfer that last reported the socket
    };

    CurlMulti();
    static int socketCallback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp);
    static int timerCallback(CURLM* multi, long timeoutMs, void* userp);

    void onSocketActivated(curl_socket_t s, int flags);
    void onTimeout();
    void onSafetyTick();
    // A failed multi call fails the transfers it was made for (all when null), never the process.
    void afterAction(CURLMcode code, const char* call, CURL* involved);
    void processFinished(const QList<CurlMultiClient*>& failed = {}, const QString& failure = {});
    void updateSafetyTimer();
    void resumePaused();

    std::unique_ptr<CURLM, MultiDeleter> multi;
    QTimer* timer = nullptr;
    // libcurl 7.88 can leave parallel FTP transfers that reuse connections stalled after the
    // EPSV reply; polling every socket now and then while FTP runs gets them going again.
    QTimer* safetyTimer = nullptr;
    QHash<curl_socket_t, SocketNotifiers*> sockets;
    QSet<CurlMultiClient*> running;
    QSet<CurlMultiClient*> live;
    int ftpRunning = 0;
    RateBudget budget;
    QElapsedTimer clock;
    QTimer* budgetTimer = nullptr;
    QList<CurlMultiClient*> paused;
    bool usable = true;
};
