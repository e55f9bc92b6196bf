#pragma once

#include <QString>
#include <QtGlobal>

// The bandwidth of all transfers together, as a token bucket. A transfer asks before its bytes
// are delivered; a read that is let in may overdraw the bucket, and the debt is paid by waiting,
// so that over any stretch of a few seconds the average stays at the limit. Idle time saves up
// a twentieth of a second at most.
class RateBudget
{
public:
    // curl's notation: bytes per second, "500K", "8M", "1G" (K = 1024, either case); "0" or
    // empty: no limit. False, *bytesPerSecond untouched, for anything else.
    static bool parse(const QString& text, qint64* bytesPerSecond);

    // 0: no limit. Takes effect at once; a debt beyond a twentieth of a second of the new limit is
    // forgiven, so a lowered limit does not stop the download for long.
    void setLimit(qint64 bytesPerSecond, qint64 nowMs);
    qint64 limit() const { return perSecond; }
    // Whether bytes may be delivered at nowMs; if so they are taken.
    bool take(qint64 bytes, qint64 nowMs);
    // Milliseconds from nowMs until take() lets bytes in again; 0: now.
    int waitMs(qint64 nowMs);
    // The largest read a transfer should make: a read is taken whole, and the last one of a
    // download is never waited for, so reads are kept to a thirty-second of a second.
    long readSize() const;

private:
    void refill(qint64 nowMs);
    double capacity() const { return qMax(1.0, double(perSecond) / 20); }

    qint64 perSecond = 0;
    double tokens = 0;
    qint64 refilledAt = 0;
};
