// The manifest comes from any mirror, and without update.pub nothing vouches for it. Whatever the
// reader accepts must write out and read back to the same manifest, and must apply to an index
// only when it lists exactly that index's files.

#include "productmanifest.h"
#include "taskspecification.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace
{
bool same(const ProductManifest& a, const ProductManifest& b)
{
    if (a.indexSha256 != b.indexSha256 || a.files.size() != b.files.size() ||
        a.patches.size() != b.patches.size())
        return false;
    for (qsizetype i = 0; i < a.patches.size(); ++i) {
        const ManifestPatch &x = a.patches[i], &y = b.patches[i];
        if (x.path != y.path || x.sha256 != y.sha256 || x.length != y.length ||
            x.installed != y.installed || x.sourceSha256 != y.sourceSha256 ||
            x.sourceLength != y.sourceLength)
            return false;
    }
    for (qsizetype i = 0; i < a.files.size(); ++i) {
        const ManifestFile &x = a.files[i], &y = b.files[i];
        if (x.path != y.path || x.sha256 != y.sha256 || x.length != y.length ||
            x.unpackedSha256 != y.unpackedSha256 || x.pieceLength != y.pieceLength ||
            x.pieces != y.pieces)
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    ProductManifest manifest;
    if (!ProductManifest::parse(input, &manifest).isEmpty())
        return 0;
    ProductManifest again;
    if (!ProductManifest::parse(manifest.toText(), &again).isEmpty() || !same(manifest, again))
        std::abort();

    // An index of one plain file "files/a" of 3 bytes.
    TaskSpecification list;
    FileSpecification entry;
    entry.directory = QStringLiteral("files");
    entry.name = QStringLiteral("a");
    entry.md5 = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
    entry.size = 3;
    list.append(entry);
    QString error;
    const bool applied = list.applyManifest(manifest, {QStringLiteral("t.ini")}, &error);
    list.get(0, &entry);
    const bool filesFit = manifest.files.size() == 1 && manifest.files[0].path == "files/a" &&
                          manifest.files[0].length == 3 &&
                          manifest.files[0].unpackedSha256.isEmpty();
    // Taken whole or not at all; patches only for the file, smaller than it, beside it.
    if (applied != error.isEmpty() || (applied && !filesFit) ||
        (filesFit && manifest.patches.isEmpty() && !applied) ||
        entry.sha256 != (applied ? manifest.files[0].sha256 : QString()))
        std::abort();
    for (const ManifestPatch& patch : std::as_const(manifest.patches)) {
        if (applied && (patch.installed != "a" || patch.length >= 3 || patch.path == "t.ini" ||
                        patch.path.startsWith("files/a/") || patch.path == "files"))
            std::abort();
    }
    return 0;
}
