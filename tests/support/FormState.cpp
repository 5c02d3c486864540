#include "tests/support/FormState.h"

#include "app/Controls.h"
#include "app/Registry.h"
#include "app/Umainf.h"

#include <QCheckBox>
#include <QComboBox>
#include <QStringList>

namespace vsptest {

using namespace vsp;

FormState StateOf(const TMainForm& f)
{
    FormState s;
    s["ip"] = f.IPAddressComboBox->currentText();
    s["port"] = f.PortLabeledEdit->text();
    s["com"] = f.ComPortComboBox->currentText();
    s["sport"] = f.ServerPortLabeledEdit->text();
    s["tea1"] = f.UKEdit1->text();
    s["tea2"] = f.UKEdit2->text();
    s["tea3"] = f.UKEdit3->text();
    s["tea4"] = f.UKEdit4->text();
    const std::pair<const char*, QCheckBox*> boxes[] = {
        { "F", f.PingFailCheckBox },
        { "H", f.StartupHideCheckBox },
        { "P", f.StartupCreateCheckBox },
        { "S", f.TCPServerModeCheckBox },
        { "N", f.NVTEnabledCheckBox },
        { "Nf", f.NVTFilterCheckBox },
        { "Nk", f.NVTKeepCheckBox },
        { "Np", f.NVTPortSetupCheckBox },
        { "log", f.LogEnabledCheckBox },
        { "tea", f.TEAEnabledCheckBox },
        { "cc", f.ConnectClosedCheckBox },
        { "boot", f.StartOnBootCheckBox },
        { "kelmar", f.KelmarTestCheckBox },
    };
    for (const auto& [name, box] : boxes)
        s[name] = box->isChecked() ? "1" : "0";
    return s;
}

FormState Expected(const QString& changes)
{
    FormState s { { "ip", "192.168.1.60" }, { "port", "" }, { "com", "COM2" }, { "sport", "" },
        { "tea1", "3A7F19C2" }, { "tea2", "B04E6D15" }, { "tea3", "5C92E8A1" },
        { "tea4", "0F63D7B4" } };
    for (const char* box :
        { "F", "H", "P", "S", "N", "Nf", "Nk", "Np", "log", "tea", "cc", "boot", "kelmar" })
        s[box] = "0";
    for (const QString& change : changes.split(u'|', Qt::SkipEmptyParts)) {
        if (change.startsWith(u'+'))
            s[change.mid(1)] = "1";
        else
            s[change.section(u'=', 0, 0)] = change.section(u'=', 1);
    }
    return s;
}

QString Show(const FormState& state)
{
    QStringList parts;
    for (auto it = state.begin(); it != state.end(); ++it)
        parts << it.key() + u'=' + it.value();
    return parts.join(u' ');
}

QByteArray SettingsText(const SettingsList& values, bool driver)
{
    TRegDocument doc;
    if (driver)
        doc.SetValue(QString::fromLatin1(DriverKeyPath), QString::fromLatin1(DriverValueName),
            TRegValue::Integer(1));
    for (const auto& [name, value] : values)
        doc.SetValue(QString::fromLatin1(SettingsKeyPath), name, value);
    return doc.Serialize();
}

SettingsList FullSettings(bool booleans)
{
    auto s = [](const char* text) { return TRegValue::String(QString::fromLatin1(text)); };
    const TRegValue b = TRegValue::Integer(booleans ? 1 : 0);
    return { { "IP", s("10.9.8.7") }, { "Port", s("4001") }, { "COM name", s("COM7") },
        { "ServerPort", s("5005") }, { "NVT Enabled", b }, { "NVT Filter", b },
        { "NVT Port setup", b }, { "Keep connection", b }, { "Use TEA auth", b },
        { "Log enabled", b }, { "Server mode", b }, { "Startup create", b }, { "Startup hide", b },
        { "Ping fail", b }, { "Connect closed", b }, { "TEA1", s("11111111") },
        { "TEA2", s("22222222") }, { "TEA3", s("33333333") }, { "TEA4", s("44444444") },
        { "Kelmar device present", TRegValue::Integer(0) } };
}

QString StateKey(const QString& valueName)
{
    static const QMap<QString, QString> keys {
        { "IP", "ip" },
        { "Port", "port" },
        { "COM name", "com" },
        { "ServerPort", "sport" },
        { "NVT Enabled", "N" },
        { "NVT Filter", "Nf" },
        { "NVT Port setup", "Np" },
        { "Keep connection", "Nk" },
        { "Use TEA auth", "tea" },
        { "Log enabled", "log" },
        { "Server mode", "S" },
        { "Startup create", "P" },
        { "Startup hide", "H" },
        { "Ping fail", "F" },
        { "Connect closed", "cc" },
        { "TEA1", "tea1" },
        { "TEA2", "tea2" },
        { "TEA3", "tea3" },
        { "TEA4", "tea4" },
        { "Kelmar device present", "kelmar" },
    };
    return keys.value(valueName);
}

} // namespace vsptest
