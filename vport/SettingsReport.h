#pragma once
// The settings report: the lines "Show settings" writes, built from what the main
// window's controls hold at that moment. The module's own settings follow the last line;
// the console read-out appends them.

#include <QString>
#include <QStringList>

namespace vsp {

// The controls the report reads, each member named after its control: texts as they
// stand, check states, and the log memo's lines first to last.
struct SettingsSnapshot {
    QString IPAddressComboBox;
    QString PortLabeledEdit;
    QString ServerPortLabeledEdit;
    QString ComPortComboBox;
    // Where programs open the port: the link made for it, or where the name would put it.
    QString PortLink;
    bool NVTEnabledCheckBox = false;
    bool NVTFilterCheckBox = false;
    bool NVTPortSetupCheckBox = false;
    bool NVTKeepCheckBox = false;
    bool TEAEnabledCheckBox = false;
    QString UKEdit1;
    QString UKEdit2;
    QString UKEdit3;
    QString UKEdit4;
    bool LogEnabledCheckBox = false;
    bool TCPServerModeCheckBox = false;
    bool StartupCreateCheckBox = false;
    bool StartupHideCheckBox = false;
    bool PingFailCheckBox = false;
    bool ConnectClosedCheckBox = false;
    QStringList LogMessagesMemo;
};

// The whole report down to "---------- Module settings -------------", with osLines in
// the "OS type" section.
QStringList BuildSettingsReport(const SettingsSnapshot& settings, const QStringList& osLines);

// The "OS type" section for the running system: the kernel name and release
// ("Linux 6.1.0-18-amd64"), then the distribution's PRETTY_NAME (an empty line when it
// is not known). Reads uname and /etc/os-release (or /usr/lib/os-release).
QStringList OperatingSystemLines();

// The same lines from what the system reported: uname's sysname and release, and the
// text of os-release (empty when there is none).
QStringList FormatOperatingSystemLines(
    const QString& sysname, const QString& release, const QString& osReleaseText);

// PRETTY_NAME of an os-release text, unquoted; empty when absent.
QString OsReleasePrettyName(const QString& osReleaseText);

} // namespace vsp
