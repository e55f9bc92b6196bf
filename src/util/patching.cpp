#include "patching.h"

#include <QFile>

#include <memory>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
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
    QByteArray frame(int(ZSTD_compressBound(chunkSize)), '\0');
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

bool applyPatch(const QString& patchPath, const char* reference, quint64 referenceSize,
                quint64 targetSize, int fd, CopyDigest* digest, const std::atomic<bool>* stop)
{
    using namespace patching;
    if (referenceSize > maximumFileSize || targetSize > maximumFileSize)
        return false;
    HashedPass pass(patchPath, fd, digest, stop);
    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!pass.isOpen() || !dctx ||
        ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                                            windowLog(referenceSize, targetSize))))
        return false;
    const quint64 chunks = chunkCount(targetSize);
    quint64 chunk = 0, chunkDone = 0;
    bool frameOpen = false; // a frame has begun and not ended
    const auto startFrame = [&] {
        const Slice slice = referenceSlice(chunk, referenceSize, targetSize);
        return !ZSTD_isError(ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_only)) &&
               !ZSTD_isError(
                   ZSTD_DCtx_refPrefix(dctx.get(), reference + slice.offset, size_t(slice.length)));
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
                if (chunk >= chunks || !startFrame())
                    return false;
                frameOpen = true;
            }
            ZSTD_outBuffer output{pass.outBlock(), size_t(pass.blockSize()), 0};
            const size_t left = ZSTD_decompressStream(dctx.get(), &output, &input);
            if (ZSTD_isError(left))
                return false;
            const quint64 expected = qMin(chunkSize, targetSize - chunk * chunkSize);
            chunkDone += output.pos;
            if (chunkDone > expected || !pass.write(pass.outBlock(), output.pos))
                return false;
            if (left == 0) {
                if (chunkDone != expected)
                    return false;
                ++chunk;
                chunkDone = 0;
                frameOpen = false;
            } else if (input.pos == input.size && output.pos < output.size) {
                break; // the frame goes on in the next block
            }
        }
    }
    return !frameOpen && chunk == chunks && pass.finish();
}
