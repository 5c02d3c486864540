#include "vport/SettingsReport.h"

#include <QFile>
#include <sys/utsname.h>

namespace vsp {

namespace {

QString SwitchLine(const char* label, bool on)
{
    return QString::fromLatin1(label) + (on ? QStringLiteral("on") : QStringLiteral("off"));
}

QString LabelLine(const char* label, const QString& value)
{
    return QString::fromLatin1(label) + value;
}

// The value of one os-release assignment: shell-style, either quoted (backslash escapes
// inside double quotes) or bare.
QString UnquoteShellValue(const QString& raw)
{
    if (raw.isEmpty()) return raw;
    const QChar quote = raw.front();
    if (quote != QLatin1Char('"') && quote != QLatin1Char('\'')) return raw.trimmed();
    QString value;
    for (qsizetype i = 1; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == quote) break;
        if (quote == QLatin1Char('"') && c == QLatin1Char('\\') && i + 1 < raw.size()) {
            value += raw.at(++i);
            continue;
        }
        value += c;
    }
    return value;
}

QString ReadTextFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    return QString::fromUtf8(file.readAll());
}

} // namespace

QStringList BuildSettingsReport(const SettingsSnapshot& s, const QStringList& osLines)
{
    QStringList lines;
    lines << QStringLiteral("Parameter list:");
    lines << QStringLiteral("---------- Virtual SP ----------------");
    lines << LabelLine("IP          : ", s.IPAddressComboBox);
    lines << LabelLine("Port        : ", s.PortLabeledEdit);
    lines << LabelLine("Server port : ", s.ServerPortLabeledEdit);
    lines << LabelLine("Serial name : ", s.ComPortComboBox);
    lines << LabelLine("Port link   : ", s.PortLink);
    lines << QStringLiteral("--------------- NVT ------------------");
    lines << SwitchLine("NVT enable  : ", s.NVTEnabledCheckBox);
    lines << SwitchLine("NVT filter  : ", s.NVTFilterCheckBox);
    lines << SwitchLine("NVT port setup : ", s.NVTPortSetupCheckBox);
    lines << SwitchLine("Keep connection: ", s.NVTKeepCheckBox);
    lines << QStringLiteral("--------------- TEA ------------------");
    lines << SwitchLine("Use TEA auth. : ", s.TEAEnabledCheckBox);
    lines << QStringLiteral("TEA Key:") + s.UKEdit1 + QLatin1Char(':') + s.UKEdit2
            + QLatin1Char(':') + s.UKEdit3 + QLatin1Char(':') + s.UKEdit4;
    lines << QStringLiteral("--------------- Settings -------------");
    lines << SwitchLine("Log enabled : ", s.LogEnabledCheckBox);
    lines << SwitchLine("TCP server mode : ", s.TCPServerModeCheckBox);
    lines << SwitchLine("Create port on start VSP : ", s.StartupCreateCheckBox);
    lines << SwitchLine("Hide on startup : ", s.StartupHideCheckBox);
    lines << SwitchLine("Don't create if ping fail : ", s.PingFailCheckBox);
    lines << SwitchLine("Connect closed : ", s.ConnectClosedCheckBox);
    lines << QStringLiteral("-------------- OS type -----------------");
    lines << osLines;
    lines << QStringLiteral("--------------- Log ------------------");
    lines << s.LogMessagesMemo;
    lines << QStringLiteral("---------- Module settings -------------");
    return lines;
}

QString OsReleasePrettyName(const QString& osReleaseText)
{
    static const QString key = QStringLiteral("PRETTY_NAME=");
    QString name;
    for (const QString& rawLine : osReleaseText.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line.startsWith(key))
            name = UnquoteShellValue(line.mid(key.size())); // the last assignment wins
    }
    return name;
}

QStringList FormatOperatingSystemLines(
    const QString& sysname, const QString& release, const QString& osReleaseText)
{
    QString kernel = sysname;
    if (!release.isEmpty())
        kernel += (kernel.isEmpty() ? QString() : QStringLiteral(" ")) + release;
    return { kernel, OsReleasePrettyName(osReleaseText) };
}

QStringList OperatingSystemLines()
{
    utsname names {};
    QString sysname;
    QString release;
    if (uname(&names) == 0) {
        sysname = QString::fromLocal8Bit(names.sysname);
        release = QString::fromLocal8Bit(names.release);
    }
    // os-release(5): /etc first, the vendor copy under /usr/lib when /etc has none.
    QString osRelease = ReadTextFile(QStringLiteral("/etc/os-release"));
    if (osRelease.isEmpty()) osRelease = ReadTextFile(QStringLiteral("/usr/lib/os-release"));
    return FormatOperatingSystemLines(sysname, release, osRelease);
}

} // namespace vsp
