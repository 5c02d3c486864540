#pragma once
// The echo check: is the module there? One ICMP echo request and a wait of at most
// 5000 ms for the matching reply. Where this user may open no ICMP socket at all, a TCP
// connect to the module's data port stands in for it, ended right after the handshake.
// CPing does one check; TPingThread runs checks in the background on request and posts
// WM_PINGRESULT to its owner. A check gives up at once when its cancel descriptor becomes
// readable, so that ending the program never waits for one.

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <netinet/in.h>

namespace vsp {

// ICMP message types and the layout of our echo request.
constexpr uint8_t ICMP_TYPE_ECHO_REPLY = 0;
constexpr uint8_t ICMP_TYPE_ECHO_REQUEST = 8;
constexpr size_t ICMP_HEADER_SIZE = 8; // type, code, checksum, identifier, sequence
constexpr size_t ECHO_REQUEST_SIZE = 38; // header + the 30-byte text below
// The payload modules have always been sent; 15 dots, no terminator.
constexpr char ECHO_PAYLOAD[] = "Are you there? ...............";
static_assert(sizeof(ECHO_PAYLOAD) - 1 + ICMP_HEADER_SIZE == ECHO_REQUEST_SIZE);
constexpr size_t PING_RECEIVE_BUFFER = 1024;

using TEchoRequest = std::array<uint8_t, ECHO_REQUEST_SIZE>;

// RFC 1071 Internet checksum over 16-bit little-endian words (an odd last byte counts as a
// low byte), carries folded, one's complement. Store the result low byte first.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// The request as it goes on the wire: identifier and sequence low byte first, checksum set.
TEchoRequest BuildEchoRequest(uint16_t identifier, uint16_t sequence);

// Does this received packet answer our request? withIpHeader: the packet came from a raw
// socket and starts with the IPv4 header. Only the type and the sequence are compared;
// short or malformed packets never match.
bool IsEchoReplyTo(const uint8_t* packet, size_t length, bool withIpHeader, uint16_t sequence);

class CPing {
public:
    // How a check reaches the network. A raw socket needs root or CAP_NET_RAW; the datagram
    // ICMP socket needs our group inside net.ipv4.ping_group_range. Without either, a TCP
    // connect to the fallback port: connected or refused, the host is there.
    enum class TMethod { None, Raw, Datagram, Tcp };

    // startLibrary is kept for the callers' sake; POSIX sockets need no start-up.
    // avoidRawSocket: behave as an unprivileged process and never try the raw socket.
    explicit CPing(bool startLibrary = false, bool avoidRawSocket = false);
    ~CPing();

    CPing(const CPing&) = delete;
    CPing& operator=(const CPing&) = delete;

    // Dotted IPv4 text only (surrounding blanks ignored): no name is ever looked up. False,
    // and Ping() fails without sending, when the text is not one or is 0.0.0.0.
    bool SetTarget(const QString& address);
    // The module's data port, for the TCP check when no ICMP socket can be opened; outside
    // 1..65535 there is no fallback and such a check fails at once.
    void SetFallbackPort(int port) { fallbackPort_ = port; }
    // One request, one wait of at most TimeoutMs; true when the matching reply came back.
    bool Ping();

    int TimeoutMs = 5000;
    // Readable: give up the check now (Ping returns false, Cancelled() true). -1: none.
    int CancelFd = -1;
    bool Cancelled() const { return cancelled_; }

    uint16_t Identifier() const { return identifier_; }
    uint16_t Sequence() const { return sequence_; }
    // The 38 bytes that go on the wire (checksum included).
    TEchoRequest EchoRequest() const;
    // What the last Ping() used, and how many received packets it passed over as foreign.
    TMethod UsedMethod() const { return usedMethod_; }
    int SkippedPackets() const { return skipped_; }

    // Which socket a check would use now (opens and closes one to find out).
    static TMethod Method(bool avoidRawSocket = false);
    static const char* MethodName(TMethod method);

private:
    bool ConnectCheck(); // the TCP stand-in, within the same budget
    // Waits until fd shows events, the deadline passes (0) or the check is cancelled (-1).
    int WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline);

    bool avoidRawSocket_;
    uint16_t identifier_;
    uint16_t sequence_;
    sockaddr_in destination_ {};
    bool targetValid_ = false;
    int fallbackPort_ = 0;
    TMethod usedMethod_ = TMethod::None;
    int skipped_ = 0;
    bool cancelled_ = false;
};

// Result codes posted in wParam of WM_PINGRESULT.
constexpr uint32_t PING_CANNOT_START = 0;
constexpr uint32_t PING_RECONNECT = 1; // reconnect request, module answered
constexpr uint32_t PING_ERROR_LAN = 2; // error request, module silent
constexpr uint32_t PING_CLOSE = 3; // error request, module answered
constexpr uint32_t PING_NO_ACTION = 10; // reconnect request, module silent

// A check in place of the real one, called on the worker: returns TPingThread::PingReply,
// PingSilent, or PingCannotStart (as if the check object could not be made).
using TEchoCheck = std::function<int(const QString& address)>;

class TPingThread : public QThread {
    Q_OBJECT
public:
    // Starts at once and waits idle ("suspended"). owner receives WM_PINGRESULT; it is not
    // made our parent, and must outlive Stop(). check: empty, the real check, which with
    // avoidRawSocket never tries the raw socket.
    explicit TPingThread(QObject* owner, TEchoCheck check = {}, bool avoidRawSocket = false);
    ~TPingThread() override; // Stop()s if still running

    // On the UI thread. If idle: takes the address from AddressSource now, stores the
    // codes and wakes the worker; if a check is running (or the worker has stopped) the
    // request is dropped. True when it was taken.
    bool RequestPing(uint32_t successCode, uint32_t failureCode);
    // Shutdown, without waiting on the network: an idle worker ends at once; a check under
    // way is given up and posts nothing (a check of the owner's own, given to the
    // constructor, is carried out and its message posted first). Safe to call twice.
    void Stop();
    // A request has been accepted and its check has not finished yet.
    bool Busy() const;

    // Read on the UI thread at request time: the address text.
    std::function<QString()> AddressSource;

    // What a check in place of the real one returns.
    static constexpr int PingCannotStart = -1;
    static constexpr int PingSilent = 0;
    static constexpr int PingReply = 1;
    static constexpr int PingCancelled = -2; // Stop() came first: nothing is posted

protected:
    void run() override;

private:
    int Check(const QString& address);

    QObject* owner_;
    const TEchoCheck check_;
    const bool avoidRawSocket_;
    mutable QMutex mutex_;
    QWaitCondition wake_;
    bool requested_ = false; // accepted, not yet taken by the worker
    bool busy_ = false; // accepted, message not yet posted
    bool stop_ = false;
    uint32_t success_ = 0, failure_ = 0;
    QString address_;
    int stopFd_ = -1; // readable once Stop() was called: the running check gives up
};

} // namespace vsp
