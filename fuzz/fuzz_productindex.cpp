// The product index comes from any mirror. Whatever the updater's reader accepts, QSettings (the
// INI reader that wrote it for the publisher) must read alike, and the entries taken from it must
// hold what the updater relies on.

#include "safepath.h"
#include "settingsindex.h"
#include "taskspecification.h"

#include <QByteArray>
#include <QDir>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    const QMap<QString, QString> ours = readByReader(text);
    if (!ours.contains(QStringLiteral("<refused>"))) {
        // QSettings caches files by name: each input gets one of its own.
        static quint64 count = 0;
        const QString path =
            QDir::tempPath() +
            QStringLiteral("/fuzz_productindex_%1_%2.ini").arg(::getpid()).arg(++count);
        if (readBySettings(text, path) != ours)
            std::abort();
    }

    TaskSpecification list;
    QStringList deleteKeys;
    const QStringList metadata = {QStringLiteral("t.ini")};
    if (!list.readProductIndex(text, metadata, false, &deleteKeys).isEmpty()) {
        if (list.getSize() != 0 || list.getTotalSize() != 0)
            std::abort();
        return 0;
    }
    quint64 total = 0;
    for (int i = 0; i < list.getSize(); ++i) {
        FileSpecification entry;
        if (!list.get(i, &entry) || !isSafeRelativePath(entry.mirrorPath()) ||
            !isSafeRelativePath(entry.installedPath()) || entry.md5.size() != 32 ||
            entry.size > TaskSpecification::maximumLength ||
            entry.mirrorPath().startsWith(QStringLiteral("t.ini/")))
            std::abort();
        total += entry.size;
    }
    if (total != list.getTotalSize() || total > TaskSpecification::maximumLength)
        std::abort();
    for (const QString& key : std::as_const(deleteKeys)) {
        if (!TaskSpecification::isSafeDeleteKey(key))
            std::abort();
    }
    return 0;
}
