#include "link/Connection.h"

#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vsp {

namespace {

void SetNoDelay(int fd)
{
    // The relay sends small blocks that must go out at once; a failure only costs latency.
    int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Keepalive as the watch asks: the kernel then ends an idle connection whose peer stopped
// answering, with ETIMEDOUT, which the read side reports like any other failure.
void WatchIdlePeer(int fd, const TPeerWatch& watch)
{
    if (watch.Probes <= 0 || watch.IdleSeconds <= 0) return;
    const int on = 1, idle = watch.IdleSeconds, interval = qMax(1, watch.ProbeSeconds),
              probes = watch.Probes;
    (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

int Pending(int fd)
{
    int n = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

// Closing a socket with unread received data makes Linux answer with a reset and throw
// away what we still had to send; discarding the unread bytes first keeps the close a FIN.
void DiscardUnread(int fd)
{
    for (int rounds = 0; rounds < 64; ++rounds) {
        const ssize_t n = ::recv(fd, nullptr, 1 << 20, MSG_TRUNC | MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        break;
    }
}

void CloseGracefully(int fd)
{
    DiscardUnread(fd);
    ::close(fd);
}

bool PeerOf(int fd, QString* address, int* port)
{
    sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
    const QHostAddress peer(reinterpret_cast<const sockaddr*>(&ss));
    bool ok = false;
    const QHostAddress v4(peer.toIPv4Address(&ok));
    *address = ok ? v4.toString() : peer.toString();
    *port = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    return true;
}

// Readiness goes straight to its handler: the notifier's own signals (two per event, the
// old signature and the new) cost more than the one-byte read they announce.
template <class Handler> class TReadiness final : public QSocketNotifier {
public:
    TReadiness(Type type, QObject* parent, Handler handler)
        : QSocketNotifier(type, parent)
        , handler_(std::move(handler))
    {
    }

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::SockAct && e->type() != QEvent::SockClose)
            return QSocketNotifier::event(e);
        handler_(); // may delete this notifier with its owner: nothing is touched after it
        return true;
    }

private:
    Handler handler_;
};

template <class Handler>
QSocketNotifier* Notifier(QSocketNotifier::Type type, QObject* parent, Handler handler)
{
    return new TReadiness<Handler>(type, parent, std::move(handler));
}

} // namespace

TCustomWinSocket::TCustomWinSocket(QObject* parent)
    : QObject(parent)
    , readNotifier_(Notifier(QSocketNotifier::Read, this, [this] { OnReadable(); }))
    , writeNotifier_(Notifier(QSocketNotifier::Write, this, [this] { OnWritable(); }))
    , connectTimer_(new QTimer(this))
    , peerTimer_(new QTimer(this))
{
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    connectTimer_->setSingleShot(true);
    connect(connectTimer_, &QTimer::timeout, this, [this] {
        if (state_ == State::Connecting) FinishConnect(WSAETIMEDOUT);
    });
    connect(peerTimer_, &QTimer::timeout, this, [this] { CheckPeer(); });
}

TCustomWinSocket::~TCustomWinSocket()
{
    ClearHandlers();
    Release();
}

void TCustomWinSocket::ClearHandlers()
{
    OnDisconnect = nullptr;
    OnRead = nullptr;
    OnWrite = nullptr;
    OnConnect = nullptr;
    OnError = nullptr;
}

bool TCustomWinSocket::Raise(TSocketNotifyEvent TCustomWinSocket::*event)
{
    QPointer<TCustomWinSocket> self(this);
    // A copy: the handler may reassign the member while it runs.
    if (const TSocketNotifyEvent handler = this->*event) handler(this);
    return !self.isNull();
}

void TCustomWinSocket::Release()
{
    ++gen_;
    state_ = State::Closed;
    readScheduled_ = inRead_ = parked_ = aheadFull_ = false;
    lastRead_ = ReadNone;
    aheadLen_ = aheadOff_ = 0;
    pendingError_ = 0;
    pendingEof_ = false;
    connectTimer_->stop();
    peerTimer_->stop();
    // A lookup still running finishes unheard (the generation no longer matches).
    // Before close: a notifier must never watch a descriptor number that may be reused.
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    if (fd_ >= 0) {
        if (peerDead_) {
            // Nobody is there to take a FIN or what is still queued: a reset ends it at
            // once, instead of the kernel retrying for minutes.
            const linger abort { 1, 0 };
            (void)::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        CloseGracefully(fd_);
        fd_ = -1;
    }
    peerDead_ = false;
}

void TCustomWinSocket::Close()
{
    const bool wasConnected = Connected();
    Release();
    if (wasConnected) Raise(&TCustomWinSocket::OnDisconnect);
}

QString TCustomWinSocket::RemoteAddress() const
{
    return remoteAddress_;
}
int TCustomWinSocket::RemotePort() const
{
    return remotePort_;
}

int TCustomWinSocket::ReceiveLength() const
{
    return Live() ? Pending(fd_) + aheadLen_ : 0;
}

int TCustomWinSocket::ReceiveBuf(void* buffer, int count)
{
    if (inRead_) {
        // taken into account when the handler returns
    } else if (parked_) {
        // Someone reads at last: the read event may come back.
        parked_ = false;
        if (aheadLen_ > 0)
            ScheduleRead(); // the kernel may hold nothing more to wake the notifier
        else if (Live())
            readNotifier_->setEnabled(true);
    }
    if (!Live() || pendingEof_ || pendingError_ || buffer == nullptr || count <= 0) return 0;
    // The receive that told data from a close comes first. A caller that asks for more than
    // it held gets the rest from the kernel in the same call, so "everything waiting" is
    // still one piece for a handler that takes ReceiveLength() bytes at once.
    int taken = 0;
    if (aheadLen_ > 0) {
        taken = std::min(count, aheadLen_);
        std::memcpy(buffer, ahead_ + aheadOff_, size_t(taken));
        aheadOff_ += taken;
        aheadLen_ -= taken;
        if (taken == count || aheadLen_ > 0 || !aheadFull_) {
            if (inRead_) lastRead_ = aheadLen_ > 0 || aheadFull_ ? ReadFull : ReadDrained;
            return taken;
        }
    }
    char* const into = static_cast<char*>(buffer) + taken;
    const int want = count - taken;
    for (;;) {
        const ssize_t n = ::recv(fd_, into, size_t(want), MSG_DONTWAIT);
        if (n > 0) {
            // A full buffer means more may wait; a short one that the socket is empty.
            if (inRead_) lastRead_ = n == want ? ReadFull : ReadDrained;
            return taken + int(n);
        }
        if (n == 0) {
            pendingEof_ = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (inRead_) lastRead_ = ReadDrained;
            return taken;
        } else {
            pendingError_ = WsaErrorFromErrno(errno);
        }
        // Reported by its own event once the current handler is done, never from in here.
        if (!inRead_) ScheduleRead();
        return taken;
    }
}

int TCustomWinSocket::SendBuf(const void* buffer, int count)
{
    if (state_ == State::Broken) return -1; // its error was raised when it broke
    if (fd_ < 0 || state_ != State::Connected) {
        RaiseError(WSAENOTCONN);
        return -1;
    }
    if (pendingError_) {
        // A receive found the connection broken; the caller must learn it now.
        const int code = pendingError_;
        pendingError_ = 0;
        RaiseError(code);
        return -1;
    }
    if (count <= 0) return 0;
    for (;;) {
        const ssize_t n = ::send(fd_, buffer, size_t(count), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            if (n > 0 && watch_.BusyLimitMs > 0 && !peerTimer_->isActive())
                peerTimer_->start(qMax(1, watch_.CheckMs));
            return int(n);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            writeNotifier_->setEnabled(true);
            return -1;
        }
        RaiseError(WsaErrorFromErrno(errno));
        return -1;
    }
}

int TCustomWinSocket::UnacknowledgedBytes() const
{
    int n = 0;
    if (fd_ < 0 || state_ == State::Connecting || ::ioctl(fd_, SIOCOUTQ, &n) != 0) return 0;
    return qMax(0, n);
}

// With bytes in flight the kernel sends no keepalive: a peer that acknowledges nothing for
// the limit is gone. A live peer that reads nothing keeps its window at zero and answers the
// window probes, so nothing it was sent stays unacknowledged.
void TCustomWinSocket::CheckPeer()
{
    if (!Live()) {
        peerTimer_->stop();
        return;
    }
    tcp_info info {};
    socklen_t len = sizeof info;
    if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) {
        peerTimer_->stop();
        return;
    }
    if (info.tcpi_unacked > 0 && info.tcpi_last_ack_recv >= unsigned(watch_.BusyLimitMs)) {
        peerTimer_->stop();
        peerDead_ = true;
        RaiseError(WSAETIMEDOUT);
        return;
    }
    if (UnacknowledgedBytes() == 0) peerTimer_->stop(); // all taken: idle, keepalive watches
}

void TCustomWinSocket::RaiseError(int code)
{
    if (Connected()) {
        // Broken until the owner closes it: a level-triggered notifier on a broken socket
        // would only spin, and a second error event would tell nothing new.
        state_ = State::Broken;
        readNotifier_->setEnabled(false);
        writeNotifier_->setEnabled(false);
        peerTimer_->stop();
    }
    if (const TSocketErrorEvent handler = OnError) handler(this, code);
}

void TCustomWinSocket::ScheduleRead()
{
    if (readScheduled_) return;
    readScheduled_ = true;
    const std::uint64_t gen = gen_;
    QMetaObject::invokeMethod(
        this,
        [this, gen] {
            if (gen != gen_) return; // the descriptor it was meant for is gone
            readScheduled_ = false;
            if (inRead_) return; // a nested event loop inside the read handler: it finishes the job
            Service();
        },
        Qt::QueuedConnection);
}

void TCustomWinSocket::OnReadable()
{
    if (state_ == State::Connecting) {
        readNotifier_->setEnabled(false);
        OnConnectProgress();
        return;
    }
    if (inRead_) {
        // A nested event loop inside the read handler: the level-triggered notifier would
        // only spin there. The handler's own turn re-arms it when it returns.
        readNotifier_->setEnabled(false);
        return;
    }
    Service();
}

void TCustomWinSocket::OnWritable()
{
    writeNotifier_->setEnabled(false);
    if (state_ == State::Connecting) {
        OnConnectProgress();
        return;
    }
    if (Live()) Raise(&TCustomWinSocket::OnWrite);
}

// What the receive side has to say next: a pending failure, the peer's close, or data.
// The read notifier stays armed while the handler runs and after it: switching it off and
// on for every event costs the event loop a wake-up of its own each time. Being level-
// triggered, it brings the loop back here for whatever is left.
void TCustomWinSocket::Service()
{
    if (!Live()) return;
    if (pendingError_) {
        const int code = pendingError_;
        pendingError_ = 0;
        RaiseError(code);
        return;
    }
    if (pendingEof_) {
        Close();
        return;
    }
    // Data, the peer's close, or a failure: the first receive tells, so that a close or a
    // reset is never raised as a read event of nothing. What it got is the handler's first
    // ReceiveBuf, so no call is spent on looking alone.
    if (aheadLen_ == 0) {
        ssize_t n;
        do
            n = ::recv(fd_, ahead_, sizeof ahead_, MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n == 0) {
            Close(); // the peer closed, and everything it sent has been delivered
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) RaiseError(WsaErrorFromErrno(errno));
            return;
        }
        aheadOff_ = 0;
        aheadLen_ = int(n);
        aheadFull_ = n == ssize_t(sizeof ahead_);
    }

    const std::uint64_t gen = gen_;
    // A handler that reads in small blocks gets a few events in a row, as long as each one
    // filled its buffer, before the event loop has its turn: one loop turn per 512 bytes
    // would cost more than the bytes. A short read says the socket is empty, so no extra
    // call is spent asking.
    constexpr int ReadsPerTurn = 16;
    for (int turn = 1; turn <= ReadsPerTurn; ++turn) {
        inRead_ = true;
        lastRead_ = ReadNone;
        if (!Raise(&TCustomWinSocket::OnRead)) return;
        inRead_ = false;
        if (gen != gen_ || !Live()) return; // closed, reopened or failed inside the handler
        if (pendingError_ || pendingEof_) {
            Service(); // reports it; no read event is raised from here
            return;
        }
        if (lastRead_ == ReadNone) {
            // A handler that takes what ReceiveLength() says has emptied the socket with a
            // read that looked full: nothing waits, and the armed notifier brings the next
            // bytes.
            if (aheadLen_ == 0 && Pending(fd_) <= 0) break;
            // It took nothing while bytes wait: calling it again would spin. The event
            // comes back once somebody calls ReceiveBuf.
            parked_ = true;
            readNotifier_->setEnabled(false);
            return;
        }
        if (lastRead_ == ReadDrained) break;
    }
    readNotifier_->setEnabled(true); // a no-op unless a nested event loop switched it off
    if (aheadLen_ > 0) ScheduleRead(); // taken in part: the kernel may not wake us for it
}

void TCustomWinSocket::AttachAccepted(int fd)
{
    fd_ = fd;
    state_ = State::Connecting;
    readNotifier_->setSocket(fd);
    writeNotifier_->setSocket(fd);
}

void TCustomWinSocket::StartConnect(const QString& host, int port, int timeoutMs)
{
    state_ = State::Connecting;
    if (timeoutMs > 0) connectTimer_->start(timeoutMs);
    if (port < 0 || port > 65535) {
        FailConnectLater(WSAEINVAL);
        return;
    }
    if (port == 0) {
        FailConnectLater(WSAEADDRNOTAVAIL); // what Windows Sockets says to a remote port 0
        return;
    }
    const QString name = host.trimmed();
    QHostAddress literal;
    if (literal.setAddress(name)) {
        ConnectTo(literal, port);
        return;
    }
    // The answer comes back through an object of its own that lives until it arrives:
    // Qt 6.4 leaks the callback of a lookup that is aborted or whose receiver is destroyed.
    // A socket closed or reopened meanwhile just ignores it.
    auto* relay = new QObject;
    const QPointer<TCustomWinSocket> self(this);
    const std::uint64_t gen = gen_;
    QHostInfo::lookupHost(name, relay, [relay, self, gen, port](const QHostInfo& info) {
        relay->deleteLater();
        if (!self || gen != self->gen_ || self->state_ != State::Connecting) return;
        QHostAddress chosen;
        if (info.error() == QHostInfo::NoError) {
            for (const QHostAddress& a : info.addresses()) {
                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                    chosen = a;
                    break;
                }
                if (chosen.isNull() && a.protocol() == QAbstractSocket::IPv6Protocol) chosen = a;
            }
        }
        if (chosen.isNull())
            self->FinishConnect(WSAHOST_NOT_FOUND);
        else
            self->ConnectTo(chosen, port);
    });
}

void TCustomWinSocket::ConnectTo(const QHostAddress& address, int port)
{
    sockaddr_storage ss {};
    socklen_t len = 0;
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (v4) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(quint16(port));
        sin->sin_addr.s_addr = htonl(ip4);
        len = sizeof(sockaddr_in);
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(quint16(port));
        const Q_IPV6ADDR ip6 = address.toIPv6Address();
        std::memcpy(&sin6->sin6_addr, ip6.c, sizeof ip6.c);
        len = sizeof(sockaddr_in6);
    }
    const int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailConnectLater(WsaErrorFromErrno(errno));
        return;
    }
    fd_ = fd;
    readNotifier_->setSocket(fd);
    writeNotifier_->setSocket(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0 || errno == EINPROGRESS
        || errno == EINTR) {
        // A failed attempt may show only as an error/hang-up condition, which some event
        // dispatchers report to read notifiers alone: watch both.
        readNotifier_->setEnabled(true);
        writeNotifier_->setEnabled(true);
        return;
    }
    FailConnectLater(WsaErrorFromErrno(errno));
}

