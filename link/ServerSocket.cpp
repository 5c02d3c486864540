#include "link/ServerSocket.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vsp {

namespace {

// How long the listening endpoint rests when accept runs out of descriptors or memory:
// the pending connection keeps the socket readable, so retrying at once would spin.
constexpr int AcceptRetryMs = 200;

} // namespace

TServerSocket::TServerSocket(QObject* parent)
    : QObject(parent)
    , acceptNotifier_(new QSocketNotifier(QSocketNotifier::Read, this))
    , acceptRetry_(new QTimer(this))
{
    acceptNotifier_->setEnabled(false);
    connect(acceptNotifier_, &QSocketNotifier::activated, this, [this] { OnAcceptable(); });
    acceptRetry_->setSingleShot(true);
    connect(acceptRetry_, &QTimer::timeout, this, [this] {
        if (listenFd_ >= 0) acceptNotifier_->setEnabled(true);
    });
}

TServerSocket::~TServerSocket()
{
    OnClientConnect = nullptr;
    OnClientDisconnect = nullptr;
    OnClientRead = nullptr;
    OnClientWrite = nullptr;
    OnClientError = nullptr;
    Close();
}

int TServerSocket::Open()
{
    if (listenFd_ >= 0) return 0;
    if (Port < 0 || Port > 65535) return WSAEINVAL;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return WsaErrorFromErrno(errno);
    int one = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(quint16(Port));
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0
        || ::listen(fd, SOMAXCONN) != 0) {
        const int code = WsaErrorFromErrno(errno);
        ::close(fd);
        return code;
    }
    listenFd_ = fd;
    acceptNotifier_->setSocket(fd);
    acceptNotifier_->setEnabled(true);
    return 0;
}

void TServerSocket::Close()
{
    acceptRetry_->stop();
    acceptNotifier_->setEnabled(false);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    std::vector<TCustomWinSocket*> closing;
    closing.swap(connections_);
    for (TCustomWinSocket* c : closing) {
        c->ClearHandlers();
        c->Release();
        c->deleteLater(); // one of its events may be on the stack
    }
}

int TServerSocket::LocalPort() const
{
    sockaddr_in sin {};
    socklen_t len = sizeof sin;
    if (listenFd_ < 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
        return 0;
    return ntohs(sin.sin_port);
}

void TServerSocket::Route(TCustomWinSocket* socket)
{
    socket->OnConnect = [this](TCustomWinSocket* s) {
        if (const auto h = OnClientConnect) h(s);
    };
    socket->OnRead = [this](TCustomWinSocket* s) {
        if (const auto h = OnClientRead) h(s);
    };
    socket->OnWrite = [this](TCustomWinSocket* s) {
        if (const auto h = OnClientWrite) h(s);
    };
    socket->OnDisconnect = [this](TCustomWinSocket* s) {
        Forget(s); // gone from Connections by the time the handler runs
        if (const auto h = OnClientDisconnect) h(s);
    };
    socket->OnError = [this](TCustomWinSocket* s, int code) {
        QPointer<TServerSocket> self(this);
        if (const auto h = OnClientError) h(s, code);
        if (!self) return;
        // Nobody closes a failed accepted connection (the owner has already dropped it),
        // and a disconnect now would undo what the handler made of the error: release it
        // quietly.
        if (std::find(connections_.begin(), connections_.end(), s) != connections_.end()) {
            Forget(s);
            s->Release();
        }
    };
}

void TServerSocket::Forget(TCustomWinSocket* socket)
{
    connections_.erase(
        std::remove(connections_.begin(), connections_.end(), socket), connections_.end());
    socket->ClearHandlers();
    socket->deleteLater(); // one of its events is on the stack
}

void TServerSocket::OnAcceptable()
{
    QPointer<TServerSocket> self(this);
    const int listenFd = listenFd_;
    while (self && listenFd_ >= 0 && listenFd_ == listenFd) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue; // that peer gave up before we took it; others may wait
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the queue stays readable, so rest a while.
                acceptNotifier_->setEnabled(false);
                acceptRetry_->start(AcceptRetryMs);
            }
            return;
        }
        auto* conn = new TCustomWinSocket(this);
        Route(conn);
        conn->watch_ = PeerWatch;
        conn->AttachAccepted(fd);
        connections_.push_back(conn);
        conn->FinishConnect(0); // the accept event, a write event, then reading starts
    }
}

} // namespace vsp
