#pragma once
// Module discovery worker: owns the UDP socket for the program's life, broadcasts the
// search request on command, authenticates replies and keeps the table of modules found.
// It tells the main window about each new module with WM_UDPMODULEFOUND.
//
// The worker sleeps in poll() on its socket and on an eventfd that PostThreadMessage
// writes, so it wakes at once for a datagram or a command and costs nothing while idle.

#include "app/Platform.h"
#include "setup/Discovery.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <deque>
#include <sys/socket.h>
#include <sys/types.h>

namespace vsp {

// Commands posted to the worker's own queue.
constexpr int WM_UDPSEARCH = 1025;
constexpr int WM_UDPSTOP = 1026;

constexpr int ModuleReplySize = DiscoveryDatagramSize;
constexpr int ModuleTableSize = 64;
// First port tried for the worker's own socket, and the last one before giving up.
constexpr uint16_t UDPBindFirstPort = DiscoveryPort;
constexpr uint16_t UDPBindLastPort = 9900;
// Where the user names another address for the search than 255.255.255.255 (a subnet's
// broadcast, or loopback for tests); main reads it into TPlatform::DiscoveryAddress.
constexpr char DiscoveryAddrVariable[] = "VSP_DISCOVERY_ADDR";

struct ModuleEntry {
    uint8_t Reply[ModuleReplySize] = {};
    uint8_t Listed = 0; // 1 once the main window has put it in the module list
};

class TUDPThread final : public QThread {
    Q_OBJECT
public:
    // Starts running at once. mainWindow receives WM_UDPMODULEFOUND, and boxes the worker
    // asks for go away with it.
    // Its socket calls are the platform's UDPSocketCalls.
    explicit TUDPThread(QObject* mainWindow, const TPlatform& platform = {});
    // Asks the loop to end, wakes it and waits for it: no worker outlives its owner.
    ~TUDPThread() override;
    TUDPThread(const TUDPThread&) = delete;
    TUDPThread& operator=(const TUDPThread&) = delete;

    // Thread messages, served in posted order, one per loop pass. Any thread may post;
    // messages posted after the worker has ended are dropped.
    void PostThreadMessage(int msg);

    // Guards ModuleCount and the appending of entries. Entries below ModuleCount do not
    // change until the count is reset, so the main window reads them without the lock.
    QMutex Lock;
    int32_t ModuleCount = 0;
    ModuleEntry ModuleTable[ModuleTableSize];

    // The UDP port the worker bound (9999 down to 9900); 0 while it holds no socket
    // (before binding, after a failed start, after the end).
    int BoundPort() const;

protected:
    void run() override;

private:
    // Start-up steps; false after the failure has been reported.
    bool OpenSocket();
    void ReadTarget();
    void ReceiveOne();
    void StoreReply(const uint8_t* reply);
    void Search();
    // Pops the oldest command, or returns 0 when none is waiting.
    int TakeCommand();
    void Fail(const QString& text);

    QObject* mainWindow_;
    const TPlatform platform_;
    const TUDPSocketCalls& calls_ = platform_.UDPSocketCalls;
    int socket_ = -1;
    int wakeFd_ = -1; // eventfd in semaphore mode: its count is the number of queued commands
    sockaddr_storage target_ {};
    bool haveTarget_ = false;

    QMutex queueMutex_;
    std::deque<int> queue_;
    bool ended_ = false; // under queueMutex_: the loop has left, posts are dropped

    std::atomic<int> boundPort_ { 0 };
};

} // namespace vsp
