// The program: create the three windows, run the message loop until the main window closes.

#include "app/Dialogs.h"
#include "app/Registry.h"
#include "app/Umainf.h"
#include "setup/Udpthread.h"
#include "setup/Umodulesetupf.h"
#include "vport/Usettingsf.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

void ShowError(const QString& text)
{
    vsp::MessageBox(
        { nullptr, text, vsp::ApplicationTitle(), vsp::MsgIcon::Error, vsp::MsgButtons::Ok });
}

// An exception that escapes a handler is shown in the standard error box and the
// program goes on, instead of unwinding through Qt's event dispatch.
class TApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            ShowError(QString::fromLocal8Bit(e.what()));
        } catch (...) {
            ShowError(QString());
        }
        return false;
    }
};

// SIGTERM, SIGINT and SIGHUP (a service manager stopping us, Ctrl+C, a closed terminal) end
// the message loop instead of killing the process, so the port link and the pty are removed
// and the connection closed on the way out. Nothing is asked and no settings are saved:
// that is what the window's own close does. quit() would close the windows first and so run
// that close, whose question (answered No without a display) would keep us running; exit()
// leaves every event loop, a message box's too, and main's teardown does the rest. A box
// shown while the window is still being made (a start-up error, the first show's port)
// returns before the message loop runs, and that loop would undo the exit: so start-up is
// told to end as well, and main runs no loop.
int signalPipe[2] = { -1, -1 };
bool endedBySignal = false;

void OnSignal(int)
{
    const char b = 1;
    [[maybe_unused]] const ssize_t n = write(signalPipe[1], &b, 1);
}

void EndOnSignals(QCoreApplication* app)
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        char b[16];
        while (read(signalPipe[0], b, sizeof b) > 0) { }
        endedBySignal = true;
        if (MainForm) MainForm->Terminated = true;
        QCoreApplication::exit(0);
    });
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : { SIGTERM, SIGINT, SIGHUP })
        sigaction(sig, &sa, nullptr);
}

// The settings a user makes in the environment (the README's table), read here once so that
// nothing deeper in the program depends on the process environment.
vsp::TPlatform FromEnvironment()
{
    vsp::TPlatform platform;
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    platform.StorePath = vsp::TRegFile::StorePathFor(qEnvironmentVariable("VSP_STORE"), configHome);
    platform.AutostartDir = vsp::TRegistry::AutostartDirFor(configHome);
    platform.PortFolders
        = { qEnvironmentVariable("VSP_PORT_DIR"), qEnvironmentVariable("XDG_RUNTIME_DIR") };
    platform.LogToStderr = qEnvironmentVariableIntValue("VSP_LOG_STDERR") == 1;
    if (qEnvironmentVariableIsSet(vsp::DiscoveryAddrVariable))
        platform.DiscoveryAddress = qgetenv(vsp::DiscoveryAddrVariable);
    QString problem;
    platform.SetupPort = vsp::ParseSetupPort(qgetenv(vsp::SetupPortVariable), &problem);
    if (!problem.isEmpty()) qWarning("%s", qPrintable(problem));
    return platform;
}

} // namespace

int main(int argc, char* argv[])
{
    // The parameters as the shell passed them, before Qt takes any of its own options.
    QStringList params;
    for (int i = 1; i < argc; ++i)
        params << QString::fromLocal8Bit(argv[i]);

    // Answered before Qt starts, so they work without a display. Only as the sole
    // parameter: anywhere else they are parameters like any other (and rejected).
    if (params == QStringList { QStringLiteral("--help") }) {
        std::fputs(qPrintable(vsp::CommandLineUsage()), stdout);
        return 0;
    }
    if (params == QStringList { QStringLiteral("--version") }) {
        std::puts("vsp " VSP_VERSION);
        return 0;
    }

    TApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    EndOnSignals(&app);
    int exitCode = 0;
    try {
        vsp::TPlatform platform = FromEnvironment();
        platform.StopFd = signalPipe[0];
        // The two other windows first, as the main window is given them.
        auto* moduleSetupForm = new vsp::TModuleSetupForm(platform);
        auto* settingsForm = new vsp::TSettingsForm();
        auto* mainForm
            = new vsp::TMainForm(params, std::move(platform), { settingsForm, moduleSetupForm });
        if (!mainForm->Terminated) {
            mainForm->EndWhenStartPortFails = vsp::Headless();
            mainForm->show();
            if (!mainForm->Terminated) QApplication::exec();
        }
        exitCode = endedBySignal ? 0 : mainForm->ExitCode;
        delete mainForm;
        delete settingsForm;
        delete moduleSetupForm;
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowError(QString());
    }
    return exitCode;
}
