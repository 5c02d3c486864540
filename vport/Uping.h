#pragma once
// The echo check: is the module there? One ICMP echo request and a wait of at most
// 5000 ms for the matching reply. CPing does one check; TPingThread runs checks in the
// background on request and posts WM_PINGRESULT to its owner.

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <array>
#include <cstdint>
#include <functional>
#include <netinet/in.h>

namespace vsp {

class CPing {
public:
    // startLibrary is kept for the callers' sake; POSIX sockets need no start-up.
    explicit CPing(bool startLibrary = false);
    ~CPing();

    CPing(const CPing&) = delete;
    CPing& operator=(const CPing&) = delete;

    // Dotted IPv4 text only: no name is ever looked up. False when the text is not one.
    bool SetTarget(const QString& address);
    // One request, one wait of at most TimeoutMs; true when the matching reply came back.
    bool Ping();

    int TimeoutMs = 5000;

    uint16_t Identifier() const { return identifier_; }
    uint16_t Sequence() const { return sequence_; }
    // The 38 bytes that go on the wire (checksum included).
    std::array<uint8_t, 38> EchoRequest() const;

private:
    uint16_t identifier_;
    uint16_t sequence_;
    std::array<uint8_t, 8> header_ {};
    sockaddr_in destination_ {};
    bool targetValid_ = false;
};

// RFC 1071 Internet checksum: 16-bit little-endian words, carries folded, one's complement.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// Result codes posted in wParam of WM_PINGRESULT.
constexpr uint32_t PING_CANNOT_START = 0;
constexpr uint32_t PING_RECONNECT = 1; // reconnect request, module answered
constexpr uint32_t PING_ERROR_LAN = 2; // error request, module silent
constexpr uint32_t PING_CLOSE = 3; // error request, module answered
constexpr uint32_t PING_NO_ACTION = 10; // reconnect request, module silent

class TPingThread : public QThread {
    Q_OBJECT
public:
    // Starts idle ("suspended"). owner receives WM_PINGRESULT.
    explicit TPingThread(QObject* owner);
    ~TPingThread() override; // Stop()s if still running

    // On the UI thread. If idle: takes the address from AddressSource now, stores the
    // codes and wakes the worker; if a check is running the request is dropped.
    void RequestPing(uint32_t successCode, uint32_t failureCode);
    // Shutdown: an idle worker ends at once; a running check is awaited first.
    void Stop();
    bool Busy() const;

    // Reads the address text on the UI thread at request time.
    std::function<QString()> AddressSource;
    // Test hook: replaces CPing (returns true/false for a reply; nullopt-like -1 = cannot start).
    std::function<int(const QString& address)> PingOverride;

protected:
    void run() override;

private:
    QObject* owner_;
    mutable QMutex mutex_;
    QWaitCondition wake_;
    bool requested_ = false;
    bool busy_ = false;
    bool stop_ = false;
    uint32_t success_ = 0, failure_ = 0;
    QString address_;
};

} // namespace vsp
