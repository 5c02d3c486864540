#include "tests/support/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vsptest {

namespace {
sockaddr_in Address(uint32_t host, int port)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(uint16_t(port));
    return a;
}
} // namespace

UdpPeer::UdpPeer()
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
}

UdpPeer::~UdpPeer()
{
    if (fd_ >= 0) ::close(fd_);
}

bool UdpPeer::Bind(int port)
{
    const sockaddr_in a = Address(INADDR_ANY, port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool UdpPeer::SendTo(int port, const QByteArray& bytes)
{
    const sockaddr_in a = Address(INADDR_LOOPBACK, port);
    return ::sendto(fd_, bytes.constData(), size_t(bytes.size()), 0,
               reinterpret_cast<const sockaddr*>(&a), sizeof a)
        == bytes.size();
}

std::optional<UdpPeer::Datagram> UdpPeer::Receive(int timeoutMs)
{
    pollfd p { fd_, POLLIN, 0 };
    if (::poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    char buffer[2048];
    sockaddr_in from {};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(
        fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return std::nullopt;
    return Datagram { QByteArray(buffer, int(n)), ntohs(from.sin_port) };
}

} // namespace vsptest
