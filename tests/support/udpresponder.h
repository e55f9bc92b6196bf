#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <mutex>
#include <thread>

// A version server on 127.0.0.1 for tests. It runs on its own thread, so it also answers a
// query that blocks the test's own thread. Each datagram is recorded and, unless the responder
// is silent, answered with the configured reply.
class UdpResponder
{
public:
    UdpResponder();
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    bool isListening() const { return fd >= 0; }
    quint16 port() const { return boundPort; }

    void setReply(const QByteArray& reply);
    void setSilent(bool silent);

    QList<QByteArray> requests() const;
    int requestCount() const;

private:
    void run();

    int fd = -1;
    quint16 boundPort = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex lock;
    QByteArray reply;
    bool silent = false;
    QList<QByteArray> received;
    std::thread worker;
};
