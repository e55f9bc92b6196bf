#include "indexsignature.h"

#include "filemd5.h"

#include <QFile>

#include <limits>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace
{

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

struct MdContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

Bio memoryBio(const QByteArray& data)
{
    return Bio(BIO_new_mem_buf(data.constData(), int(data.size())));
}

bool isEd25519(const EVP_PKEY* key)
{
    return EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519;
}

// Reads a file that is expected to be small; an error text on failure.
QString readSmallFile(const QString& path, QByteArray* data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    // A key file is a few hundred bytes; a huge one is not a key file.
    const qint64 limit = 1024 * 1024;
    *data = file.read(limit + 1);
    if (data->size() > limit)
        return QStringLiteral("the file is larger than 1 MiB");
    return QString();
}

} // namespace

void EvpKeyDeleter::operator()(evp_pkey_st* key) const
{
    EVP_PKEY_free(key);
}

QByteArray releaseSignatureMessage(const QString& clientType, const QString& version,
                                   const QByteArray& index, const QByteArray& manifest)
{
    QByteArray message = QByteArrayLiteral("voxmere-release-v2\n");
    for (const QString& line : {clientType, version, checksumOf(index, HashAlgorithm::Sha256),
                                checksumOf(manifest, HashAlgorithm::Sha256)}) {
        message += line.toUtf8();
        message += '\n';
    }
    return message;
}

bool TrustedKeys::load(const QByteArray& pem)
{
    keys.clear();
    error.clear();
    if (pem.size() > std::numeric_limits<int>::max()) {
        error = QStringLiteral("the file is too large");
        return false;
    }
    Bio bio = memoryBio(pem);
    int otherKinds = 0;
    while (bio) {
        EvpKey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
        if (!key)
            break;
        if (isEd25519(key.get()))
            keys.push_back(std::move(key));
        else
            ++otherKinds;
    }
    ERR_clear_error();
    if (!keys.empty())
        return true;
    error = otherKinds > 0
                ? QStringLiteral("it holds no Ed25519 public key, only keys of other kinds")
                : QStringLiteral("it holds no PEM public key");
    return false;
}

bool TrustedKeys::loadFile(const QString& path)
{
    QByteArray pem;
    const QString readError = readSmallFile(path, &pem);
    if (!readError.isEmpty()) {
        keys.clear();
        error = readError;
        return false;
    }
    return load(pem);
}

bool TrustedKeys::verify(const QByteArray& message, const QByteArray& signature) const
{
    if (signature.size() != signatureSize)
        return false;
    for (const EvpKey& key : keys) {
        MdContext context(EVP_MD_CTX_new());
        if (!context)
            break;
        // Ed25519 hashes the message itself: no digest is named, and the message goes in whole.
        const bool good =
            EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(context.get(),
                             reinterpret_cast<const unsigned char*>(signature.constData()),
                             size_t(signature.size()),
                             reinterpret_cast<const unsigned char*>(message.constData()),
                             size_t(message.size())) == 1;
        if (good) {
            ERR_clear_error();
            return true;
        }
    }
    ERR_clear_error();
    return false;
}

bool TrustedKeys::verifyRelease(const QString& clientType, const QString& version,
                                const QByteArray& index, const QByteArray& manifest,
                                const QByteArray& signature) const
{
    return verify(releaseSignatureMessage(clientType, version, index, manifest), signature);
}

bool IndexSigner::loadFile(const QString& path)
{
    key.reset();
    error.clear();
    QByteArray pem;
    const QString readError = readSmallFile(path, &pem);
    if (!readError.isEmpty()) {
        error = readError;
        return false;
    }
    Bio bio = memoryBio(pem);
    // No pass phrase is asked for: an encrypted key fails here like any other unreadable one.
    EvpKey loaded(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""))
                      : nullptr);
    ERR_clear_error();
    if (!loaded) {
        error = QStringLiteral("it holds no unencrypted PEM private key");
        return false;
    }
    if (!isEd25519(loaded.get())) {
        error = QStringLiteral("its private key is not an Ed25519 key");
        return false;
    }
    key = std::move(loaded);
    return true;
}

QByteArray IndexSigner::sign(const QByteArray& message) const
{
    if (!key)
        return QByteArray();
    MdContext context(EVP_MD_CTX_new());
    QByteArray signature(TrustedKeys::signatureSize, '\0');
    size_t length = size_t(signature.size());
    const bool ok =
        context && EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.constData()),
                       size_t(message.size())) == 1 &&
        length == size_t(TrustedKeys::signatureSize);
    ERR_clear_error();
    return ok ? signature : QByteArray();
}

QByteArray IndexSigner::publicKeyPem() const
{
    if (!key)
        return QByteArray();
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) {
        ERR_clear_error();
        return QByteArray();
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? QByteArray(data, int(size)) : QByteArray();
}
