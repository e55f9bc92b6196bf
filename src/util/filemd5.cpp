#include "filemd5.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>
#include <zlib.h>

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
QString hashRemaining(QFile& file)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.reset();
    char block[blockSize];
    qint64 n;
    while ((n = file.read(block, blockSize)) > 0)
        hash.addData(QByteArrayView(block, n));
    return hexDigest(hash.result());
}

} // namespace

QString getFileMD5Ex(const QString& path)
{
    QFile file(path);
    // Unbuffered: the blocks go straight into the hash without QFile's extra copy.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    const QString result = hashRemaining(file);
    file.close();
    return result;
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
