#pragma once
// Module discovery worker: owns the UDP socket for the program's life, broadcasts the
// search request on command, authenticates replies and keeps the table of modules found.
// It tells the main window about each new module with WM_UDPMODULEFOUND.

#include <QMutex>
#include <QObject>
#include <QThread>
#include <cstdint>
#include <deque>

namespace vsp {

// Commands posted to the worker's own queue.
constexpr int WM_UDPSEARCH = 1025;
constexpr int WM_UDPSTOP = 1026;

constexpr int ModuleReplySize = 48;
constexpr int ModuleTableSize = 64;

struct ModuleEntry {
    uint8_t Reply[ModuleReplySize] = {};
    uint8_t Listed = 0; // 1 once the main window has put it in the module list
};

class TUDPThread : public QThread {
    Q_OBJECT
public:
    // Starts running at once. mainWindow receives WM_UDPMODULEFOUND.
    explicit TUDPThread(QObject* mainWindow);
    ~TUDPThread() override; // stops and joins

    // Thread messages, in posted order, one per loop pass. Any thread may post.
    void PostThreadMessage(int msg);

    // Guards ModuleCount and the appending of entries.
    QMutex Lock;
    int32_t ModuleCount = 0;
    ModuleEntry ModuleTable[ModuleTableSize];

    // The UDP port the worker bound (9999 down to 9900), 0 before or after a failed start.
    int BoundPort() const;

protected:
    void run() override;

private:
    QObject* mainWindow_;
    mutable QMutex queueMutex_;
    std::deque<int> queue_;
    int wakeFd_ = -1;
    int boundPort_ = 0;
};

} // namespace vsp
