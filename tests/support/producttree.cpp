#include "producttree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QUrl>

#include <zlib.h>

ProductTree& ProductTree::add(const QString& group, const QString& name, const QByteArray& content,
                              const QString& unpackedName)
{
    files.append({group, name, content, unpackedName});
    return *this;
}

QString ProductTree::md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QString ProductTree::sha256(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QByteArray ProductTree::gzip(const QByteArray& data)
{
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(data.size()))) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(int(zs.total_out));
    deflateEnd(&zs);
    return out;
}

QByteArray ProductTree::randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(gen.bounded(256));
    return data;
}

QByteArray ProductTree::mirrorBytes(const ProductFile& f) const
{
    return f.packed() ? gzip(f.content) : f.content;
}

quint64 ProductTree::totalMirrorSize() const
{
    quint64 total = 0;
    for (const ProductFile& f : files)
        total += quint64(mirrorBytes(f).size());
    return total;
}

QStringList ProductTree::mirrorPaths() const
{
    QStringList paths;
    for (const ProductFile& f : files)
        paths << f.mirrorPath();
    return paths;
}

QString ProductTree::write(const QString& mirrorRoot, const QString& version,
                           const QString& type) const
{
    const QString versionDir = mirrorRoot + "/" + version;
    const QString indexPath = versionDir + "/" + type + ".ini";
    QDir().mkpath(versionDir);
    QFile::remove(indexPath);
    QString entries;
    int count = 0;
    {
        QSettings index(indexPath, QSettings::IniFormat);
        for (const ProductFile& f : files) {
            const QByteArray bytes = mirrorBytes(f);
            QString value = md5(bytes) + "::" + QString::number(bytes.size());
            if (f.packed())
                value += "::" + md5(f.content) + "::" + QString::number(f.content.size()) +
                         "::" + f.unpackedName;
            index.setValue(f.group + "/" + f.name, value);
            writeFile(versionDir + "/" + f.mirrorPath(), bytes);
            entries += QString("%1\\path=%2\n%1\\sha256=%3\n%1\\length=%4\n")
                           .arg(++count)
                           .arg(QString::fromLatin1(QUrl::toPercentEncoding(f.mirrorPath(), "/")),
                                sha256(bytes))
                           .arg(bytes.size());
            if (f.packed())
                entries += QString("%1\\unpackedSha256=%2\n").arg(count).arg(sha256(f.content));
            if (pieceLength > 0 && bytes.size() > pieceLength) {
                entries += QString("%1\\pieceLength=%2\n%1\\pieces=").arg(count).arg(pieceLength);
                for (int at = 0; at < bytes.size(); at += pieceLength)
                    entries += sha256(bytes.mid(at, pieceLength));
                entries += "\n";
            }
        }
        for (const QString& path : deletePaths)
            index.setValue("delete/" + path, "");
    }
    if (manifest)
        writeFile(versionDir + "/" + type + ".manifest.ini",
                  QString("[manifest]\nformat=1\nindex=%1\n[files]\n%2size=%3\n")
                      .arg(sha256(readFile(indexPath)), entries)
                      .arg(count)
                      .toUtf8());
    makeTreeWorldReadable(mirrorRoot);
    return versionDir;
}

ProductTree clientProduct(int version)
{
    const QByteArray v = QByteArray::number(version);
    ProductTree p;
    p.add("files", "readme.txt", "Voxmere client, version " + v)
        .add("files", "data/maps/town.map", ProductTree::randomBytes(30000, 10 + version))
        .add("files", "data/levels.pak.gz",
             ProductTree::randomBytes(150000, 20 + version).repeated(2), "data/levels.pak")
        .add("files", "vm3client_linux_x86", "#!/bin/sh\necho client " + v + "\n")
        .add("files", "lib/libvoice.so", ProductTree::randomBytes(5000, 30 + version));
    if (version == 1)
        p.add("files", "data/empty.pak.gz", "", "data/empty.pak")
            .add("files", "old_notes.txt", "notes of version 1");
    else
        p.deletePaths << "old_notes.txt";
    return p;
}

ProductTree fourFiles()
{
    ProductTree p;
    for (int i = 1; i <= 4; ++i)
        p.add("files", QString("%1.bin").arg(QChar('a' + i - 1)),
              ProductTree::randomBytes(i == 3 ? 300000 : 20000, i));
    return p;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void makeTreeWorldReadable(const QString& dir)
{
    // The parents of a temporary directory must be passable too.
    for (QDir d(QFileInfo(dir).absoluteFilePath()); !d.isRoot(); d.cdUp())
        QFile::setPermissions(d.absolutePath(), QFile::permissions(d.absolutePath()) |
                                                    QFile::ReadOther | QFile::ExeOther);
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        QFile::setPermissions(p, QFile::permissions(p) | QFile::ReadOther | QFile::ReadGroup |
                                     (QFileInfo(p).isDir() ? QFile::ExeOther | QFile::ExeGroup
                                                           : QFile::Permissions()));
    }
}

QStringList pathsBelow(const QStringList& paths, const QString& marker)
{
    QStringList result;
    for (const QString& path : paths) {
        const int at = path.indexOf(marker);
        if (at >= 0)
            result << QUrl::fromPercentEncoding(path.mid(at + marker.size()).toUtf8());
    }
    return result;
}
