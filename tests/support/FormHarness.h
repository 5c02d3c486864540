#pragma once
// A main window under test: an in-memory port, message boxes recorded instead of shown,
// logging on, the echo check scripted, a settings store of its own, module searches kept on
// loopback, and helpers to read the log.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "tests/support/FakePort.h"
#include "tests/support/TempStore.h"

#include <QList>
#include <QStringList>
#include <functional>
#include <memory>

namespace vsptest {

class FormHarness {
public:
    // params: the command line. platform: services of the test's own; the port and the
    // message boxes are the harness's, and so are the store and the search address unless
    // the test names its own.
    explicit FormHarness(const QStringList& params = {}, vsp::TPlatform platform = {});
    ~FormHarness();

    vsp::TMainForm* operator->() const { return form.get(); }

    TempStore store; // outlives the window, which saves into it on close
    FakePort* port = nullptr;
    std::unique_ptr<vsp::TMainForm> form;
    QList<vsp::MessageBoxRequest> boxes;
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
