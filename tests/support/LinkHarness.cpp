#include "tests/support/LinkHarness.h"

#include "link/Sockets.h"

#include <QTimer>

namespace vsptest {

using vsp::TCustomWinSocket;

LinkHarness::LinkHarness(const vsp::TLinkTimings& timings)
    : link(std::make_unique<vsp::TDataLink>(port, *this, timings))
{
    // The endpoints' events reach the link as the window's handlers hand them on.
    vsp::TDataLink& l = *link;
    vsp::TClientSocket* client = l.VSPClientSocket();
    client->OnConnecting
        = [this, &l](TCustomWinSocket* s) { l.OnVSPClientSocketConnecting(options, s); };
    client->OnConnect = [this, &l](TCustomWinSocket* s) { l.OnVSPClientSocketConnect(options, s); };
    client->OnDisconnect
        = [this, &l](TCustomWinSocket* s) { l.OnVSPClientSocketDisconnect(options, s); };
    client->OnRead = [this, &l](TCustomWinSocket* s) { l.OnVSPClientSocketRead(options, s); };
    client->OnWrite = [&l](TCustomWinSocket*) { l.OnVSPClientSocketWrite(); };
    client->OnError
        = [this, &l](TCustomWinSocket* s, int e) { l.OnVSPClientSocketError(options, s, e); };
    vsp::TServerSocket* server = l.VSPServerSocket();
    server->OnClientConnect
        = [this, &l](TCustomWinSocket* s) { l.OnVSPServerSocketAccept(options, s); };
    server->OnClientDisconnect
        = [this, &l](TCustomWinSocket* s) { l.OnVSPServerSocketClientDisconnect(options, s); };
    server->OnClientRead = client->OnRead;
    server->OnClientWrite = client->OnWrite;
    server->OnClientError
        = [this, &l](TCustomWinSocket* s, int e) { l.OnVSPServerSocketClientError(options, s, e); };
    port.OnRxChar = [this, &l](int32_t) { l.OnVSPortRxChar(options); };
    port.OnWriteRoom = [this, &l] { l.ResumeHeldOutput(options); };
}

LinkHarness::~LinkHarness()
{
    port.OnRxChar = nullptr;
    port.OnWriteRoom = nullptr;
    link->Shutdown();
}

bool LinkHarness::RequestPing(uint32_t successCode, uint32_t, bool)
{
    if (pinging_) return false;
    pinging_ = true;
    const uint32_t code = successCode;
    // The result comes back later, from the event loop, as the worker's does.
    QTimer::singleShot(0, link->VSPClientSocket(), [this, code] {
        pinging_ = false;
        link->PingResult(options, code);
    });
    return true;
}

void LinkHarness::OpenClient(int tcpPort)
{
    link->VSPClientSocket()->Host = QStringLiteral("127.0.0.1");
    link->VSPClientSocket()->Port = tcpPort;
    options.Address = QStringLiteral("127.0.0.1");
    link->PortCreating();
    port.CreatePort(QStringLiteral("COM2"));
    link->PortCreated();
    port.Open();
    link->PortOpened(options);
}

void LinkHarness::Ticks(int n)
{
    for (; n > 0; --n)
        link->TimerStep(options);
}

} // namespace vsptest
