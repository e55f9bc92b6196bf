#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// A version's file set as tests write it onto a mirror: the product index VERSION/TYPE.ini and
// every file below VERSION/GROUP/. Written with QSettings and zlib directly, independent of the
// code under test.
struct ProductFile {
    QString group;        // the index group, the directory on the mirror
    QString name;         // key; may hold "/"
    QByteArray content;   // the installed content
    bool packed = false;  // stored gzip-packed on the mirror as name, installed as unpackedName
    QString unpackedName; // installed path of a packed file

    QString installedPath() const { return packed ? unpackedName : name; }
    QString mirrorPath() const { return group + "/" + name; }
};

class ProductTree
{
public:
    QList<ProductFile> files;
    QStringList deletePaths;

    ProductTree& add(const QString& group, const QString& name, const QByteArray& content);
    ProductTree& addPacked(const QString& group, const QString& name, const QString& unpackedName,
                           const QByteArray& content);

    // Writes mirrorRoot/version/type.ini and the files. Returns the version directory.
    // The tree is made world-readable (nginx workers run as nobody).
    QString write(const QString& mirrorRoot, const QString& version, const QString& type) const;

    // The bytes a file has on the mirror (packed files gzip-compressed).
    QByteArray mirrorBytes(const ProductFile& f) const;
    quint64 totalMirrorSize() const;

    static QString md5(const QByteArray& data);
    static QByteArray gzip(const QByteArray& data);
    static QByteArray randomBytes(int size, quint32 seed);
};

// Small file helpers for tests.
bool writeFile(const QString& path, const QByteArray& data);
QByteArray readFile(const QString& path);
void makeTreeWorldReadable(const QString& dir);
