// Settings store, command line and start on boot.
#include "app/Umainf.h"

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Registry.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <array>
#include <cstdio>

namespace vsp {

namespace {

// A setting is the text of an edit box or combo box, or the state of a check box.
struct Setting {
    const char* Name;
    QWidget* Control;
    int SaveRank; // the place of its value among those written
};

constexpr int SettingCount = 20;
using SettingTable = std::array<Setting, SettingCount>;

// The stored settings in the order they are loaded. Setting a check box runs its click
// handler when its state changes, so the order matters: "NVT Enabled" before its
// sub-options, "Kelmar device present" last (its handler checks three NVT boxes, whatever
// was stored for them). They are written in the order they have always been written.
SettingTable Settings(TMainForm& f)
{
    return { {
        { "IP", f.IPAddressComboBox, 0 },
        { "Port", f.PortLabeledEdit, 1 },
        { "COM name", f.ComPortComboBox, 3 },
        { "ServerPort", f.ServerPortLabeledEdit, 2 },
        { "NVT Enabled", f.NVTEnabledCheckBox, 4 },
        { "NVT Filter", f.NVTFilterCheckBox, 5 },
        { "NVT Port setup", f.NVTPortSetupCheckBox, 6 },
        { "Keep connection", f.NVTKeepCheckBox, 7 },
        { "Use TEA auth", f.TEAEnabledCheckBox, 8 },
        { "Log enabled", f.LogEnabledCheckBox, 9 },
        { "Server mode", f.TCPServerModeCheckBox, 10 },
        { "Startup create", f.StartupCreateCheckBox, 11 },
        { "Startup hide", f.StartupHideCheckBox, 12 },
        { "Ping fail", f.PingFailCheckBox, 14 },
        { "Connect closed", f.ConnectClosedCheckBox, 15 },
        { "TEA1", f.UKEdit1, 16 },
        { "TEA2", f.UKEdit2, 17 },
        { "TEA3", f.UKEdit3, 18 },
        { "TEA4", f.UKEdit4, 19 },
        { "Kelmar device present", f.KelmarTestCheckBox, 13 },
    } };
}

// The same settings in the order they are written.
SettingTable InSaveOrder(const SettingTable& settings)
{
    SettingTable ordered = settings;
    for (const Setting& s : settings)
        ordered[size_t(s.SaveRank)] = s;
    return ordered;
}

QString TextOf(QWidget* control)
{
    if (auto* combo = qobject_cast<QComboBox*>(control)) return combo->currentText();
    return static_cast<QLineEdit*>(control)->text();
}

void SetTextOf(QWidget* control, const QString& text)
{
    if (auto* combo = qobject_cast<QComboBox*>(control))
        combo->setEditText(text);
    else
        static_cast<QLineEdit*>(control)->setText(text);
}

QString Name(const char* name)
{
    return QString::fromLatin1(name);
}

// The store main named, else the user's usual one.
TRegistry UserStore(const TPlatform& platform)
{
    return TRegistry(TRegFile::StorePathFor(platform.StorePath, {}),
        platform.AutostartDir.isEmpty() ? TRegistry::AutostartDirFor({}) : platform.AutostartDir);
}

void ShowError(TMainForm* owner, const QString& text, const QString& caption)
{
    MessageBox(
        { owner, text, caption, MsgIcon::Error, MsgButtons::Ok }, owner->Platform.MessageBox);
}

} // namespace

void TMainForm::LoadSettings()
{
    TRegistry reg = UserStore(Platform);
    const QString caption = QStringLiteral("Kelmar VSP");

    // Start on boot: only the entry's presence counts.
    if (reg.OpenKey(Name(RunKeyPath), false)) {
        if (reg.ValueExists(Name(RunValueName))) StartOnBootCheckBox->setChecked(true);
        reg.CloseKey();
    }

    // The driver check. A store that can't be read at all is named with what is wrong
    // with it: telling the user to install the driver again would not help.
    bool installed = false;
    if (!reg.OpenKey(Name(DriverKeyPath), true)) {
        Terminated = true;
        ExitCode = 1;
        if (reg.Error() == TStoreError::Corrupt) {
            ShowError(this,
                QStringLiteral("The settings file is damaged and was left as it is:\n%1\n"
                               "Correct or remove it, then start again.")
                    .arg(reg.ErrorString()),
                caption);
            return;
        }
        if (reg.Error() == TStoreError::Unreadable) {
            ShowError(this,
                QStringLiteral("Can't read the settings file:\n%1").arg(reg.ErrorString()),
                caption);
            return;
        }
        // Not writable: the driver message as it has always been, and the cause for whoever
        // started the program from a terminal.
        std::fprintf(stderr, "vsp: %s\n", qPrintable(reg.ErrorString()));
    } else {
        reg.ReadBool(Name(DriverValueName), installed);
        reg.CloseKey();
    }
    if (!installed) {
        Terminated = true;
        ExitCode = 1;
        ShowError(
            this, QStringLiteral("VSP driver not installed. Run VSP Driver Install"), caption);
        return;
    }

    // The settings, in their load order. Before the first normal close there is no key yet: that is
    // a first start, not a damaged store, so the design defaults stay and nothing is reported.
    const QString key = Name(SettingsKeyPath);
    if (!reg.OpenKey(key, false)) {
        if (reg.Error() != TStoreError::NotFound) {
            StoreLoadIncomplete = true;
            IncompleteStorePath = reg.StorePath();
            ShowError(this, QStringLiteral("Can't read %1\n%2").arg(key, reg.ErrorString()),
                QStringLiteral("Error"));
        }
        return;
    }
    // A value that can't be read (missing, or of the wrong type: a file written by hand or by
    // an older version) leaves its control as it was and the load goes on, so that the next
    // close writes the file whole again. Every such value is named, in one box.
    QStringList unreadable;
    for (const Setting& s : Settings(*this)) {
        TReadStatus status;
        TRegDataType wanted;
        if (auto* box = qobject_cast<QCheckBox*>(s.Control)) {
            wanted = TRegDataType::Integer;
            bool on = false;
            status = reg.ReadBool(Name(s.Name), on);
            if (status == TReadStatus::Ok) box->setChecked(on);
        } else {
            // A missing text empties its control rather than keep the design default.
            wanted = TRegDataType::String;
            QString text;
            status = reg.ReadString(Name(s.Name), text);
            if (status != TReadStatus::WrongType) SetTextOf(s.Control, text);
            if (status == TReadStatus::Missing) status = TReadStatus::Ok;
        }
        if (status != TReadStatus::Ok)
            unreadable << QStringLiteral("Can't read value '%1' from %2: %3")
                              .arg(Name(s.Name), key, DescribeReadStatus(status, wanted));
    }
    reg.CloseKey();
    if (!unreadable.isEmpty()) ShowError(this, unreadable.join(u'\n'), QStringLiteral("Error"));
}

bool TMainForm::SaveSettings()
{
    if (StoreLoadIncomplete) {
        // Saving now would replace every stored value with what the controls happened to
        // hold. The file stays as it is, and the close goes on.
        ShowError(this,
            QStringLiteral("The settings were not saved: %1 could not be read at start.\n"
                           "Correct or remove it, then start again.")
                .arg(IncompleteStorePath),
            QStringLiteral("Error"));
        return true;
    }
    TRegistry reg = UserStore(Platform);

    // Start on boot. A failure here is reported, and the settings are saved anyway.
    bool runWritten = reg.OpenKey(Name(RunKeyPath), false);
    if (runWritten) {
        // The program's full path and nothing else: started at log-on, it reads the store.
        if (StartOnBootCheckBox->isChecked())
            reg.WriteString(Name(RunValueName), QCoreApplication::applicationFilePath());
        else
            reg.DeleteValue(Name(RunValueName));
        runWritten = reg.CloseKey();
    }
    if (!runWritten) {
        std::fprintf(stderr, "vsp: %s\n", qPrintable(reg.ErrorString()));
        ShowError(this, QStringLiteral("Can't write to system registry"), QStringLiteral("Error"));
    }

    // The settings, in one atomic write: either all of them reach the store or none.
    const SettingTable order = InSaveOrder(Settings(*this));
    const QString key = Name(SettingsKeyPath);
    bool written = reg.OpenKey(key, true);
    if (written) {
        for (const Setting& s : order) {
            if (auto* box = qobject_cast<QCheckBox*>(s.Control))
                reg.WriteBool(Name(s.Name), box->isChecked());
            else
                reg.WriteString(Name(s.Name), TextOf(s.Control));
        }
        written = reg.CloseKey();
    }
    if (!written) {
        // Nothing was written, so the first value is the first that failed.
        ShowError(this,
            QStringLiteral("Can't write value '%1' to %2: %3\nThe settings were not saved.")
                .arg(Name(order[0].Name), key, reg.ErrorString()),
            QStringLiteral("Error"));
        return false;
    }
    return true;
}

int TMainForm::ApplyCommandLine()
{
    const auto SwitchFor = [this](QChar letter) {
        switch (letter.unicode()) {
        case u'F':
            return PingFailCheckBox;
        case u'H':
            return StartupHideCheckBox;
        case u'P':
            return StartupCreateCheckBox;
        case u'S':
            return TCPServerModeCheckBox;
        default:
            return NVTEnabledCheckBox;
        }
    };
    const auto NvtOptionFor = [this](QChar value) -> QCheckBox* {
        switch (value.unicode()) {
        case u'f':
            return NVTFilterCheckBox;
        case u'k':
            return NVTKeepCheckBox;
        case u'p':
            return NVTPortSetupCheckBox;
        default:
            return nullptr;
        }
    };
    for (int i = 1; i <= int(params_.size()); ++i) {
        const QString& p = params_.at(i - 1);
        // A lone "-" has no letter to act on and is as wrong as any unknown one.
        if (p.size() < 2 || p.at(0) != u'-') return i;
        const QChar letter = p.at(1);
        const QString rest = p.mid(2);
        switch (letter.unicode()) {
        case u'R':
            if (i != 1) return i;
            LoadSettings();
            // The load ended the program (driver check): nothing more to apply.
            if (Terminated) return 0;
            break;
        case u'F':
        case u'H':
        case u'P':
        case u'S':
        case u'N': {
            // Only the first character after the letter counts: -F1xyz is -F1.
            if (rest.isEmpty()) return i;
            const QChar value = rest.at(0);
            if (value == u'0' || value == u'1') {
                SwitchFor(letter)->setChecked(value == u'1');
                break;
            }
            QCheckBox* option = letter == u'N' ? NvtOptionFor(value) : nullptr;
            if (!option || !NVTEnabledCheckBox->isChecked()) return i;
            option->setChecked(true);
            break;
        }
        case u'c':
            ComPortComboBox->setEditText(QStringLiteral("COM") + rest);
            break;
        case u'i': {
            const qsizetype colon = rest.indexOf(u':');
            if (colon >= 0) {
                IPAddressComboBox->setEditText(rest.left(colon));
                PortLabeledEdit->setText(rest.mid(colon + 1));
            } else {
                IPAddressComboBox->setEditText(rest);
            }
            break;
        }
        case u's':
            ServerPortLabeledEdit->setText(rest);
            break;
        default:
            return i;
        }
    }
    return 0;
}

QString CommandLineUsage()
{
    return QStringLiteral(
        "Usage: vsp [-R] [-F0|-F1] [-H0|-H1] [-P0|-P1] [-S0|-S1] [-N0|-N1] [-Nf] [-Nk] [-Np]\n"
        "           [-cNAME] [-iADDRESS[:PORT]] [-sPORT]\n"
        "       vsp --help | --version\n"
        "\n"
        "  -R                load the stored settings first (only as the first parameter)\n"
        "  -F0, -F1          \"Don't create port if ping fail\" off, on\n"
        "  -H0, -H1          \"Hide on startup\" off, on\n"
        "  -P0, -P1          \"Create port on start VSP\" off, on\n"
        "  -S0, -S1          \"TCP server mode\" off, on\n"
        "  -N0, -N1          \"NVT enable\" off, on\n"
        "  -Nf, -Nk, -Np     \"NVT filter\", \"Keep connection\", \"NVT port setup\" on\n"
        "                    (only after -N1)\n"
        "  -cNAME            port name \"COM\" + NAME (-c5 gives COM5)\n"
        "  -iADDRESS[:PORT]  module address, and its TCP port after the first \":\"\n"
        "  -sPORT            server port\n"
        "\n"
        "Started with parameters, vsp never writes the settings store (even with -R).\n"
        "Exit codes: 0 ended normally; 1 no driver record, an unreadable store, or (without\n"
        "a display) a port that could not be made at start; 2 a rejected parameter.\n"
        "See vsp(1).\n");
}

} // namespace vsp
