#pragma once
// A main window under test: an in-memory port, message boxes recorded instead of shown,
// logging on, the echo check scripted, a settings store of its own, module searches kept on
// loopback, and helpers to read the log. The one way a test builds the window.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "setup/Umodulesetupf.h"
#include "tests/support/FakePort.h"
#include "tests/support/TempStore.h"
#include "vport/Usettingsf.h"

#include <QList>
#include <QStringList>
#include <functional>
#include <memory>

namespace vsptest {

// A command line that leaves the store alone: the window keeps its design defaults and saves
// nothing at close.
inline const QStringList DesignDefaults { QStringLiteral("-S0") };

struct FormOptions {
    // "Log enabled" checked once the window is made (else it stays as start-up left it).
    bool log = true;
    // The report window and the set-up dialog, made with the window's own services.
    bool otherWindows = false;
    // The pty backend (its links in platform.PortFolders) in place of the in-memory port.
    bool ptyPort = false;
    // The machine's own synchronous echo check in place of the scripted one.
    bool machineEcho = false;
};

class FormHarness {
public:
    using Options = FormOptions;
    // params: the command line. platform: services of the test's own; the synchronous echo
    // check (unless options say otherwise) is the harness's, and so are the message boxes (kept
    // in boxes), the port (an in-memory one), the store and the search address unless the
    // test brings its own.
    explicit FormHarness(
        const QStringList& params = {}, vsp::TPlatform platform = {}, Options options = {});
    ~FormHarness();

    vsp::TMainForm* operator->() const { return form.get(); }
    vsp::TMainForm& operator*() const { return *form; }
    vsp::TMainForm* get() const { return form.get(); }

    TempStore store; // outlives the window, which saves into it on close
    FakePort* port = nullptr; // the harness's port, when the window has it
    std::unique_ptr<vsp::TSettingsForm> report; // with Options::otherWindows
    std::unique_ptr<vsp::TModuleSetupForm> setupDialog; // with Options::otherWindows
    std::unique_ptr<vsp::TMainForm> form;
    QList<vsp::MessageBoxRequest> boxes; // unless the test answers them itself
    vsp::MsgResult boxAnswer = vsp::MsgResult::Ok;
    QStringList pinged; // addresses of synchronous checks
    int pingAnswer = 1; // 1 reply, 0 none, -1 cannot start
    // A synchronous check of the test's own, in place of recording and pingAnswer.
    std::function<int(const QString& address)> onPing;

    // The log's messages without their time of day, oldest first.
    QStringList LogLines() const;
    // Points the client link at 127.0.0.1:port and the server at serverPort.
    void Aim(int port, int serverPort = 0);
};

// From now on the window's timer runs no steps: the test runs them with Ticks.
void HoldTicks(vsp::TMainForm* f);
// Runs the 5 ms timer step by hand, as many ticks as asked.
void Ticks(vsp::TMainForm* f, int n);

} // namespace vsptest
