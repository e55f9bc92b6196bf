#pragma once

#include "patching.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader
#include <zstd.h>

// A patch decoded by zstd's one-shot decoder under the rules of applyPatch: frame k, of no larger
// window than the lengths allow, decodes with slice k of `reference` (what the file holds, maybe
// less than `referenceSize`) as its prefix to exactly chunk k. Null when it rebuilds nothing.
inline QByteArray referenceRebuild(QByteArray patch, const QByteArray& reference,
                                   quint64 referenceSize, quint64 targetSize)
{
    using namespace patching;
    static ZSTD_DCtx* const dctx = ZSTD_createDCtx();
    QByteArray content("");
    for (quint64 k = 0; k < chunkCount(targetSize); ++k) {
        const Slice slice = referenceSlice(k, referenceSize, targetSize);
        const size_t length = ZSTD_findFrameCompressedSize(patch.constData(), size_t(patch.size()));
        QByteArray chunk(qsizetype(qMin(chunkSize, targetSize - k * chunkSize)), '\0');
        ZSTD_frameHeader header;
        if (ZSTD_isError(length) || ZSTD_getFrameHeader(&header, patch.constData(), length) != 0 ||
            header.windowSize > quint64(1) << windowLog(referenceSize, targetSize) ||
            slice.offset + slice.length > quint64(reference.size()) ||
            ZSTD_DCtx_refPrefix(dctx, reference.constData() + slice.offset, slice.length) != 0 ||
            ZSTD_decompressDCtx(dctx, chunk.data(), size_t(chunk.size()), patch.constData(),
                                length) != size_t(chunk.size()))
            return QByteArray();
        content += chunk;
        patch.remove(0, qsizetype(length));
    }
    const bool fits = referenceSize <= maximumFileSize && targetSize <= maximumFileSize;
    return patch.isEmpty() && fits ? content : QByteArray();
}
