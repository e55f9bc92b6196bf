#include "filemd5.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>
#include <zlib.h>

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace
{

const qint64 blockSize = 16384;

struct GzCloser {
    void operator()(gzFile_s* file) const { gzclose(file); }
};
using GzPointer = std::unique_ptr<gzFile_s, GzCloser>;

QString hexDigest(const QByteArray& digest)
{
    return QString::fromLatin1(digest.toHex());
}

// Hashes from the current position to the end of the device.
QString hashRemaining(QFile& file, HashAlgorithm algorithm = HashAlgorithm::Md5)
{
    Hash hash(algorithm);
    char block[blockSize];
    qint64 n;
    while ((n = file.read(block, blockSize)) > 0)
        hash.add(block, n);
    return hash.hex();
}

} // namespace

QString getFileMD5Ex(const QString& path)
{
    return fileChecksum(path, HashAlgorithm::Md5);
}

QString fileChecksum(const QString& path, HashAlgorithm algorithm)
{
    QFile file(path);
    // Unbuffered: the blocks go straight into the hash without QFile's extra copy.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    const QString result = hashRemaining(file, algorithm);
    file.close();
    return result;
}

bool fileMd5AndSha256(const QString& path, QString* md5, QString* sha256)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    Hash first(HashAlgorithm::Md5), second(HashAlgorithm::Sha256);
    char block[blockSize];
    qint64 n;
    while ((n = file.read(block, blockSize)) > 0) {
        first.add(block, n);
        second.add(block, n);
    }
    if (n < 0)
        return false;
    *md5 = first.hex();
    *sha256 = second.hex();
    return true;
}

HashAlgorithm checksumAlgorithm(const QString& checksum)
{
    return checksum.size() == 64 ? HashAlgorithm::Sha256 : HashAlgorithm::Md5;
}

QString checksumOf(const QByteArray& data, HashAlgorithm algorithm)
{
    Hash hash(algorithm);
    hash.add(data.constData(), data.size());
    return hash.hex();
}

QString getFileMD5Ex(QFile& file)
{
    file.reset();
    return hashRemaining(file);
}

QString getFileMD5(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray content = file.readAll();
    file.close();
    return hexDigest(QCryptographicHash::hash(content, QCryptographicHash::Md5));
}

bool unzipFile(const QString& destination, const QString& gzipSource)
{
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;
    GzPointer in(gzopen(QFile::encodeName(gzipSource).constData(), "rb"));
    if (!in)
        return false;
    gzbuffer(in.get(), 131072);
    gzrewind(in.get());

    auto fail = [&]() {
        in.reset();
        out.close();
        out.remove();
        return false;
    };

    char block[blockSize];
    for (;;) {
        const int n = gzread(in.get(), block, unsigned(blockSize));
        if (n < 0)
            return fail();
        if (n == 0)
            break;
        if (out.write(block, n) != n)
            return fail();
    }
    // gzread ends with 0 on a cut stream as on a clean one; only the stream's error state and
    // the result of closing it tell a truncated file from a complete one.
    int errnum = Z_OK;
    gzerror(in.get(), &errnum);
    if (errnum != Z_OK)
        return fail();
    if (gzclose_r(in.release()) != Z_OK) {
        out.close();
        out.remove();
        return false;
    }
    out.close();
    if (out.error() != QFileDevice::NoError) {
        out.remove();
        return false;
    }
    return true;
}

bool zipFile(const QString& gzipDestination, const QString& source)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    GzPointer out(gzopen(QFile::encodeName(gzipDestination).constData(), "wb"));
    if (!out)
        return false;
    if (gzsetparams(out.get(), Z_BEST_COMPRESSION, Z_DEFAULT_STRATEGY) != Z_OK) {
        out.reset();
        QFile::remove(gzipDestination);
        return false;
    }
    char block[blockSize];
    qint64 n;
    while ((n = in.read(block, blockSize)) > 0) {
        if (gzwrite(out.get(), block, unsigned(n)) != int(n)) {
            out.reset();
            QFile::remove(gzipDestination);
            return false;
        }
    }
    in.close();
    if (gzclose(out.release()) != Z_OK) {
        QFile::remove(gzipDestination);
        return false;
    }
    return true;
}

