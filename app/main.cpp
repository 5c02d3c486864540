// The program: create the three windows, run the message loop until the main window closes.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "setup/Umodulesetupf.h"
#include "vport/Usettingsf.h"

#include <QApplication>
#include <exception>

namespace {

void ShowError(const QString& text)
{
    vsp::MessageBox({ nullptr, text, vsp::ApplicationTitle(), vsp::MsgIcon::Error, vsp::MsgButtons::Ok });
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

} // namespace

int main(int argc, char* argv[])
{
    // The parameters as the shell passed them, before Qt takes any of its own options.
    QStringList params;
    for (int i = 1; i < argc; ++i)
        params << QString::fromLocal8Bit(argv[i]);

    TApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    int exitCode = 0;
    try {
        auto* mainForm = new vsp::TMainForm(params);
        ModuleSetupForm = new vsp::TModuleSetupForm();
        SettingsForm = new vsp::TSettingsForm();
        if (!mainForm->Terminated) {
            mainForm->show();
            QApplication::exec();
        }
        exitCode = mainForm->ExitCode;
        delete SettingsForm;
        delete ModuleSetupForm;
        delete mainForm;
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowError(QString());
    }
    return exitCode;
}
