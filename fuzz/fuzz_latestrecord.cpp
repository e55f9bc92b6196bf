// The latest-version record comes from any mirror and is read before its signature is checked.
// Whatever the reader accepts must write out and read back to the same record, and a record
// the reader refuses leaves nothing behind.

#include "latestrecord.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    LatestRecord record, again;
    if (!LatestRecord::parse(input, &record).isEmpty()) {
        if (!record.type.isEmpty() || record.version != 0 || record.expires.isValid())
            abort();
        return 0;
    }
    if (record.version < 0 || !record.expires.isValid() ||
        !LatestRecord::parse(record.toText(), &again).isEmpty() || again.type != record.type ||
        again.version != record.version || again.expires != record.expires ||
        again.toText() != record.toText() || latestSignatureMessage(record.type, input).isEmpty())
        abort();
    return 0;
}
