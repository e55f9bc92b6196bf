#pragma once

// A file of a fuzz target's own, in memory, with a name (/proc/self/fd/N) for the code that opens
// files by name: nothing is left on the disk however the fuzzer ends, and nothing waits for it.

#include <QByteArray>
#include <QString>

#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

class MemoryFile
{
public:
    MemoryFile() : fd(memfd_create("fuzz", MFD_CLOEXEC))
    {
        if (fd < 0)
            std::abort();
    }
    int handle() const { return fd; }
    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd); }
    // Empty, and written from its start.
    void clear() const
    {
        if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
            std::abort();
    }
    // Over the old content, which keeps its pages: a fresh file each run would cost more than
    // the run.
    void write(const QByteArray& data) const
    {
        if (pwrite(fd, data.constData(), size_t(data.size()), 0) != data.size() ||
            ftruncate(fd, data.size()) != 0)
            std::abort();
    }
    QByteArray read() const
    {
        QByteArray data(qsizetype(lseek(fd, 0, SEEK_END)), '\0');
        if (pread(fd, data.data(), size_t(data.size()), 0) != data.size())
            std::abort();
        return data;
    }

private:
    const int fd;
};
