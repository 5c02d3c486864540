#pragma once
// A plain UDP socket for tests that play a module or a neighbour on loopback.

#include <QByteArray>
#include <optional>

namespace vsptest {

class UdpPeer {
public:
    UdpPeer();
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // Binds 0.0.0.0:port (0: any port).
    bool Bind(int port);
    // Sends to 127.0.0.1:port; true when the whole datagram went.
    bool SendTo(int port, const QByteArray& bytes);

    struct Datagram {
        QByteArray Bytes;
        int FromPort = 0;
    };
    // The next datagram, or nothing after timeoutMs.
    std::optional<Datagram> Receive(int timeoutMs);

private:
    int fd_ = -1;
};

} // namespace vsptest
