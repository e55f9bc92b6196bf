// Runs one operation of the checksum, packing or index code, so that a script can time it
// beside the command-line tools on the same files.
#include "filemd5.h"
#include "taskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);

    if (command == "md5" && args.size() == 2) {
        const QString sum = getFileMD5Ex(args[1]);
        if (sum.isNull())
            return 1;
        std::printf("%s\n", qPrintable(sum));
        return 0;
    }
    if (command == "unzip" && args.size() == 3)
        return unzipFile(args[1], args[2]) ? 0 : 1;
    if (command == "zip" && args.size() == 3)
        return zipFile(args[1], args[2]) ? 0 : 1;
    if (command == "index" && args.size() == 2) {
        QElapsedTimer timer;
        timer.start();
        TaskSpecification fileList;
        const bool ok = fileList.initializeByProductIni(args[1]);
        const qint64 ms = timer.elapsed();
        // The peak of the whole process, the index's text included.
        QFile status(QStringLiteral("/proc/self/status"));
        status.open(QIODevice::ReadOnly);
        QByteArray peak;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                peak = line.simplified();
        }
        std::printf("%s %d entries, %llu bytes in all, read in %lld ms, %s\n",
                    ok ? "ok" : "refused", fileList.getSize(),
                    static_cast<unsigned long long>(fileList.getTotalSize()),
                    static_cast<long long>(ms), peak.constData());
        return ok ? 0 : 1;
    }
    std::fprintf(stderr, "usage: bench_util md5 FILE | unzip DEST SOURCE.gz | zip DEST.gz SOURCE | "
                         "index INDEX.ini\n");
    return 2;
}
