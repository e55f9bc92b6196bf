#pragma once

#include "producttree.h"

#include <QUrl>

// Four files fetched in this order by a single stream; c.bin is the big one.
inline ProductTree fourFiles()
{
    ProductTree p;
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"}) {
        const int seed = name[0] - 'a' + 1;
        p.add("files", name, ProductTree::randomBytes(seed == 3 ? 300000 : 20000, seed));
    }
    return p;
}

// Versions 1 and 2 of a small client: plain, nested, packed and executable files; version 1
// also has an empty packed file and notes that version 2 deletes.
inline ProductTree clientProduct(int version)
{
    ProductTree p;
    p.add("files", "readme.txt",
          QByteArray("Voxmere client, version ") + QByteArray::number(version));
    p.add("files", "data/maps/town.map", ProductTree::randomBytes(30000, 10 + version));
    p.addPacked("files", "data/levels.pak.gz", "data/levels.pak",
                ProductTree::randomBytes(150000, 20 + version).repeated(2));
    p.add("files", "vm3client_linux_x86",
          "#!/bin/sh\necho client " + QByteArray::number(version) + "\n");
    p.add("files", "lib/libvoice.so", ProductTree::randomBytes(5000, 30 + version));
    if (version == 1) {
        p.addPacked("files", "data/empty.pak.gz", "data/empty.pak", QByteArray());
        p.add("files", "old_notes.txt", "notes of version 1");
    } else {
        p.deletePaths << "old_notes.txt";
    }
    return p;
}

inline QStringList mirrorPaths(const ProductTree& p)
{
    QStringList paths;
    for (const ProductFile& f : p.files)
        paths << f.mirrorPath();
    return paths;
}

// The requested paths that contain `marker`, each without what precedes it and the marker itself,
// percent-decoded, in the order requested.
inline QStringList pathsBelow(const QStringList& requested, const QString& marker)
{
    QStringList result;
    for (const QString& path : requested) {
        const int at = path.indexOf(marker);
        if (at >= 0)
            result << QUrl::fromPercentEncoding(path.mid(at + marker.size()).toUtf8());
    }
    return result;
}
