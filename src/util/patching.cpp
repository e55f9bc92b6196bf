#include "patching.h"

#include <QFile>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader
#include <zstd.h>

namespace patching
{

quint64 chunkCount(quint64 targetSize)
{
    return (targetSize + chunkSize - 1) / chunkSize;
}

Slice referenceSlice(quint64 chunk, quint64 referenceSize, quint64 targetSize)
{
    Slice slice;
    slice.length = qMin(referenceSize, chunkSize + 2 * sliceMargin);
    if (targetSize == 0)
        return slice;
    // Both lengths stay below 2^30 and the chunk start below the target's: no overflow.
    const quint64 centre = chunk * chunkSize * referenceSize / targetSize;
    const quint64 start = centre > sliceMargin ? centre - sliceMargin : 0;
    slice.offset = qMin(start, referenceSize - slice.length);
    return slice;
}

int windowLog(quint64 referenceSize, quint64 targetSize)
{
    const quint64 reach =
        qMin(referenceSize, chunkSize + 2 * sliceMargin) + qMin(targetSize, chunkSize);
    int log = 10; // the least window the format has
    while (log < 30 && (quint64(1) << log) < reach)
        ++log;
    return log;
}

} // namespace patching

namespace
{

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// Rebuilds in flight share patching::rebuildMemory: each waits until what it holds fits beside
// the others, and one alone always runs.
class Reservation
{
public:
    explicit Reservation(quint64 bytes) : bytes(bytes)
    {
        std::unique_lock<std::mutex> lock(mutex);
        freed.wait(lock, [&] { return inUse == 0 || inUse + bytes <= patching::rebuildMemory; });
        inUse += bytes;
    }
    ~Reservation()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            inUse -= bytes;
        }
        freed.notify_all();
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

private:
    static inline std::mutex mutex;
    static inline std::condition_variable freed;
    static inline quint64 inUse = 0;
    const quint64 bytes;
};

// A rebuild's memory, taken from the system and given back whole at the end: malloc would keep
// freed blocks of this size in its per-thread arenas, and the budget would bound nothing.
class Pages
{
public:
    explicit Pages(quint64 size) : size(size)
    {
        void* pages = size == 0 ? MAP_FAILED
                                : ::mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        address = pages == MAP_FAILED ? nullptr : static_cast<char*>(pages);
    }
    ~Pages()
    {
        if (address)
            ::munmap(address, size_t(size));
    }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    char* data() const { return address; }

private:
    const quint64 size;
    char* address = nullptr;
};

// The reference in a buffer that slides along it: slices only move forward, so what one shares
// with the next stays, only the rest is read, and the file is read about once.
class SliceReader
{
public:
    SliceReader(int fd, char* buffer) : fd(fd), buffer(buffer) {}
    // The slice in the buffer; false when the file cannot be read or ends before the slice does.
    bool load(const patching::Slice& slice)
    {
        quint64 kept = 0;
        if (slice.offset >= start && slice.offset < start + length) {
            kept = qMin(start + length - slice.offset, slice.length);
            std::memmove(buffer, buffer + (slice.offset - start), size_t(kept));
        }
        start = slice.offset;
        length = kept;
        while (length < slice.length) {
            const ssize_t n =
                ::pread(fd, buffer + length, size_t(slice.length - length), off_t(start + length));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            length += quint64(n);
        }
        return true;
    }

private:
    const int fd;
    char* const buffer;
    quint64 start = 0, length = 0;
};

} // namespace

MappedFile::~MappedFile()
{
    if (address && length > 0)
        ::munmap(const_cast<char*>(address), size_t(length));
}

bool MappedFile::open(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              quint64(st.st_size) <= patching::maximumFileSize;
    if (ok && st.st_size > 0) {
        void* mapped = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        ok = mapped != MAP_FAILED;
        if (ok) {
            address = static_cast<const char*>(mapped);
            length = quint64(st.st_size);
        }
    }
    ::close(fd);
    return ok;
}

