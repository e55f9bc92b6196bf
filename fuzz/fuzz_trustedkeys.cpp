// update.pub is the installation's own file, but a signed version may ship a new one, and the
// signature comes from any mirror. The input is split at the first "\n.\n": the key text before
// it, the signature after it; the index signed is the key text itself, with an empty manifest.

#include "indexsignature.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = input.indexOf("\n.\n");
    const QByteArray pem = split < 0 ? input : input.left(split);
    const QByteArray signature = split < 0 ? QByteArray() : input.mid(split + 3);

    TrustedKeys keys;
    const bool loaded = keys.load(pem);
    if (loaded != (keys.count() > 0) || loaded != keys.errorString().isEmpty())
        std::abort();
    const bool good = keys.verifyRelease(QStringLiteral("client_linux_x86"), QStringLiteral("1"),
                                         pem, QByteArray(), signature);
    if (good && (!loaded || signature.size() != TrustedKeys::signatureSize))
        std::abort();
    return 0;
}
