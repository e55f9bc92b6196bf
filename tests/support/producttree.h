#pragma once

// A version's file set as tests put it onto a mirror: the product index VERSION/TYPE.ini and
// every file below VERSION/GROUP/, written with QSettings and zlib directly, independent of the
// code under test; and the sample products the tests share.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct ProductFile {
    QString group;        // the index group, the directory on the mirror
    QString name;         // key; may hold "/"
    QByteArray content;   // the installed content
    QString unpackedName; // installed path of a file stored gzip-packed as name; empty if plain

    bool packed() const { return !unpackedName.isEmpty(); }
    QString installedPath() const { return packed() ? unpackedName : name; }
    QString mirrorPath() const { return group + "/" + name; }
};

class ProductTree
{
public:
    QList<ProductFile> files;
    QStringList deletePaths;
    bool manifest = true; // TYPE.manifest.ini beside the index, as update-publish writes it
    int pieceLength = 0;  // the manifest's pieces, for files longer than one

    ProductTree& add(const QString& group, const QString& name, const QByteArray& content,
                     const QString& unpackedName = QString());
    // Writes mirrorRoot/version/type.ini and the files, world-readable; returns the version
    // directory.
    QString write(const QString& mirrorRoot, const QString& version, const QString& type) const;
    QByteArray mirrorBytes(const ProductFile& f) const; // packed files gzip-compressed
    quint64 totalMirrorSize() const;
    QStringList mirrorPaths() const;

    static QString md5(const QByteArray& data);
    static QString sha256(const QByteArray& data);
    static QByteArray gzip(const QByteArray& data);
    static QByteArray randomBytes(int size, quint32 seed);
};

// Versions 1 and 2 of a small client: plain, nested, packed and executable files; version 1
// also has an empty packed file and notes that version 2 deletes.
ProductTree clientProduct(int version);
// Four files a.bin..d.bin, fetched in this order by a single stream; c.bin is the big one.
ProductTree fourFiles();

bool writeFile(const QString& path, const QByteArray& data);
QByteArray readFile(const QString& path);
void makeTreeWorldReadable(const QString& dir);
// The paths that contain `marker`, each without what precedes it and the marker itself,
// percent-decoded, in their order.
QStringList pathsBelow(const QStringList& paths, const QString& marker);
