#include "link/ClientSocket.h"

#include <QPointer>

#include <cstdint>

namespace vsp {

TClientSocket::TClientSocket(QObject* parent)
    : QObject(parent)
    , socket_(new TCustomWinSocket(this))
{
    // Read at event time, so handlers assigned later take effect.
    socket_->OnConnect = [this](TCustomWinSocket* s) {
        if (const auto h = OnConnect) h(s);
    };
    socket_->OnDisconnect = [this](TCustomWinSocket* s) {
        if (const auto h = OnDisconnect) h(s);
    };
    socket_->OnRead = [this](TCustomWinSocket* s) {
        if (const auto h = OnRead) h(s);
    };
    socket_->OnWrite = [this](TCustomWinSocket* s) {
        if (const auto h = OnWrite) h(s);
    };
    socket_->OnError = [this](TCustomWinSocket* s, int code) {
        if (const auto h = OnError) h(s, code);
    };
}

TClientSocket::~TClientSocket()
{
    // The owner is being torn down: nothing may reach it any more.
    socket_->ClearHandlers();
    socket_->Release();
}

void TClientSocket::Open()
{
    if (socket_->Connected()) return;
    socket_->Release();
    QPointer<TClientSocket> self(this);
    const std::uint64_t gen = socket_->gen_;
    if (const auto h = OnConnecting) h(socket_);
    if (!self || socket_->gen_ != gen || socket_->fd_ >= 0
        || socket_->state_ == TCustomWinSocket::State::Connecting)
        return; // the handler closed or reopened the endpoint itself
    socket_->watch_ = PeerWatch;
    socket_->StartConnect(Host, Port, ConnectTimeoutMs);
}

void TClientSocket::Close()
{
    socket_->Close();
}

bool TClientSocket::Connecting() const
{
    return socket_->state_ == TCustomWinSocket::State::Connecting;
}

bool TClientSocket::Active() const
{
    return socket_->state_ != TCustomWinSocket::State::Closed;
}

} // namespace vsp
