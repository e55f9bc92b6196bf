#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <memory>

// Checksum text: 32 lower-case hexadecimal digits of the MD5 digest; a null string when the
// file cannot be read. Files are processed in blocks of 16384 bytes.
QString getFileMD5Ex(const QString& path);
// Hashes the whole of an open file from its first byte; leaves it open at its end.
QString getFileMD5Ex(QFile& file);
// Same result as getFileMD5Ex(path), with the whole content read into memory at once.
QString getFileMD5(const QString& path);

// Note the order: destination first, source second.
bool unzipFile(const QString& destination, const QString& gzipSource);
bool zipFile(const QString& gzipDestination, const QString& source);

struct evp_md_ctx_st;
class Hash;

// MD5 catches damage; only SHA-256 holds against someone who prepares a file with a twin.
enum class HashAlgorithm { Md5, Sha256 };

// A checksum text names its algorithm by its length: 64 hexadecimal digits are SHA-256, anything
// else is taken for MD5 (and an MD5 checksum is never 64 digits long).
HashAlgorithm checksumAlgorithm(const QString& checksum);
// Checksum text of bytes in memory.
QString checksumOf(const QByteArray& data, HashAlgorithm algorithm);
// Checksum text of a file, or a null string when it cannot be read.
QString fileChecksum(const QString& path, HashAlgorithm algorithm);
// The SHA-256 texts of each pieceLength bytes of a file, one after the other (the last piece may
// be shorter); null when it cannot be read.
QByteArray pieceChecksums(const QString& path, quint64 pieceLength);
// The same from an open file's current position on; `whole` (when given) hashes every byte too.
// Null when it cannot be read or `stop` is set.
QByteArray pieceChecksums(QFile& file, quint64 pieceLength, Hash* whole = nullptr,
                          const std::atomic<bool>* stop = nullptr);
// Both checksum texts of a file from one read of it; false when it cannot be read.
bool fileMd5AndSha256(const QString& path, QString* md5, QString* sha256);

// A hash context on OpenSSL's implementation, which uses the CPU's SHA instructions.
class Hash
{
public:
    explicit Hash(HashAlgorithm algorithm = HashAlgorithm::Md5);
    ~Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    void reset();
    void add(const char* data, qint64 length);
    // Takes over the state of another context of the same algorithm.
    bool copyFrom(const Hash& other);
    // Checksum text of what was added since the last reset; the context is then reset.
    QString hex();

private:
    evp_md_ctx_st* context;
    HashAlgorithm algorithm;
};

// A file that hashes every byte as it goes to the disk, so that what was written can be checked
// without reading it back. Reopening it starts a fresh checksum.
class HashingFile : public QFile
{
public:
    HashingFile(const QString& name, HashAlgorithm algorithm) : QFile(name), hash(algorithm) {}
    bool open(OpenMode mode) override;
    // Opens the file to write on after its first `size` bytes, which `part` has hashed: the
    // checksum at the end is of the whole file. False when the file is not that long.
    bool openToContinue(const Hash& part, qint64 size);
    void close() override;
    // Checksum text of the bytes written while the file was last open; valid after close().
    QString writtenChecksum() const { return digest; }
    qint64 writtenSize() const { return written; }

protected:
    qint64 writeData(const char* data, qint64 length) override;

private:
    Hash hash;
    qint64 written = 0;
    QString digest;
};

// What one pass over a downloaded file found while it was copied or unpacked.
struct CopyDigest {
    HashAlgorithm sourceAlgorithm = HashAlgorithm::Md5;
    HashAlgorithm writtenAlgorithm = HashAlgorithm::Md5;
    QString sourceChecksum;
    quint64 sourceSize = 0;
    QString writtenChecksum;
    quint64 writtenSize = 0;
};

// Writes the whole buffer to the descriptor, as often as it takes; false on a write error.
bool writeAll(int fd, const char* data, size_t length);

// One pass from a source file to an open descriptor that hashes and counts both sides by the
// algorithms `digest` names, in fixed blocks: the memory does not grow with the file.
class HashedPass
{
public:
    static constexpr qint64 defaultBlockSize = 256 * 1024;
    HashedPass(const QString& source, int fd, CopyDigest* digest, const std::atomic<bool>* stop,
               qint64 blockSize = defaultBlockSize);
    bool isOpen() const { return in.isOpen(); }
    // The length of block() and of outBlock().
    qint64 blockSize() const { return size; }
    // The next block of the source into block(), hashed and counted: its length, 0 at the end,
    // -1 on a read failure or when `stop` is set.
    qint64 read();
    char* block() const { return inBuffer.get(); }
    char* outBlock() const { return outBuffer.get(); }
    // Hashed, counted and written whole.
    bool write(const char* data, size_t length);
    // Everything written from here on is what was read, byte for byte, from the first byte on:
    // with one algorithm on both sides the written checksum is the source's, not taken twice.
    void mirror() { mirrored = digest->sourceAlgorithm == digest->writtenAlgorithm; }
    // Hands the checksums and lengths to the digest; the pass was a success.
    bool finish();

private:
    QFile in;
    int fd;
    CopyDigest* digest;
    const std::atomic<bool>* stop;
    const qint64 size;
    Hash inHash, outHash;
    std::unique_ptr<char[]> inBuffer, outBuffer;
    quint64 inSize = 0, outSize = 0;
    bool mirrored = false;
};

// Reads `source` once and writes it (unpacked when `unpack`, to the bytes unzipFile gives: every
// gzip member, what follows the last one ignored, a file without a header passed through) to the
// open descriptor `fd`, hashing both sides on the way with the algorithms `digest` names; the
// descriptor is neither flushed nor closed. `stop` is polled between blocks of `blockSize` bytes.
// False on any read, unpacking or write failure.
bool copyHashed(const QString& source, int fd, bool unpack, CopyDigest* digest,
                const std::atomic<bool>* stop = nullptr,
                qint64 blockSize = HashedPass::defaultBlockSize);
