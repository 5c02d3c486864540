#include "vport/PtyChannel.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace vsp {

namespace {

// A program's call waits for the answer, so a request is served at once; these bound what
// a peer that connects and says nothing (or too many at once) can hold.
constexpr int PeerLimit = 8;
constexpr int PeerTimeoutMs = 1000;

QString SysError(const char* what)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

bool PtsIndex(const QByteArray& slavePath, unsigned* index)
{
    static const QByteArray prefix("/dev/pts/");
    if (!slavePath.startsWith(prefix)) return false;
    bool ok = false;
    const unsigned n = slavePath.mid(prefix.size()).toUInt(&ok);
    if (!ok) return false;
    *index = n;
    return true;
}

struct TPtyChannel::Impl {
    struct Peer {
        int fd = -1;
        QSocketNotifier* readable = nullptr;
        QTimer* deadline = nullptr;
        char text[VSP_CHANNEL_LINE_MAX] = {};
        size_t got = 0;
    };

    TPtyChannel* q;
    int listenFd = -1;
    QByteArray path;
    QSocketNotifier* acceptable = nullptr;
    std::vector<std::unique_ptr<Peer>> peers;
    uint64_t generation = 0;

    void Accept();
    void Serve(Peer* peer);
    void Drop(Peer* peer);
};

void TPtyChannel::Impl::Accept()
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return; // EAGAIN, or a peer that gave up before we took it
        }
        ucred cred {};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()
            || int(peers.size()) >= PeerLimit) {
            ::close(fd);
            continue;
        }
        auto peer = std::make_unique<Peer>();
        Peer* p = peer.get();
        p->fd = fd;
        p->readable = new QSocketNotifier(fd, QSocketNotifier::Read, q);
        p->deadline = new QTimer(q);
        p->deadline->setSingleShot(true);
        QObject::connect(p->readable, &QSocketNotifier::activated, q, [this, p] { Serve(p); });
        QObject::connect(p->deadline, &QTimer::timeout, q, [this, p] { Drop(p); });
        p->deadline->start(PeerTimeoutMs);
        peers.push_back(std::move(peer));
    }
}

void TPtyChannel::Impl::Serve(Peer* p)
{
    const ssize_t n = ::recv(p->fd, p->text + p->got, sizeof p->text - p->got, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        Drop(p);
        return;
    }
    p->got += size_t(n);
    const char* end = static_cast<const char*>(std::memchr(p->text, '\n', p->got));
    if (!end) {
        if (p->got == sizeof p->text) Drop(p); // no request is this long
        return;
    }
    vsp_channel_request request {};
    int lines = -1;
    const uint64_t before = generation;
    if (vsp_channel_parse_request(p->text, size_t(end - p->text) + 1, &request) && q->OnRequest) {
        QPointer<TPtyChannel> alive(q);
        lines = q->OnRequest(request);
        if (!alive || generation != before) return; // closed from the handler: peer gone too
    }
    char answer[VSP_CHANNEL_LINE_MAX];
    const size_t size = vsp_channel_format_answer(lines, answer, sizeof answer);
    // An empty socket always has room for one short line.
    [[maybe_unused]] const ssize_t sent = ::send(p->fd, answer, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    Drop(p);
}

void TPtyChannel::Impl::Drop(Peer* p)
{
    const auto it = std::find_if(
        peers.begin(), peers.end(), [p](const std::unique_ptr<Peer>& x) { return x.get() == p; });
    if (it == peers.end()) return;
    // Out of the list first; the notifier and timer go from the event loop, since this may
    // run inside one of their own signals.
    std::unique_ptr<Peer> peer = std::move(*it);
    peers.erase(it);
    peer->readable->setEnabled(false);
    peer->deadline->stop();
    peer->readable->deleteLater();
    peer->deadline->deleteLater();
    ::close(peer->fd);
}

TPtyChannel::TPtyChannel(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
    d->q = this;
}

TPtyChannel::~TPtyChannel()
{
    Close();
}

bool TPtyChannel::Listen(const QByteArray& folder, unsigned ptsIndex, QString& error)
{
    Close();
    const QByteArray path
        = folder + "/" VSP_CHANNEL_PREFIX + QByteArray::number(ptsIndex) + VSP_CHANNEL_SUFFIX;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        error = tr("Control channel path %1 is too long").arg(QString::fromLocal8Bit(path));
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    // Our own socket left by a port manager that died with this pty number: its pty is
    // gone (the number is ours now), so nobody can be listening there. Anything else at
    // the path is not ours to remove.
    struct stat st { };
    if (::lstat(path.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
            error = tr("%1 is in the way of the control channel").arg(QString::fromLocal8Bit(path));
            return false;
        }
        ::unlink(path.constData());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = SysError("socket");
        return false;
    }
    // Made private before anyone can connect: the umask decides the mode bind gives it.
    const mode_t mask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(mask);
    if (bound != 0 || ::listen(fd, PeerLimit) != 0) {
        error = SysError("Control channel");
        if (bound == 0) ::unlink(path.constData());
        ::close(fd);
        return false;
    }
    d->listenFd = fd;
    d->path = path;
    d->acceptable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(d->acceptable, &QSocketNotifier::activated, this, [this] { d->Accept(); });
    return true;
}

void TPtyChannel::Close()
{
    ++d->generation;
    while (!d->peers.empty())
        d->Drop(d->peers.back().get());
    if (d->acceptable) {
        d->acceptable->setEnabled(false);
        d->acceptable->deleteLater();
        d->acceptable = nullptr;
    }
    if (d->listenFd >= 0) {
        ::close(d->listenFd);
        d->listenFd = -1;
        ::unlink(d->path.constData());
    }
    d->path.clear();
}

bool TPtyChannel::Listening() const
{
    return d->listenFd >= 0;
}

QByteArray TPtyChannel::Path() const
{
    return d->path;
}

} // namespace vsp
