// A patch comes from any mirror and rebuilds a file from the installed one; only the manifest's
// checksum of the result stands between a bad patch and the installation, so the rebuild itself
// must hold its limits. applyPatch is compared with a decoder made of zstd's one-shot calls under
// the same rules (tests/support/patchreference.h): they must agree on success and then on every
// byte, a refused rebuild never writes more than the new content's length, and a patch made by
// makePatch rebuilds its target exactly.
//
// Control bytes: block size, how the target is made (alone, or the reference with the input
// inserted; rarely over 8 MiB, for several chunks), a change to the patch and its place, bytes
// the installed file lacks, a change of the target's length, and the reference's length. The
// changes: a flipped byte, a cut, an extra frame, another window in the first frame's header, or
// the input itself taken as the patch.

#include "memoryfile.h"
#include "patching.h"
#include "patchreference.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace
{

QByteArray makeFor(const QByteArray& reference, const QByteArray& target, int level)
{
    static const MemoryFile from, to, made;
    from.write(reference);
    to.write(target);
    made.clear();
    MappedFile a, b;
    QString error;
    if (!a.open(from.path()) || !b.open(to.path()) || !makePatch(a, b, made.path(), level, &error))
        std::abort();
    return made.read();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    const qint64 block = data[0] == 255 ? HashedPass::defaultBlockSize : 1 + data[0] % 97 * 7;
    const uint8_t make = data[1], change = data[2] % 8, where = data[3];
    const int missing = data[4] % 4, longer = data[5] % 3 - 1;
    const QByteArray input(reinterpret_cast<const char*>(data) + 8, qsizetype(size - 8));
    const qsizetype split = qsizetype(data[6] | data[7] << 8) % (input.size() + 1);
    QByteArray reference = input.left(split), piece = input.mid(split);

    if (make >> 2 == 63) {
        const QByteArray unit = reference.isEmpty() ? QByteArray("unit") : reference;
        const quint64 least = patching::chunkSize + quint64(where) * 4096;
        reference = unit.repeated(qsizetype(least / quint64(unit.size()) + 1));
    }
    QByteArray target = piece;
    if (make & 1) {
        const qsizetype at = qsizetype(quint64(where) * quint64(reference.size()) / 255);
        target = reference.left(at) + piece + reference.mid(at);
    }
    QByteArray patch = makeFor(reference, target, 1 + make % 3);

    switch (change) {
    case 1:
        if (!patch.isEmpty())
            patch[where % patch.size()] = char(patch[where % patch.size()] ^ (1 << (make % 8)));
        break;
    case 2:
        patch.chop(qMin(patch.size(), qsizetype(1 + where % 64)));
        break;
    case 3:
        patch += patch.left(qsizetype(where));
        break;
    case 4:
        if (patch.size() > 5) {
            // One below, at or one above the limit; the format's least window is 2^10.
            const int log = patching::windowLog(reference.size(), target.size()) + where % 3 - 1;
            patch = patch.left(4) + char(patch[4] & ~0x20) + char(qMax(0, log - 10) << 3) +
                    patch.mid(5);
        }
        break;
    case 5:
        patch = piece;
        break;
    }
    const bool asMade = change == 0 && missing == 0 && longer == 0;

    const quint64 referenceSize = quint64(reference.size());
    const quint64 targetSize = quint64(qMax(qsizetype(0), target.size() + longer));
    const QByteArray installed = reference.chopped(qMin(reference.size(), qsizetype(missing)));
    static const MemoryFile patchFile, installedFile, out;
    patchFile.write(patch);
    installedFile.write(installed);
    out.clear();
    const QByteArray expected = referenceRebuild(patch, installed, referenceSize, targetSize);
    CopyDigest digest;
    const bool ok = applyPatch(patchFile.path(), installedFile.handle(), referenceSize, targetSize,
                               out.handle(), &digest, nullptr, block);
    const QByteArray rebuilt = out.read();

    if (ok != !expected.isNull() || (ok && rebuilt != expected) ||
        (!ok && quint64(rebuilt.size()) > targetSize) || (asMade && (!ok || rebuilt != target)) ||
        (ok && (digest.writtenSize != targetSize || digest.sourceSize != quint64(patch.size()))))
        std::abort();
    return 0;
}
