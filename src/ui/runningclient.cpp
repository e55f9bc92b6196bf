#include "runningclient.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <climits>

#include <unistd.h>

namespace
{

QByteArray exeOf(const QString& pid)
{
    const QByteArray link = QFile::encodeName(QStringLiteral("/proc/") + pid + "/exe");
    char target[PATH_MAX + 1];
    const ssize_t n = ::readlink(link.constData(), target, PATH_MAX);
    if (n <= 0)
        return QByteArray();
    QByteArray path(target, int(n));
    // The kernel marks an executable that was deleted or replaced while it runs.
    const QByteArray deleted(" (deleted)");
    if (path.endsWith(deleted))
        path.chop(deleted.size());
    return path;
}

} // namespace

bool isExecutableRunning(const QString& executablePath)
{
    const QFileInfo info(executablePath);
    const QString canonical = info.canonicalFilePath();
    QList<QByteArray> wanted{QFile::encodeName(QDir::cleanPath(info.absoluteFilePath()))};
    if (!canonical.isEmpty())
        wanted << QFile::encodeName(canonical);

    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        const QByteArray exe = exeOf(pid);
        if (!exe.isEmpty() && wanted.contains(exe))
            return true;
    }
    return false;
}
