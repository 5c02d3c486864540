// Pictures of the windows for the documentation: builds the main window on an in-memory
// port and writes each page, the settings report and the set-up dialog as PNG files.
//
//   vsp-screenshots OUTDIR
//
// It runs the real window, which searches for modules each time it is shown, so run it
// inside a private network namespace (scripts/private-netns), e.g. under
// xvfb-run -a -s "-screen 0 640x480x24" with QT_QPA_PLATFORM=xcb.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "setup/Umodulesetupf.h"
#include "vport/Usettingsf.h"
#include "vport/Vsportlib_tlb.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

namespace {

// A port that exists only in memory: the pictures need no real port.
class TMemoryPort : public vsp::TVSPort {
public:
    bool CreatePort(const QString&) override { return created_ = true; }
    bool Delete() override
    {
        created_ = false;
        return true;
    }
    bool IsOpened() const override { return false; }
    int32_t GetInCount() override { return 0; }
    int32_t Read(uint8_t*, int32_t) override { return 0; }
    int32_t Write(const uint8_t*, int32_t count) override { return count; }

private:
    bool created_ = false;
};

void Settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Save(QWidget* window, const QDir& dir, const QString& name)
{
    const QString path = dir.filePath(name);
    if (!window->grab().save(path)) {
        std::fprintf(stderr, "vsp-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vsp-screenshots OUTDIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "vsp-screenshots: cannot create %s\n", argv[1]);
        return 1;
    }
    // A box would wait for a click nobody gives: print it and go on.
    vsp::TPlatform platform;
    platform.MessageBox = [](const vsp::MessageBoxRequest& r) {
        std::fprintf(stderr, "vsp-screenshots: message box \"%s\": %s\n", qPrintable(r.Caption),
            qPrintable(r.Text));
        return r.Buttons == vsp::MsgButtons::YesNo ? vsp::MsgResult::Yes : vsp::MsgResult::Ok;
    };

    // With a parameter the stored settings are neither read nor written: design defaults.
    platform.MakePort = [] { return std::make_unique<TMemoryPort>(); };
    auto* moduleSetupForm = new vsp::TModuleSetupForm(platform);
    auto* settingsForm = new vsp::TSettingsForm();
    auto* mainForm = new vsp::TMainForm(
        QStringList { QStringLiteral("-S0") }, platform, { settingsForm, moduleSetupForm });
    bool ok = !mainForm->Terminated;

    if (ok) {
        mainForm->show();
        Settle(300);
        const std::pair<QWidget*, const char*> pages[] = {
            { mainForm->VSPTabSheet, "mainwindow.png" },
            { mainForm->UDPSetupTabSheet, "page-udp.png" },
            { mainForm->SettingsTabSheet, "page-settings.png" },
        };
        for (const auto& [page, name] : pages) {
            mainForm->MainPageControl->setCurrentWidget(page);
            Settle(150);
            ok = Save(mainForm, dir, QLatin1String(name)) && ok;
        }

        // The report as "Show settings" makes it; the module read-out at its end fails
        // quickly in a namespace without the module.
        mainForm->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
        mainForm->ShowSettingsBitBtnClick();
        Settle(500);
        settingsForm->show();
        Settle(150);
        ok = Save(settingsForm, dir, QStringLiteral("settings-report.png")) && ok;
        settingsForm->hide();

        moduleSetupForm->show();
        Settle(300);
        ok = Save(moduleSetupForm, dir, QStringLiteral("module-setup.png")) && ok;
        moduleSetupForm->hide();

        mainForm->close();
    }
    delete mainForm;
    delete settingsForm;
    delete moduleSetupForm;
    return ok ? 0 : 1;
}
