#pragma once
// The services the program takes from the machine it runs on, in one place so that a test
// can put doubles in their stead. A default-constructed struct is the real machine: every
// empty member stands for the real service.

#include "app/Dialogs.h"
#include "app/PortFolders.h"
#include "app/Shell.h"
#include "link/LinkTimings.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/types.h>

namespace vsp {

class TVSPort;

// The main timer's steps as a test drives them. Once held (at once, when held before the
// window is made), the window's own timer runs no more steps: only Tick does, so that a test
// counts out the link's delays exactly, however slow the machine is.
class TTickSource {
public:
    void Hold()
    {
        held_ = true;
        if (OnHold) OnHold();
    }
    bool Held() const { return held_; }
    void Tick(int n = 1)
    {
        for (; n > 0; --n)
            if (OnTick) OnTick();
    }
    // Set by the window that takes its steps from here.
    std::function<void()> OnTick;
    std::function<void()> OnHold;

private:
    bool held_ = false;
};

// The socket calls the discovery worker makes, so that tests can make each of them fail. The
// defaults are the system's own.
struct TUDPSocketCalls {
    int (*Socket)(int domain, int type, int protocol) = ::socket;
    int (*SetSockOpt)(int fd, int level, int name, const void* value, socklen_t length)
        = ::setsockopt;
    int (*Bind)(int fd, const sockaddr* address, socklen_t length) = ::bind;
    ssize_t (*SendTo)(int fd, const void* data, size_t length, int flags, const sockaddr* address,
        socklen_t addressLength)
        = ::sendto;
};

struct TPlatform {
    // The virtual port backend the main window drives; empty: the pty backend.
    std::function<std::unique_ptr<TVSPort>()> MakePort;
    // Every message box the program shows, the windows' and the workers'.
    MessageBoxHandler MessageBox;
    // What the logo's web page is opened with.
    UrlOpener OpenUrl;
    // Whether the desktop has a notification area.
    TrayProbe TrayAvailable;
    // The window's own echo check of an address: 1 reply, 0 none, -1 the check cannot be
    // set up.
    std::function<int(const QString& address)> PingNow;
    // The ping worker's check, on the worker: TPingThread::PingReply, PingSilent or
    // PingCannotStart.
    std::function<int(const QString& address)> WorkerPing;
    // Behave as an unprivileged process: the echo checks never try the raw socket.
    bool AvoidRawSocket = false;
    // Readable once the program has been asked to end (a signal): a check that blocks the
    // window gives up then instead of running out its time. -1: none.
    int StopFd = -1;
    TLinkTimings Timings;
    // None: the steps come from the window's own timer alone.
    std::shared_ptr<TTickSource> Ticks;

    // What the user set in the environment; main reads it once at start, and nothing else
    // does. Empty members leave the program's own defaults.
    //
    // The settings store file, and the folder the start-on-boot entry goes in.
    QString StorePath;
    QString AutostartDir;
    // Where a bare port name becomes a link.
    TPortFolders PortFolders;
    // Every log message also goes to standard error.
    bool LogToStderr = false;
    // The discovery worker's socket calls.
    TUDPSocketCalls UDPSocketCalls;
    // The address module searches go to, as the user wrote it; none: the broadcast address.
    std::optional<QByteArray> DiscoveryAddress;
    // The module's set-up console; 0: the usual port.
    int SetupPort = 0;
};

} // namespace vsp
