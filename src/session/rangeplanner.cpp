#include "rangeplanner.h"

bool RangePlanner::splits(quint64 fileLength, quint64 pieceLength, int streams)
{
    return streams > 1 && pieceLength > 0 && fileLength > 2 * pieceLength;
}

RangePlanner::RangePlanner(quint64 fileLength, quint64 pieceLength, int streams,
                           const QBitArray& kept)
{
    const quint64 pieces = (fileLength + pieceLength - 1) / pieceLength;
    const auto isKept = [&kept](quint64 piece) {
        return piece < quint64(kept.size()) && kept.testBit(qsizetype(piece));
    };
    quint64 missing = 0;
    for (quint64 piece = 0; piece < pieces; ++piece)
        missing += isKept(piece) ? 0 : 1;
    const quint64 wanted = quint64(qMax(1, streams)) * 2;
    quint64 perRange = qMax<quint64>(1, (missing + wanted - 1) / wanted);
    perRange = qMin(perRange, qMax<quint64>(1, maximumRange / pieceLength));
    for (quint64 first = 0; first < pieces;) {
        if (isKept(first)) {
            ++first;
            continue;
        }
        quint64 end = first + 1;
        while (end < pieces && end - first < perRange && !isKept(end))
            ++end;
        ranges.append(
            {first * pieceLength, qMin(end * pieceLength, fileLength) - first * pieceLength, Open});
        first = end;
    }
}

bool RangePlanner::held() const
{
    for (const Range& range : ranges) {
        if (range.state == Held)
            return true;
    }
    return false;
}

int RangePlanner::take()
{
    if (refusedRanges)
        return -1;
    for (int i = 0; i < count(); ++i) {
        if (ranges[i].state == Open) {
            ranges[i].state = Held;
            return i;
        }
    }
    return -1;
}

void RangePlanner::finish(int range)
{
    if (ranges[range].state == Done)
        return;
    ranges[range].state = Done;
    ++finished;
    doneBytes += ranges[range].length;
}

void RangePlanner::release(int range)
{
    if (ranges[range].state == Held)
        ranges[range].state = Open;
}
