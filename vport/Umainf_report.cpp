// The settings report: what the controls hold at the press of "Show settings", the
// operating system and the log, followed by the module's own settings as its set-up
// console prints them.

#include "app/Controls.h"
#include "app/Umainf.h"
#include "vport/PtyPort.h"
#include "vport/SettingsReport.h"
#include "vport/Usettingsf.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QTextBlock>

namespace vsp {

namespace {

// The memo's lines as a list of lines reads them: none for an empty memo, and no empty
// line for a final line break.
QStringList MemoLines(const QPlainTextEdit* memo)
{
    QStringList lines;
    const QTextDocument* doc = memo->document();
    if (doc->isEmpty()) return lines;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        lines << b.text();
    if (lines.size() > 1 && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

} // namespace

void TMainForm::ShowSettingsBitBtnClick()
{
    if (!SettingsForm) return;
    SettingsForm->Clear();
    SettingsForm->show();
    SettingsForm->raise();
    SettingsForm->activateWindow();

    SettingsSnapshot s;
    s.IPAddressComboBox = IPAddressComboBox->currentText();
    s.PortLabeledEdit = PortLabeledEdit->text();
    s.ServerPortLabeledEdit = ServerPortLabeledEdit->text();
    s.ComPortComboBox = ComPortComboBox->currentText();
    const auto* pty = dynamic_cast<const TPtyVSPort*>(VSPort.get());
    s.PortLink = pty && !pty->LinkPath().isEmpty()
        ? pty->LinkPath()
        : PortLinkPath(s.ComPortComboBox, Platform.PortFolders);
    s.NVTEnabledCheckBox = NVTEnabledCheckBox->isChecked();
    s.NVTFilterCheckBox = NVTFilterCheckBox->isChecked();
    s.NVTPortSetupCheckBox = NVTPortSetupCheckBox->isChecked();
    s.NVTKeepCheckBox = NVTKeepCheckBox->isChecked();
    s.TEAEnabledCheckBox = TEAEnabledCheckBox->isChecked();
    s.UKEdit1 = UKEdit1->text();
    s.UKEdit2 = UKEdit2->text();
    s.UKEdit3 = UKEdit3->text();
    s.UKEdit4 = UKEdit4->text();
    s.LogEnabledCheckBox = LogEnabledCheckBox->isChecked();
    s.TCPServerModeCheckBox = TCPServerModeCheckBox->isChecked();
    s.StartupCreateCheckBox = StartupCreateCheckBox->isChecked();
    s.StartupHideCheckBox = StartupHideCheckBox->isChecked();
    s.PingFailCheckBox = PingFailCheckBox->isChecked();
    s.ConnectClosedCheckBox = ConnectClosedCheckBox->isChecked();
    // Whatever "Log enabled" says: the memo may hold lines from while it was on, and lines
    // of a flood may still be on their way into it.
    FlushLog();
    s.LogMessagesMemo = MemoLines(LogMessagesMemo);

    for (const QString& line : BuildSettingsReport(s, OperatingSystemLines()))
        SettingsForm->AddLine(line);

    StartSetupReadout();
}

} // namespace vsp
