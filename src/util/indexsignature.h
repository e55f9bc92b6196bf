#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

struct evp_pkey_st;

// Ed25519 signatures of a version's product index and manifest. A signature is the raw 64-byte
// Ed25519 signature of releaseSignatureMessage(): the type and the version are signed with the
// SHA-256 checksums of both files, so a signed pair never passes for another version or another
// client type, and the MD5 checksums of the index bind nothing on their own.
//
//   "voxmere-release-v2\n" TYPE "\n" VERSION "\n" SHA256(index) "\n" SHA256(manifest) "\n"
//
// with the checksums as 64 lower-case hexadecimal digits.
QByteArray releaseSignatureMessage(const QString& clientType, const QString& version,
                                   const QByteArray& index, const QByteArray& manifest);

struct EvpKeyDeleter {
    void operator()(evp_pkey_st* key) const;
};
using EvpKey = std::unique_ptr<evp_pkey_st, EvpKeyDeleter>;

// The publisher's public keys an installation trusts: PEM public keys one after the other.
// A signature by any of them counts.
class TrustedKeys
{
public:
    static constexpr int signatureSize = 64;

    // False with a reason when the text holds no usable Ed25519 public key. Keys of other
    // kinds are skipped; reading stops at the first block that is not a public key.
    bool load(const QByteArray& pem);
    bool loadFile(const QString& path);
    QString errorString() const { return error; }
    int count() const { return int(keys.size()); }

    bool verify(const QByteArray& message, const QByteArray& signature) const;
    bool verifyRelease(const QString& clientType, const QString& version, const QByteArray& index,
                       const QByteArray& manifest, const QByteArray& signature) const;

private:
    std::vector<EvpKey> keys;
    QString error;
};

// The publisher's side: one Ed25519 private key in PEM.
class IndexSigner
{
public:
    // False with a reason when the file is not an Ed25519 private key.
    bool loadFile(const QString& path);
    QString errorString() const { return error; }

    // Empty when signing failed.
    QByteArray sign(const QByteArray& message) const;
    // The public half in PEM, as "openssl pkey -pubout" writes it.
    QByteArray publicKeyPem() const;

private:
    EvpKey key;
    QString error;
};
