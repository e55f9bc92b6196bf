// The product index comes from any mirror. The reader takes it through QSettings from a file, as
// the updater does: each input is written to a file of its own (QSettings caches by name).

#include "safepath.h"
#include "taskspecification.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static quint64 count = 0;
    const QString path =
        QDir::tempPath() +
        QStringLiteral("/fuzz_productindex_%1_%2.ini").arg(::getpid()).arg(++count);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }

    TaskSpecification list;
    QStringList deleteKeys;
    bool readable = false;
    {
        QSettings settings(path, QSettings::IniFormat);
        readable = list.initializeByProductIni(&settings) &&
                   TaskSpecification::readDeleteKeys(&settings, &deleteKeys);
    }
    QFile::remove(path);

    // What the reader accepts must hold what the updater relies on.
    if (readable) {
        quint64 total = 0;
        for (int i = 0; i < list.getSize(); ++i) {
            FileSpecification entry;
            if (!list.get(i, &entry))
                std::abort();
            if (!isSafeRelativePath(entry.mirrorPath()) ||
                !isSafeRelativePath(entry.installedPath()))
                std::abort();
            total += entry.size;
        }
        if (total != list.getTotalSize())
            std::abort();
        for (const QString& key : std::as_const(deleteKeys)) {
            if (!TaskSpecification::isSafeDeleteKey(key))
                std::abort();
        }
    }
    return 0;
}
