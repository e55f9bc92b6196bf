// The update server's answer is one UDP datagram from the network.

#include "updatechecker.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char*>(data), qsizetype(size));
    const UpdateServerAnswer answer = parseUpdateServerAnswer(datagram);
    for (const QByteArray* field :
         {&answer.clientVersion, &answer.serverVersion, &answer.appsVersion}) {
        if (field->contains(',') || field->contains('\0') || field->size() > datagram.size())
            std::abort();
    }
    // A later field is only filled when the earlier ones are.
    if ((answer.clientVersion.isEmpty() && !answer.serverVersion.isEmpty()) ||
        (answer.serverVersion.isEmpty() && !answer.appsVersion.isEmpty()))
        std::abort();
    return 0;
}
