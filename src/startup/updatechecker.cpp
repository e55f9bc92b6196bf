#include "updatechecker.h"

#include <QList>

#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{

struct SocketCloser {
    int fd;
    ~SocketCloser() { ::close(fd); }
};

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

} // namespace

UpdateServerAnswer parseUpdateServerAnswer(const QByteArray& datagram)
{
    UpdateServerAnswer answer;
    const int end = datagram.indexOf('\0');
    const QList<QByteArray> fields = (end < 0 ? datagram : datagram.left(end)).split(',');
    int index = 0;
    for (const QByteArray& field : fields) {
        if (field.isEmpty())
            continue;
        if (index == 0)
            answer.clientVersion = field;
        else if (index == 1)
            answer.serverVersion = field;
        else if (index == 2)
            answer.appsVersion = field;
        ++index;
    }
    return answer;
}

UpdateChecker::UpdateChecker(const QByteArray& host, quint16 port) : host(host), port(port) {}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return false;
    const SocketCloser closer{fd};

    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    std::unique_ptr<addrinfo, AddrInfoDeleter> resolved(found);

    sockaddr_in server;
    std::memcpy(&server, resolved->ai_addr, sizeof(server));
    server.sin_port = htons(port);
    resolved.reset();

    // A connected socket takes datagrams from the server's address and port only: an answer
    // from anywhere else that arrives first is not the server's.
    const char request[2] = {'2', '\0'};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0 ||
        ::send(fd, request, sizeof(request), 0) < 1)
        return false;

    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

    char reply[32];
    const ssize_t received = ::recv(fd, reply, sizeof(reply) - 1, 0);
    if (received < 0)
        return false;

    const UpdateServerAnswer answer = parseUpdateServerAnswer(QByteArray(reply, int(received)));
    if (!answer.clientVersion.isEmpty())
        clientVersion = answer.clientVersion;
    if (!answer.serverVersion.isEmpty())
        serverVersion = answer.serverVersion;
    if (!answer.appsVersion.isEmpty())
        appsVersion = answer.appsVersion;
    return true;
}
