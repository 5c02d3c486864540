#include "setup/Udpthread.h"

#include "app/Dialogs.h"
#include "app/Messages.h"

#include <QMutexLocker>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vsp {

namespace {

// Larger than any reply, so that an oversized datagram shows its real size instead of
// passing for a 48-byte one.
constexpr int ReceiveBufferSize = 128;
// Only when no eventfd could be had: commands are then noticed by polling this often.
constexpr int FallbackPollMs = 5;

const QString BoxCaption = QStringLiteral("UDP Setup");

} // namespace

TUDPThread::TUDPThread(QObject* mainWindow, const TPlatform& platform)
    : mainWindow_(mainWindow)
    , platform_(platform)
{
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    // Qt gives the system thread this name, so the worker can be told apart in ps and top.
    setObjectName(QStringLiteral("TUDPThread"));
    start();
}

TUDPThread::~TUDPThread()
{
    requestInterruption();
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    wait();
    // The loop's last step is under this lock: taking it orders everything the worker did
    // before the clean-up here, also for tools that cannot see inside QThread::wait().
    QMutexLocker lock(&queueMutex_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TUDPThread::PostThreadMessage(int msg)
{
    QMutexLocker lock(&queueMutex_);
    if (ended_) return;
    queue_.push_back(msg);
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

int TUDPThread::BoundPort() const
{
    return boundPort_.load();
}

int TUDPThread::TakeCommand()
{
    QMutexLocker lock(&queueMutex_);
    if (queue_.empty()) return 0;
    const int msg = queue_.front();
    queue_.pop_front();
    return msg;
}

void TUDPThread::Fail(const QString& text)
{
    PostMessageBox({ nullptr, text, BoxCaption, MsgIcon::Error, MsgButtons::Ok },
        platform_.MessageBox, mainWindow_);
}

bool TUDPThread::OpenSocket()
{
    // Non-blocking from the start; close-on-exec so that programs we start never hold our
    // port.
    socket_ = calls_.Socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        Fail(QStringLiteral("Can't create socket"));
        return false;
    }
    const int on = 1;
    if (calls_.SetSockOpt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        Fail(QStringLiteral("Socket option setup error"));
        return false;
    }
    for (int port = UDPBindFirstPort; port >= UDPBindLastPort; --port) {
        sockaddr_in local {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(static_cast<uint16_t>(port));
        if (calls_.Bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) {
            boundPort_ = port;
            return true;
        }
    }
    Fail(QStringLiteral("Error bind socket"));
    return false;
}

void TUDPThread::ReadTarget()
{
    auto* target = reinterpret_cast<sockaddr_in*>(&target_);
    target->sin_family = AF_INET;
    target->sin_port = htons(DiscoveryPort);
    if (!platform_.DiscoveryAddress) {
        target->sin_addr.s_addr = htonl(INADDR_BROADCAST);
        haveTarget_ = true;
        return;
    }
    // A bad value must not fall back to the real broadcast: whoever set it wanted the
    // search kept somewhere else.
    const QByteArray& text = *platform_.DiscoveryAddress;
    if (!text.contains('\0') && ::inet_pton(AF_INET, text.constData(), &target->sin_addr) == 1) {
        haveTarget_ = true;
        return;
    }
    Fail(QStringLiteral("%1 is not an IPv4 address: \"%2\". No module search will be sent.")
             .arg(QLatin1String(DiscoveryAddrVariable), QString::fromLocal8Bit(text)));
}

void TUDPThread::ReceiveOne()
{
    uint8_t buffer[ReceiveBufferSize];
    // MSG_TRUNC: the true length of a datagram that did not fit.
    const ssize_t length = ::recv(socket_, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT);
    // Errors, and anything but exactly one reply's size: a short datagram is never checked
    // over what an earlier one left in the buffer.
    if (length != ModuleReplySize) return;
    if (!VerifyModuleReply(buffer, int(length))) return;
    StoreReply(buffer);
}

void TUDPThread::StoreReply(const uint8_t* reply)
{
    QMutexLocker lock(&Lock);
    for (int i = 0; i < ModuleCount; ++i) {
        // The first reply of a module wins until the next search.
        if (std::memcmp(ModuleTable[i].Reply + ReplyMacOffset, reply + ReplyMacOffset, ReplyMacSize)
            == 0)
            return;
    }
    // A full table stays as it is: the modules listed so far remain a true view of it.
    if (ModuleCount >= ModuleTableSize) return;
    ModuleEntry& entry = ModuleTable[ModuleCount];
    std::memcpy(entry.Reply, reply, ModuleReplySize);
    entry.Listed = 0;
    ++ModuleCount;
    PostMessage(mainWindow_, WM_UDPMODULEFOUND, 0, 0);
}

void TUDPThread::Search()
{
    if (!haveTarget_) return;
    const auto request = SearchRequest();
    const ssize_t sent = calls_.SendTo(socket_, request.data(), request.size(), 0,
        reinterpret_cast<const sockaddr*>(&target_), sizeof(sockaddr_in));
    if (sent < 0 && errno == EACCES) Fail(QStringLiteral("Broadcast address not allowed"));
    // Other send errors (no route, say) are dropped: the next search tries again.
}

void TUDPThread::run()
{
    {
        QMutexLocker lock(&Lock);
        ModuleCount = 0;
    }
    if (OpenSocket()) {
        ReadTarget();
        pollfd fds[2] = { { socket_, POLLIN, 0 }, { wakeFd_, POLLIN, 0 } };
        const nfds_t count = wakeFd_ >= 0 ? 2 : 1;
        const int timeout = wakeFd_ >= 0 ? -1 : FallbackPollMs;
        bool stop = false;
        while (!stop && !isInterruptionRequested()) {
            if (::poll(fds, count, timeout) < 0) {
                if (errno == EINTR) continue;
                break; // cannot wait at all; ending beats spinning
            }
            // One datagram and one command per pass, commands in the order posted.
            // A pending socket error is cleared by the failing receive.
            if (fds[0].revents & (POLLIN | POLLERR)) ReceiveOne();
            if (count > 1 && (fds[1].revents & POLLIN)) {
                uint64_t token = 0;
                [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &token, sizeof token);
            }
            switch (TakeCommand()) {
            case WM_UDPSEARCH:
                Search();
                break;
            case WM_UDPSTOP:
                stop = true;
                break;
            default:
                break;
            }
        }
    }
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    boundPort_ = 0;
    QMutexLocker lock(&queueMutex_);
    ended_ = true;
    queue_.clear();
}

} // namespace vsp
