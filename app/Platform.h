#pragma once
// The services the program takes from the machine it runs on, in one place so that a test
// can put doubles in their stead. A default-constructed struct is the real machine: every
// empty member stands for the real service.

#include "app/Dialogs.h"
#include "app/Shell.h"

#include <QString>
#include <functional>
#include <memory>

namespace vsp {

class TVSPort;

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
};

} // namespace vsp
