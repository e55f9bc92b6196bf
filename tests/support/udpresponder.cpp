#include "udpresponder.h"

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

UdpResponder::UdpResponder()
{
    fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return;
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        fd = -1;
        return;
    }
    boundPort = ntohs(address.sin_port);
    worker = std::thread([this] { run(); });
}

UdpResponder::~UdpResponder()
{
    stopping = true;
    if (worker.joinable())
        worker.join();
    if (fd >= 0)
        ::close(fd);
}

void UdpResponder::setReply(const QByteArray& reply)
{
    std::lock_guard<std::mutex> guard(lock);
    this->reply = reply;
}

void UdpResponder::setSilent(bool silent)
{
    std::lock_guard<std::mutex> guard(lock);
    this->silent = silent;
}

QList<QByteArray> UdpResponder::requests() const
{
    std::lock_guard<std::mutex> guard(lock);
    return received;
}

int UdpResponder::requestCount() const
{
    std::lock_guard<std::mutex> guard(lock);
    return received.size();
}

void UdpResponder::run()
{
    while (!stopping) {
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, 20) <= 0)
            continue;
        char buffer[2048];
        sockaddr_in sender;
        socklen_t senderLength = sizeof(sender);
        const ssize_t n = ::recvfrom(fd, buffer, sizeof(buffer), 0,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n < 0)
            continue;
        QByteArray answer;
        bool answerIt = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            received.append(QByteArray(buffer, int(n)));
            answer = reply;
            answerIt = !silent;
        }
        if (answerIt)
            ::sendto(fd, answer.constData(), size_t(answer.size()), 0,
                     reinterpret_cast<sockaddr*>(&sender), senderLength);
    }
}