Hash::Hash(HashAlgorithm algorithm) : context(EVP_MD_CTX_new()), algorithm(algorithm)
{
    reset();
}

Hash::~Hash()
{
    EVP_MD_CTX_free(context);
}

void Hash::reset()
{
    EVP_DigestInit_ex(context, algorithm == HashAlgorithm::Sha256 ? EVP_sha256() : EVP_md5(),
                      nullptr);
}

void Hash::add(const char* data, qint64 length)
{
    EVP_DigestUpdate(context, data, size_t(length));
}

QByteArray pieceChecksums(const QString& path, quint64 pieceLength)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return pieceChecksums(file, pieceLength);
}

QByteArray pieceChecksums(QFile& file, quint64 pieceLength, Hash* whole,
                          const std::atomic<bool>* stop)
{
    if (pieceLength == 0)
        return QByteArray();
    Hash piece(HashAlgorithm::Sha256);
    QByteArray block(int(qMin<quint64>(pieceLength, 1 << 20)), Qt::Uninitialized), pieces("");
    quint64 inPiece = 0;
    qint64 n;
    while ((n = file.read(block.data(),
                          qint64(qMin<quint64>(block.size(), pieceLength - inPiece)))) > 0) {
        if (stop && *stop)
            return QByteArray();
        piece.add(block.constData(), n);
        if (whole)
            whole->add(block.constData(), n);
        inPiece += quint64(n);
        if (inPiece == pieceLength) {
            pieces += piece.hex().toLatin1();
            inPiece = 0;
        }
    }
    if (n < 0)
        return QByteArray();
    if (inPiece > 0)
        pieces += piece.hex().toLatin1();
    return pieces;
}

bool Hash::copyFrom(const Hash& other)
{
    return algorithm == other.algorithm && EVP_MD_CTX_copy_ex(context, other.context) == 1;
}

QString Hash::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context, digest, &size);
    reset();
    return hexDigest(QByteArray(reinterpret_cast<const char*>(digest), int(size)));
}

bool HashingFile::open(OpenMode mode)
{
    hash.reset();
    written = 0;
    digest.clear();
    return QFile::open(mode);
}

bool HashingFile::openToContinue(const Hash& part, qint64 size)
{
    if (!open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !hash.copyFrom(part) ||
        QFile::size() != size || !seek(size))
        return false;
    written = size;
    return true;
}

void HashingFile::close()
{
    if (isOpen())
        digest = hash.hex();
    QFile::close();
}

qint64 HashingFile::writeData(const char* data, qint64 length)
{
    const qint64 n = QFile::writeData(data, length);
    if (n > 0) {
        hash.add(data, n);
        written += n;
    }
    return n;
}

namespace
{

struct InflateEnd {
    void operator()(z_stream* s) const { inflateEnd(s); }
};

} // namespace

bool writeAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

