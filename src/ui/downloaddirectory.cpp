#include "downloaddirectory.h"

#include <QDir>
#include <QFile>

#include <cerrno>

#include <sys/stat.h>
#include <sys/types.h>

QString createDownloadDirectory(const QString& tempRoot)
{
    if (tempRoot.isEmpty())
        return QString();
    const QString root = QDir::cleanPath(QDir(tempRoot).absolutePath());
    // Missing parents are made as usual; only the last component has to be ours alone.
    if (!QDir().mkpath(root))
        return QString();
    const QString prefix =
        (root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/')) + "voxmere_temp_";
    for (int n = 0; n < 1000; ++n) {
        const QString candidate = prefix + QString::number(n);
        const QByteArray encoded = QFile::encodeName(candidate);
        // mkdir fails with EEXIST for anything already there, links included, and never
        // follows a link in the last component.
        if (::mkdir(encoded.constData(), 0700) != 0)
            continue;
        // The umask may only have taken bits away; make the mode exact.
        ::chmod(encoded.constData(), 0700);
        return candidate;
    }
    return QString();
}