// The outcome of an attempt always arrives from the event loop, as it does when the
// network answers, so Open() never runs a handler other than the connecting one.
void TCustomWinSocket::FailConnectLater(int code)
{
    const std::uint64_t gen = gen_;
    QMetaObject::invokeMethod(
        this,
        [this, gen, code] {
            if (gen == gen_ && state_ == State::Connecting) FinishConnect(code);
        },
        Qt::QueuedConnection);
}

void TCustomWinSocket::OnConnectProgress()
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
        FinishConnect(WsaErrorFromErrno(err));
        return;
    }
    sockaddr_storage ss {};
    socklen_t sslen = sizeof ss;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &sslen) == 0) {
        FinishConnect(0);
        return;
    }
    // Not connected yet and no error recorded: a read of nothing tells the real story.
    char probe;
    if (::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno != EAGAIN
        && errno != EWOULDBLOCK && errno != EINTR && errno != ENOTCONN) {
        FinishConnect(WsaErrorFromErrno(errno));
        return;
    }
    readNotifier_->setEnabled(true);
    writeNotifier_->setEnabled(true);
}

void TCustomWinSocket::FinishConnect(int code)
{
    connectTimer_->stop();
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    if (code != 0) {
        ++gen_; // a lookup still running (timed out) must not connect later
        // Give up the descriptor now, or the kernel would keep trying to connect.
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        state_ = State::Failed;
        RaiseError(code);
        return;
    }

    state_ = State::Connected;
    SetNoDelay(fd_);
    WatchIdlePeer(fd_, watch_);
    if (!PeerOf(fd_, &remoteAddress_, &remotePort_)) {
        remoteAddress_.clear();
        remotePort_ = 0;
    }
    const std::uint64_t gen = gen_;
    if (!Raise(&TCustomWinSocket::OnConnect) || gen != gen_ || !Live()) return;
    // Just established, so writable: the owner may start sending.
    if (!Raise(&TCustomWinSocket::OnWrite) || gen != gen_ || !Live()) return;
    if (!readScheduled_ && !parked_) readNotifier_->setEnabled(true);
}

} // namespace vsp
