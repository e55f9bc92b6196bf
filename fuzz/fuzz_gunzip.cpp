// The apply unpacks every downloaded .gz in one pass (copyHashed); zlib's gzread, through
// unzipFile, is what it must equal. The input builds the file: after four control bytes (block
// size, which parts to pack, one byte to change), it is cut into three parts by the lengths in
// the first two parts' own leading bytes, and each part goes into the file packed by zlib or as
// it is; then a byte may be changed and the end cut off. Both passes read the same file: they
// must agree on success and then on every byte, and ours must hash and count both sides (by one
// algorithm or by two, as a bit of the cut byte says).

#include "filemd5.h"
#include "memoryfile.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

#include <zlib.h>

namespace
{

QByteArray gzip(const QByteArray& data, int level)
{
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        std::abort();
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size())) + 32), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END)
        std::abort();
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    // Block sizes from 1 byte up, and the one the apply uses.
    const qint64 block = data[0] == 255 ? HashedPass::defaultBlockSize : 1 + data[0] % 97 * 7;
    const uint8_t pack = data[1], change = data[2], cut = data[3];
    QByteArray rest(reinterpret_cast<const char*>(data) + 4, qsizetype(size - 4));

    QByteArray file;
    for (int part = 0; part < 3; ++part) {
        qsizetype length = rest.size();
        if (part < 2 && !rest.isEmpty()) {
            length = qMin(rest.size() - 1, qsizetype(uint8_t(rest[0])));
            rest.remove(0, 1);
        }
        const QByteArray piece = rest.left(length);
        rest.remove(0, length);
        file += pack & (1 << part) ? gzip(piece, pack >> 5) : piece;
    }
    if (change != 0 && !file.isEmpty())
        file[change % file.size()] = char(file[change % file.size()] ^ (pack & 0x18 ? 1 : 0x80));
    if (cut != 0)
        file.chop(qMin(file.size(), qsizetype(cut % 16)));

    static const MemoryFile in, zlibOut, ours;
    in.write(file);
    const bool zlibOk = unzipFile(zlibOut.path(), in.path());
    const QByteArray expected = zlibOk ? zlibOut.read() : QByteArray();

    ours.clear();
    CopyDigest digest;
    digest.sourceAlgorithm = HashAlgorithm::Sha256;
    digest.writtenAlgorithm = cut & 0x10 ? HashAlgorithm::Sha256 : HashAlgorithm::Md5;
    const bool ok = copyHashed(in.path(), ours.handle(), true, &digest, nullptr, block);
    if (ok != zlibOk)
        std::abort();
    if (ok && (ours.read() != expected || digest.writtenSize != quint64(expected.size()) ||
               digest.sourceSize != quint64(file.size()) ||
               digest.sourceChecksum != checksumOf(file, HashAlgorithm::Sha256) ||
               digest.writtenChecksum != checksumOf(expected, digest.writtenAlgorithm)))
        std::abort();
    return 0;
}
