#include "ratebudget.h"

#include <QRegularExpression>

#include <limits>

namespace
{
constexpr qint64 largestRead = 256 * 1024;
}

bool RateBudget::parse(const QString& text, qint64* bytesPerSecond)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,19})([kmg]?)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        *bytesPerSecond = 0;
        return true;
    }
    const QRegularExpressionMatch match = pattern.match(trimmed);
    bool ok = false;
    const qint64 number = match.hasMatch() ? match.captured(1).toLongLong(&ok) : 0;
    if (!ok)
        return false;
    const QString unit = match.captured(2).toLower();
    const int shift = unit == QLatin1String("k")   ? 10
                      : unit == QLatin1String("m") ? 20
                      : unit == QLatin1String("g") ? 30
                                                   : 0;
    if (number > (std::numeric_limits<qint64>::max() >> shift))
        return false;
    *bytesPerSecond = number << shift;
    return true;
}

void RateBudget::setLimit(qint64 bytesPerSecond, qint64 nowMs)
{
    const bool wasLimited = perSecond > 0;
    refill(nowMs);
    perSecond = qMax<qint64>(0, bytesPerSecond);
    if (!wasLimited)
        tokens = capacity();
    tokens = qBound(-capacity(), tokens, capacity());
    refilledAt = nowMs;
}

void RateBudget::refill(qint64 nowMs)
{
    if (perSecond > 0 && nowMs > refilledAt)
        tokens = qMin(capacity(), tokens + double(perSecond) * double(nowMs - refilledAt) / 1000);
    refilledAt = qMax(refilledAt, nowMs);
}

bool RateBudget::take(qint64 bytes, qint64 nowMs)
{
    if (perSecond <= 0)
        return true;
    refill(nowMs);
    if (tokens <= 0)
        return false;
    tokens -= double(bytes);
    return true;
}

int RateBudget::waitMs(qint64 nowMs)
{
    if (perSecond <= 0)
        return 0;
    refill(nowMs);
    if (tokens > 0)
        return 0;
    // One byte more than the debt, rounded up to the next millisecond.
    const double ms = (1 - tokens) * 1000 / double(perSecond);
    return int(qMin(ms + 1, double(std::numeric_limits<int>::max())));
}

long RateBudget::readSize() const
{
    if (perSecond <= 0)
        return long(largestRead);
    return long(qBound<qint64>(1024, perSecond / 32, largestRead));
}
