#include "producttree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>

#include <zlib.h>

ProductTree& ProductTree::add(const QString& group, const QString& name, const QByteArray& content)
{
    ProductFile f;
    f.group = group;
    f.name = name;
    f.content = content;
    files.append(f);
    return *this;
}

ProductTree& ProductTree::addPacked(const QString& group, const QString& name,
                                    const QString& unpackedName, const QByteArray& content)
{
    ProductFile f;
    f.group = group;
    f.name = name;
    f.content = content;
    f.packed = true;
    f.unpackedName = unpackedName;
    files.append(f);
    return *this;
}

QString ProductTree::md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
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
    return f.packed ? gzip(f.content) : f.content;
}

quint64 ProductTree::totalMirrorSize() const
{
    quint64 total = 0;
    for (const ProductFile& f : files)
        total += quint64(mirrorBytes(f).size());
    return total;
}

QString ProductTree::write(const QString& mirrorRoot, const QString& version,
                           const QString& type) const
{
    const QString versionDir = mirrorRoot + "/" + version;
    QDir().mkpath(versionDir);
    const QString indexPath = versionDir + "/" + type + ".ini";
    QFile::remove(indexPath);
    {
        QSettings index(indexPath, QSettings::IniFormat);
        for (const ProductFile& f : files) {
            const QByteArray bytes = mirrorBytes(f);
            QString value = md5(bytes) + "::" + QString::number(bytes.size());
            if (f.packed)
                value += "::" + md5(f.content) + "::" + QString::number(f.content.size()) + "::" +
                         f.unpackedName;
            index.setValue(f.group + "/" + f.name, value);
            writeFile(versionDir + "/" + f.mirrorPath(), bytes);
        }
        for (const QString& path : deletePaths)
            index.setValue("delete/" + path, "");
    }
    makeTreeWorldReadable(mirrorRoot);
    return versionDir;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void makeTreeWorldReadable(const QString& dir)
{
    // The parents of a temporary directory must be passable too.
    QFileInfo info(dir);
    for (QDir d(info.absoluteFilePath()); !d.isRoot(); d.cdUp()) {
        QFile::setPermissions(d.absolutePath(), QFile::permissions(d.absolutePath()) |
                                                    QFile::ReadOther | QFile::ExeOther);
    }
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        QFileInfo fi(p);
        QFile::Permissions perms = QFile::permissions(p) | QFile::ReadOther | QFile::ReadGroup;
        if (fi.isDir())
            perms |= QFile::ExeOther | QFile::ExeGroup;
        QFile::setPermissions(p, perms);
    }
}
