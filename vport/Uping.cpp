#include "vport/Uping.h"

#include "app/Messages.h"

#include <QRandomGenerator>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace vsp {

namespace {

constexpr size_t IPV4_MIN_HEADER = 20;
constexpr int PING_TTL = 255;

// Offsets inside the ICMP message.
constexpr size_t ICMP_TYPE = 0;
constexpr size_t ICMP_CODE = 1;
constexpr size_t ICMP_CHECKSUM = 2;
constexpr size_t ICMP_IDENTIFIER = 4;
constexpr size_t ICMP_SEQUENCE = 6;

void PutLittleEndian(uint8_t* at, uint16_t value)
{
    at[0] = uint8_t(value & 0xFF);
    at[1] = uint8_t(value >> 8);
}

uint16_t GetLittleEndian(const uint8_t* at)
{
    return uint16_t(at[0] | (at[1] << 8));
}

// Closes the check's socket however the check ends.
class TSocket {
public:
    explicit TSocket(int fd)
        : fd_(fd)
    {
    }
    ~TSocket()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

// Raw first: it works for root whatever ping_group_range says. The datagram socket is the
// unprivileged way; the kernel then owns the identifier and strips the IP header.
int OpenIcmpSocket(CPing::TMethod& method, bool avoidRawSocket)
{
    if (!avoidRawSocket) {
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            method = CPing::TMethod::Raw;
            return fd;
        }
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    method = fd >= 0 ? CPing::TMethod::Datagram : CPing::TMethod::None;
    return fd;
}

// Sequence numbers start at a random point per process, so that echo replies to other
// programs' pings rarely match ours, and count up, so that two checks of this process
// (the window's and the worker's) never share one.
uint16_t NextSequence()
{
    static std::atomic<uint16_t> next { uint16_t(QRandomGenerator::system()->generate()) };
    return next.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t length)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2)
        sum += GetLittleEndian(data + i);
    if (i < length) sum += data[i];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

TEchoRequest BuildEchoRequest(uint16_t identifier, uint16_t sequence)
{
    TEchoRequest packet {};
    packet[ICMP_TYPE] = ICMP_TYPE_ECHO_REQUEST;
    packet[ICMP_CODE] = 0;
    PutLittleEndian(&packet[ICMP_IDENTIFIER], identifier);
    PutLittleEndian(&packet[ICMP_SEQUENCE], sequence);
    std::memcpy(&packet[ICMP_HEADER_SIZE], ECHO_PAYLOAD, sizeof(ECHO_PAYLOAD) - 1);
    PutLittleEndian(&packet[ICMP_CHECKSUM], InternetChecksum(packet.data(), packet.size()));
    return packet;
}

bool IsEchoReplyTo(const uint8_t* packet, size_t length, bool withIpHeader, uint16_t sequence)
{
    size_t offset = 0;
    if (withIpHeader) {
        if (length < IPV4_MIN_HEADER) return false;
        offset = size_t(packet[0] & 0x0F) * 4;
        if (offset < IPV4_MIN_HEADER) return false;
    }
    if (length < offset + ICMP_HEADER_SIZE) return false;
    const uint8_t* icmp = packet + offset;
    return icmp[ICMP_TYPE] == ICMP_TYPE_ECHO_REPLY
        && GetLittleEndian(icmp + ICMP_SEQUENCE) == sequence;
}

CPing::CPing(bool, bool avoidRawSocket)
    : avoidRawSocket_(avoidRawSocket)
    , identifier_(uint16_t(::getpid() & 0xFFFF))
    , sequence_(NextSequence())
{
    destination_.sin_family = AF_INET;
    destination_.sin_port = 0;
}

CPing::~CPing() = default;

bool CPing::SetTarget(const QString& address)
{
    targetValid_ = false;
    destination_.sin_addr.s_addr = INADDR_ANY;
    const QByteArray text = address.trimmed().toLatin1();
    if (text.contains('\0')) return false;
    in_addr parsed {};
    // inet_pton takes four decimal parts and nothing else: no names, no octal, no
    // shorthand. 0.0.0.0 is refused because Linux delivers it to this host, which would
    // report an unset address as a module that answers.
    if (::inet_pton(AF_INET, text.constData(), &parsed) != 1 || parsed.s_addr == INADDR_ANY)
        return false;
    destination_.sin_addr = parsed;
    targetValid_ = true;
    return true;
}

TEchoRequest CPing::EchoRequest() const
{
    return BuildEchoRequest(identifier_, sequence_);
}

int CPing::WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    using Clock = std::chrono::steady_clock;
    for (;;) {
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        pollfd waitFor[2] = { { fd, events, 0 }, { CancelFd, POLLIN, 0 } };
        const int ready = ::poll(waitFor, CancelFd >= 0 ? 2 : 1,
            int(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 0;
        if (CancelFd >= 0 && waitFor[1].revents != 0) {
            cancelled_ = true;
            return -1;
        }
        if (ready > 0) return 1;
    }
}

bool CPing::ConnectCheck()
{
    using Clock = std::chrono::steady_clock;

    if (fallbackPort_ < 1 || fallbackPort_ > 65535) return false;
    const TSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Fd() < 0) return false;
    usedMethod_ = TMethod::Tcp;
    sockaddr_in to = destination_;
    to.sin_port = htons(uint16_t(fallbackPort_));
    int error = 0;
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        error = errno;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
        while (error == EINPROGRESS || error == EINTR) {
            if (WaitFor(socket.Fd(), POLLOUT, deadline) <= 0) return false;
            socklen_t length = sizeof error;
            if (::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
        }
    }
    // Ended at once, before the module has a chance to send: a module that hands what it
    // holds to each new connection would hand it to us, to be thrown away. Should its
    // first bytes have come already, they are read away so that it gets a FIN, not a reset.
    if (error == 0)
        while (::recv(socket.Fd(), nullptr, 1 << 16, MSG_TRUNC | MSG_DONTWAIT) > 0) { }
    // A refusal is an answer too: the host is there, its port is closed.
    return error == 0 || error == ECONNREFUSED;
}

bool CPing::Ping()
{
    using Clock = std::chrono::steady_clock;

    usedMethod_ = TMethod::None;
    skipped_ = 0;
    cancelled_ = false;
    if (!targetValid_) return false;

    TMethod method = TMethod::None;
    const TSocket socket(OpenIcmpSocket(method, avoidRawSocket_));
    if (socket.Fd() < 0) return ConnectCheck();
    usedMethod_ = method;

    const int ttl = PING_TTL;
    if (::setsockopt(socket.Fd(), IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) return false;

    const TEchoRequest request = EchoRequest();
    const ssize_t sent = ::sendto(socket.Fd(), request.data(), request.size(), MSG_NOSIGNAL,
        reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_);
    if (sent != ssize_t(request.size())) return false;

    // One deadline for the whole check: time spent on foreign packets comes off the budget.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    const bool withIpHeader = method == TMethod::Raw;
    std::array<uint8_t, PING_RECEIVE_BUFFER> buffer;
    for (;;) {
        if (WaitFor(socket.Fd(), POLLIN, deadline) <= 0) return false;

        sockaddr_in from {};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(socket.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT,
            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        if (IsEchoReplyTo(buffer.data(), size_t(got), withIpHeader, sequence_)) return true;
        ++skipped_;
    }
}

CPing::TMethod CPing::Method(bool avoidRawSocket)
{
    TMethod method = TMethod::None;
    const TSocket probe(OpenIcmpSocket(method, avoidRawSocket));
    return method;
}

const char* CPing::MethodName(TMethod method)
{
    switch (method) {
    case TMethod::Raw:
        return "raw ICMP socket";
    case TMethod::Datagram:
        return "datagram ICMP socket";
    case TMethod::Tcp:
        return "TCP connect to the data port";
    case TMethod::None:
        break;
    }
    return "no ICMP socket (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
}

TPingThread::TPingThread(QObject* owner, TEchoCheck check, bool avoidRawSocket)
    : owner_(owner)
    , check_(std::move(check))
    , avoidRawSocket_(avoidRawSocket)
    , stopFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    start();
}

TPingThread::~TPingThread()
{
    Stop();
    if (stopFd_ >= 0) ::close(stopFd_);
}

bool TPingThread::RequestPing(uint32_t successCode, uint32_t failureCode)
{
    {
        QMutexLocker lock(&mutex_);
        if (busy_ || stop_) return false;
    }
    // Read outside the lock: the source belongs to the window and may call back into us.
    // Only this (UI) thread accepts requests, so the worker cannot become busy meanwhile.
    const QString address = AddressSource ? AddressSource() : QString();
    {
        QMutexLocker lock(&mutex_);
        if (busy_ || stop_) return false;
        address_ = address;
        success_ = successCode;
        failure_ = failureCode;
        requested_ = true;
        busy_ = true;
    }
    wake_.wakeOne();
    return true;
}

void TPingThread::Stop()
{
    {
        QMutexLocker lock(&mutex_);
        stop_ = true;
    }
    // A check under way is waiting on the network: this wakes it.
    const uint64_t one = 1;
    if (stopFd_ >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
    }
    wake_.wakeAll();
    if (QThread::currentThread() != this) wait();
}

bool TPingThread::Busy() const
{
    QMutexLocker lock(&mutex_);
    return busy_;
}

int TPingThread::Check(const QString& address)
{
    try {
        if (check_) return check_(address);
        auto ping = std::make_unique<CPing>(false, avoidRawSocket_);
        ping->CancelFd = stopFd_;
        ping->SetTarget(address);
        const bool reply = ping->Ping();
        if (ping->Cancelled()) return PingCancelled;
        return reply ? PingReply : PingSilent;
    } catch (const std::exception&) {
        return PingCannotStart;
    }
}

void TPingThread::run()
{
    for (;;) {
        QString address;
        uint32_t success = 0, failure = 0;
        {
            QMutexLocker lock(&mutex_);
            while (!requested_ && !stop_)
                wake_.wait(&mutex_);
            // A request accepted before Stop() is still carried out (a real check gives up
            // at once): the requester was told nothing about it being dropped.
            if (!requested_) return;
            requested_ = false;
            address = address_;
            success = success_;
            failure = failure_;
        }
        const int result = Check(address);
        if (result == PingCancelled) return; // the owner is going: nobody waits for it
        const uint32_t code = result < 0 ? PING_CANNOT_START : (result > 0 ? success : failure);
        {
            // Idle again before posting, so that the window may ask again from the handler.
            QMutexLocker lock(&mutex_);
            busy_ = false;
        }
        PostMessage(owner_, WM_PINGRESULT, code, 0);
    }
}

} // namespace vsp
