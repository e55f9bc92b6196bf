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
