#pragma once

#include <QBitArray>
#include <QVector>
#include <QtGlobal>

// Which part of a large file each stream fetches: the file is cut into ranges of whole pieces
// (so that each range is checked by the manifest's pieces as it completes), and every idle
// stream takes the next range nobody holds. A range whose stream failed goes back for another
// stream; the failing mirror is marked by the session like after a failed file.
class RangePlanner
{
public:
    RangePlanner() = default;
    // Ranges of whole pieces: about two for each stream, none longer than maximumRange. Pieces
    // set in `kept` are good already: no range holds them.
    RangePlanner(quint64 fileLength, quint64 pieceLength, int streams,
                 const QBitArray& kept = QBitArray());
    // A file is worth cutting when several streams can share at least two ranges of it.
    static bool splits(quint64 fileLength, quint64 pieceLength, int streams);
    static constexpr quint64 maximumRange = 64 * 1024 * 1024;

    int count() const { return int(ranges.size()); }
    quint64 offset(int range) const { return ranges[range].offset; }
    quint64 length(int range) const { return ranges[range].length; }
    // The first range that nobody holds and that is not done, now held; -1 when there is none.
    int take();
    void finish(int range);
    // Back for another stream.
    void release(int range);
    bool done() const { return finished == count(); }
    // A mirror would not serve a range: no more ranges are handed out, and once none is held the
    // file is fetched whole, continued after its checked pieces.
    void refuse() { refusedRanges = true; }
    bool refused() const { return refusedRanges; }
    bool held() const;
    // Bytes of the ranges that are done (kept pieces are not fetched, and not counted).
    quint64 bytesDone() const { return doneBytes; }

private:
    enum State { Open, Held, Done };
    struct Range {
        quint64 offset = 0;
        quint64 length = 0;
        State state = Open;
    };
    QVector<Range> ranges;
    int finished = 0;
    bool refusedRanges = false;
    quint64 doneBytes = 0;
};