bool makePatch(const MappedFile& reference, const MappedFile& target, const QString& patchPath,
               int level, QString* error)
{
    using namespace patching;
    if (reference.size() > maximumFileSize || target.size() > maximumFileSize) {
        *error = QStringLiteral("larger than 1 GiB");
        return false;
    }
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    const int window = windowLog(reference.size(), target.size());
    if (!cctx || ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, window))) {
        *error = QStringLiteral("the compressor cannot be set up");
        return false;
    }
    QFile out(patchPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = out.errorString();
        return false;
    }
    QByteArray frame(int(ZSTD_compressBound(qMin(chunkSize, target.size()))), '\0');
    for (quint64 k = 0; k < chunkCount(target.size()); ++k) {
        const Slice slice = referenceSlice(k, reference.size(), target.size());
        const quint64 start = k * chunkSize;
        const size_t length = size_t(qMin(chunkSize, target.size() - start));
        // A prefix serves one frame only.
        const size_t made = ZSTD_isError(ZSTD_CCtx_refPrefix(
                                cctx.get(), reference.data() + slice.offset, size_t(slice.length)))
                                ? size_t(-1)
                                : ZSTD_compress2(cctx.get(), frame.data(), size_t(frame.size()),
                                                 target.data() + start, length);
        if (ZSTD_isError(made)) {
            *error = QString::fromLatin1(ZSTD_getErrorName(made));
            return false;
        }
        if (out.write(frame.constData(), qint64(made)) != qint64(made)) {
            *error = out.errorString();
            return false;
        }
    }
    if (!out.flush()) {
        *error = out.errorString();
        return false;
    }
    return true;
}

bool applyPatch(const QString& patchPath, int reference, quint64 referenceSize, quint64 targetSize,
                int fd, CopyDigest* digest, const std::atomic<bool>* stop, qint64 blockSize)
{
    using namespace patching;
    if (referenceSize > maximumFileSize || targetSize > maximumFileSize)
        return false;
    // Every slice is as long as the first. The decoder writes each chunk whole into the memory
    // after the slice and refers back within it, so it needs no window of its own, and no frame
    // can write more than its chunk.
    const quint64 sliceLength = referenceSlice(0, referenceSize, targetSize).length;
    const quint64 memory = sliceLength + qMin(targetSize, chunkSize);
    const Reservation reservation(memory);
    const Pages pages(memory);
    SliceReader slices(reference, pages.data());
    char* const chunkBuffer = pages.data() + sliceLength;
    HashedPass pass(patchPath, fd, digest, stop, blockSize);
    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    const int window = windowLog(referenceSize, targetSize);
    if ((memory > 0 && !pages.data()) || !pass.isOpen() || !dctx ||
        ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, window)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_stableOutBuffer, 1)))
        return false;
    const quint64 chunks = chunkCount(targetSize);
    quint64 chunk = 0;
    ZSTD_outBuffer output{chunkBuffer, 0, 0};
    bool frameOpen = false; // a frame has begun and not ended
    const auto startFrame = [&](const ZSTD_inBuffer& input) {
        // The decoder checks the window a frame asks for, except when it finds the whole frame in
        // its input and decodes it in one go: a header at hand is checked here.
        ZSTD_frameHeader header;
        const size_t need = ZSTD_getFrameHeader(
            &header, static_cast<const char*>(input.src) + input.pos, input.size - input.pos);
        if (ZSTD_isError(need) || (need == 0 && (header.frameType != ZSTD_frame ||
                                                 header.windowSize > quint64(1) << window)))
            return false;
        const Slice slice = referenceSlice(chunk, referenceSize, targetSize);
        output = {chunkBuffer, size_t(qMin(chunkSize, targetSize - chunk * chunkSize)), 0};
        return slices.load(slice) &&
               !ZSTD_isError(ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_only)) &&
               !ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), pages.data(), size_t(slice.length)));
    };
    for (;;) {
        const qint64 n = pass.read();
        if (n < 0)
            return false;
        if (n == 0)
            break;
        ZSTD_inBuffer input{pass.block(), size_t(n), 0};
        for (;;) {
            if (!frameOpen) {
                if (input.pos == input.size)
                    break;
                // Frames beyond the last chunk would write past the new content.
                if (chunk >= chunks || !startFrame(input))
                    return false;
                frameOpen = true;
            }
            // A little input at a time: what the decoder makes of it is hashed and written while
            // it is still in the cache.
            ZSTD_inBuffer piece{input.src, qMin(input.size, input.pos + 4096), input.pos};
            const size_t before = output.pos;
            const size_t left = ZSTD_decompressStream(dctx.get(), &output, &piece);
            input.pos = piece.pos;
            if (ZSTD_isError(left) || !pass.write(chunkBuffer + before, output.pos - before))
                return false;
            if (left == 0) {
                if (output.pos != output.size)
                    return false;
                ++chunk;
                frameOpen = false;
            } else if (input.pos == input.size) {
                break; // the frame goes on in the next block
            }
        }
    }
    return !frameOpen && chunk == chunks && pass.finish();
}
