#include "tests/support/FormHarness.h"

#include "app/Controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>

namespace vsptest {

FormHarness::FormHarness(const QStringList& params, vsp::TPlatform platform, Options options)
{
    if (platform.StorePath.isEmpty()) platform = store.Platform(std::move(platform));
    if (!platform.DiscoveryAddress) platform.DiscoveryAddress = QByteArray(LoopbackBroadcast);
    if (!options.machineEcho)
        platform.PingNow = [this](const QString& address) {
            if (onPing) return onPing(address);
            pinged << address;
            return pingAnswer;
        };
    if (!platform.MessageBox)
        platform.MessageBox = [this](const vsp::MessageBoxRequest& r) {
            boxes << r;
            return boxAnswer;
        };
    if (!platform.Ticks) platform.Ticks = std::make_shared<vsp::TTickSource>();
    if (!platform.MakePort && !options.ptyPort)
        platform.MakePort = [this] {
            auto p = std::make_unique<FakePort>();
            port = p.get();
            return p;
        };
    if (options.otherWindows) {
        report = std::make_unique<vsp::TSettingsForm>();
        setupDialog = std::make_unique<vsp::TModuleSetupForm>(platform);
    }
    form = std::make_unique<vsp::TMainForm>(
        params, platform, vsp::TOtherWindows { report.get(), setupDialog.get() });
    if (options.log) form->LogEnabledCheckBox->setChecked(true);
}

FormHarness::~FormHarness()
{
    form.reset();
}

QStringList FormHarness::LogLines() const
{
    QStringList lines
        = form->LogMessagesMemo->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& l : lines)
        l = l.section(QStringLiteral(": "), 1);
    return lines;
}

void FormHarness::Aim(int port, int serverPort)
{
    form->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
    form->PortLabeledEdit->setText(QString::number(port));
    form->ServerPortLabeledEdit->setText(QString::number(serverPort));
}

void HoldTicks(vsp::TMainForm* f)
{
    f->Platform.Ticks->Hold();
}

void Ticks(vsp::TMainForm* f, int n)
{
    f->Platform.Ticks->Tick(n);
}

} // namespace vsptest
