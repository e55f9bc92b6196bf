#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class QSettings;
struct ProductManifest;

// A patch on the mirror that rebuilds the installed file from one earlier content of it.
struct PatchSpecification {
    QString path;
    QString sha256;
    quint64 size = 0;
    QString sourceSha256;
    quint64 sourceSize = 0;
};

struct FileSpecification {
    unsigned int flags = 0;
    QString directory;
    QString name;
    QString md5;
    quint64 size = 0;
    QString unpackedMd5;
    quint64 unpackedSize = 0;
    QString unpackedName;
    // From the version's manifest; empty where the index's MD5 checksums are all there is.
    QString sha256;
    QString unpackedSha256;
    // The manifest's checksums of the pieces of the file on the mirror, if it has them.
    quint64 pieceLength = 0;
    QByteArray pieces;
    // The manifest's patches for the installed file, and the one fetched instead of the file.
    QVector<PatchSpecification> patches;
    int patch = -1;

    bool isPacked() const { return !unpackedName.isEmpty(); }
    // The checksum a copy of the file on the mirror must have, and the one of the installed
    // file: SHA-256 where the manifest gives it, MD5 otherwise.
    QString checksum() const { return sha256.isEmpty() ? md5 : sha256; }
    QString installedChecksum() const
    {
        if (!isPacked())
            return checksum();
        return unpackedSha256.isEmpty() ? unpackedMd5 : unpackedSha256;
    }
    quint64 installedSize() const { return isPacked() ? unpackedSize : size; }
    // What is downloaded for the entry: the file, or the patch chosen for it.
    QString fetchPath() const { return patch < 0 ? mirrorPath() : patches[patch].path; }
    QString fetchChecksum() const { return patch < 0 ? checksum() : patches[patch].sha256; }
    quint64 fetchSize() const { return patch < 0 ? size : patches[patch].size; }
    // Where the file lies on the mirror and in the download directory.
    QString mirrorPath() const { return directory + "/" + name; }
    // Where the file lies in the installation directory.
    QString installedPath() const { return isPacked() ? unpackedName : name; }
};

class TaskSpecification
{
public:
    TaskSpecification() = default;

    // A product index comes from any mirror. Reads its entries from the exact text, and the
    // paths of its "delete" group into `deleteKeys`; returns an empty text, or what is wrong
    // (then nothing is kept). Refused besides what IndexReader refuses: values that are not
    // MD5::LENGTH[::MD5::LENGTH::NAME], a repeated key, paths outside the directories or that
    // name the installation's own files, a path that is the directory of another or of one of
    // `metadataNames` (the files the version's index comes with in the download directory), and
    // lengths beyond maximumLength, alone or added up. `signedVersion` lets it replace the
    // trusted keys.
    QString readProductIndex(const QByteArray& text, const QStringList& metadataNames,
                             bool signedVersion, QStringList* deleteKeys);
    bool initializeByProductIni(const QString& path);

    int getSize() const { return files.size(); }
    bool get(int index, FileSpecification* entry) const;
    bool get(int index, QString* directory, QString* name, QString* md5, quint64* size) const;
    unsigned int getFlags(int index) const { return files[index].flags; }
    void setFlags(int index, unsigned int flags) { files[index].flags = flags; }
    void resetFlags(unsigned int mask);

    void save(QSettings* settings) const;
    bool load(QSettings* settings);

    // Replaces the content of the settings by a product index of the entries and the given
    // "delete" paths, in the format that initializeByProductIni reads (which reads the groups
    // and keys back in sorted order). Returns false, leaving the settings untouched, when an
    // entry or a delete path would be refused or changed by the reader, or when two entries
    // share directory and name or the installed path.
    bool writeProductIni(QSettings* settings, const QStringList& deletePaths) const;
    void append(const FileSpecification& entry);

    // A "delete" key must be a safe relative path and never name the updater or its settings.
    static bool isSafeDeleteKey(const QString& key);

    quint64 getTotalSize() const { return totalSize; }
    // No length of a file or patch, nor their sum, may exceed it (256 TiB): far beyond any disk,
    // and far from where adding lengths or one byte more could overflow.
    static constexpr quint64 maximumLength = quint64(1) << 48;
    // Entries and deletions of one index; memory stays a small multiple of the index's size.
    static constexpr int maximumEntries = 1000000;

    // Takes the SHA-256 checksums of the manifest into the entries; false, changing nothing, with
    // what is wrong when the manifest does not list exactly the entries, with their lengths and
    // packing, or when a patch would lie where a file or one of `metadataNames` lies.
    bool applyManifest(const ProductManifest& manifest, const QStringList& metadataNames,
                       QString* error);
    // From then on the entry is fetched as that patch of its own (-1: whole); the total follows.
    void usePatch(int index, int patch);

protected:
    QVector<FileSpecification> files;
    quint64 totalSize = 0;
};
