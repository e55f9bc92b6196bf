#include "rangeplanner.h"

bool RangePlanner::splits(quint64 fileLength, quint64 pieceLength, int streams)
{
    return streams > 1 && pieceLength > 0 && fileLength > 2 * pieceLength;
}

RangePlanner::RangePlanner(quint64 fileLength, quint64 pieceLength, int streams)
{
    const quint64 pieces = (fileLength + pieceLength - 1) / pieceLength;
    const quint64 wanted = quint64(qMax(1, streams)) * 2;
    quint64 perRange = qMax<quint64>(1, (pieces + wanted - 1) / wanted);
    perRange = qMin(perRange, qMax<quint64>(1, maximumRange / pieceLength));
    for (quint64 at = 0; at < fileLength; at += perRange * pieceLength)
        ranges.append({at, qMin(perRange * pieceLength, fileLength - at), Open});
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
