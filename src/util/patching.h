#pragma once

#include "filemd5.h"

#include <QString>

#include <atomic>

// Patches between two versions of a file, made and applied with libzstd. A patch is a sequence
// of standard zstd frames: frame k rebuilds the k-th chunk of the new content, compressed with a
// slice of the old content as its prefix (the library's "patch-from" mode, with long-distance
// matching). Which slice belongs to which chunk follows from the two lengths alone, so the patch
// carries nothing but zstd frames, and the decoder never holds more than a chunk and refers to
// no more than a slice of the old content: memory stays flat however large the file is.
namespace patching
{
constexpr quint64 chunkSize = 8 * 1024 * 1024;
// The old content a chunk may draw on reaches this far beyond the chunk's own span, which the
// slice places where the chunk lies in proportion to the lengths: insertions and removals that
// shift content by up to this much still find it.
constexpr quint64 sliceMargin = 8 * 1024 * 1024;
// The publisher maps both files whole, and the product is a 32-bit program.
constexpr quint64 maximumFileSize = quint64(1) << 30;
// What the rebuilds in flight hold at once in reference slices and decoder windows: two rebuilds
// of large files, or many of small ones, however many workers there are.
constexpr quint64 rebuildMemory = quint64(64) << 20;

struct Slice {
    quint64 offset = 0;
    quint64 length = 0;
};
quint64 chunkCount(quint64 targetSize);
Slice referenceSlice(quint64 chunk, quint64 referenceSize, quint64 targetSize);
// The window every frame of the patch is made with, and the most a decoder accepts: enough to
// reach from the end of a chunk back to the start of its slice, no more.
int windowLog(quint64 referenceSize, quint64 targetSize);
} // namespace patching

// A file mapped read-only, whole. An empty file maps to no memory and counts as mapped.
class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    bool open(const QString& path);
    const char* data() const { return address; }
    quint64 size() const { return length; }

private:
    const char* address = nullptr;
    quint64 length = 0;
};

// Writes the patch that rebuilds `target` from `reference` at the given compression level; false
// with a reason when either is too large or the library fails.
bool makePatch(const MappedFile& reference, const MappedFile& target, const QString& patchPath,
               int level, QString* error);

// Rebuilds the new content from the patch and the first `referenceSize` bytes of the open file
// `reference` into the open descriptor `fd`, hashing the patch as read (digest->source*) and the
// content as written (digest->written*) by the algorithms `digest` names. The reference is read
// slice by slice with pread, never mapped: a file that shrinks meanwhile fails the rebuild. The
// rebuild first waits until its buffers fit into patching::rebuildMemory beside the others in
// flight. Stops at once, false, when a frame asks for a larger window than the lengths allow,
// when the patch has more frames than the new content has chunks, when the output would run past
// `targetSize`, or on any read, decoding or write failure; `stop` is polled between blocks of the
// patch of `blockSize` bytes.
bool applyPatch(const QString& patchPath, int reference, quint64 referenceSize, quint64 targetSize,
                int fd, CopyDigest* digest, const std::atomic<bool>* stop = nullptr,
                qint64 blockSize = HashedPass::defaultBlockSize);