HashedPass::HashedPass(const QString& source, int fd, CopyDigest* digest,
                       const std::atomic<bool>* stop, qint64 blockSize)
    : in(source), fd(fd), digest(digest), stop(stop), size(blockSize),
      inHash(digest->sourceAlgorithm), outHash(digest->writtenAlgorithm),
      inBuffer(new char[size_t(blockSize)]), outBuffer(new char[size_t(blockSize)])
{
    in.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 HashedPass::read()
{
    if (stop && *stop)
        return -1;
    const qint64 n = in.read(inBuffer.get(), size);
    if (n > 0) {
        inHash.add(inBuffer.get(), n);
        inSize += quint64(n);
    }
    return n;
}

bool HashedPass::write(const char* data, size_t length)
{
    if (!mirrored)
        outHash.add(data, qint64(length));
    outSize += length;
    return writeAll(fd, data, length);
}

bool HashedPass::finish()
{
    digest->sourceChecksum = inHash.hex();
    digest->sourceSize = inSize;
    digest->writtenChecksum = mirrored ? digest->sourceChecksum : outHash.hex();
    digest->writtenSize = outSize;
    return true;
}

bool copyHashed(const QString& source, int fd, bool unpack, CopyDigest* digest,
                const std::atomic<bool>* stop, qint64 blockSize)
{
    HashedPass pass(source, fd, digest, stop, blockSize);
    if (!pass.isOpen())
        return false;
    Bytef* const outBuffer = reinterpret_cast<Bytef*>(pass.outBlock());
    const uInt outSize = uInt(pass.blockSize());
    const auto put = [&](const Bytef* data, uInt n) {
        return pass.write(reinterpret_cast<const char*>(data), n);
    };

    z_stream z{};
    std::unique_ptr<z_stream, InflateEnd> inflating;
    // Feeds inflate until it has taken all of the input and has nothing more to give for it, or
    // until the member ends; the input left over stays in z.
    const auto unpackFrom = [&](Bytef* data, uInt length, bool* ended) {
        z.next_in = data;
        z.avail_in = length;
        int r;
        do {
            z.next_out = outBuffer;
            z.avail_out = outSize;
            r = inflate(&z, Z_NO_FLUSH);
            // Z_BUF_ERROR only says that no progress was possible: the input ran out as the
            // output filled, and the next block goes on.
            if ((r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) ||
                !put(outBuffer, outSize - z.avail_out))
                return false;
        } while (r != Z_STREAM_END && (z.avail_in > 0 || z.avail_out == 0));
        *ended = r == Z_STREAM_END;
        return true;
    };

    // Like gzread: at the start and after each member, two bytes tell a member's header from a
    // file that is not packed (copied as it is) or from what follows the last member (ignored).
    // A member may end anywhere in a block, so the two bytes may come from two blocks.
    enum { Look, Copy, Unpack, Ignore } mode = unpack ? Look : Copy;
    if (mode == Copy)
        pass.mirror();
    bool packed = false;
    Bytef head[2];
    uInt held = 0;
    for (;;) {
        const qint64 n = pass.read();
        if (n < 0)
            return false;
        if (n == 0)
            break;
        Bytef* data = reinterpret_cast<Bytef*>(pass.block());
        uInt left = uInt(n);
        while (left > 0) {
            if (mode == Copy) {
                if (!put(data, left))
                    return false;
                left = 0;
            } else if (mode == Ignore) {
                left = 0;
            } else if (mode == Look) {
                while (held < 2 && left > 0) {
                    head[held++] = *data++;
                    --left;
                }
                if (held < 2)
                    break;
                held = 0;
                if (head[0] == 0x1f && head[1] == 0x8b) {
                    if (packed)
                        inflateReset(&z);
                    else if (inflateInit2(&z, 16 + MAX_WBITS) == Z_OK)
                        inflating.reset(&z);
                    else
                        return false;
                    packed = true;
                    mode = Unpack;
                    bool ended; // two bytes of a header end no member
                    if (!unpackFrom(head, 2, &ended))
                        return false;
                } else if (packed) {
                    mode = Ignore;
                } else {
                    mode = Copy;
                    pass.mirror();
                    if (!put(head, 2))
                        return false;
                }
            } else {
                bool ended = false;
                if (!unpackFrom(data, left, &ended))
                    return false;
                data = z.next_in;
                left = z.avail_in;
                if (ended)
                    mode = Look;
            }
        }
    }
    // A file of one byte is not packed; a cut stream never reaches the end of its member.
    if (mode == Look && held == 1 && !packed && !put(head, 1))
        return false;
    return mode != Unpack && pass.finish();
}
