#include "setup/SetupDialogue.h"

namespace vsp {

namespace {

constexpr char ConsolePromptMark = '>';

QString Number(int value)
{
    return QString::number(value);
}
QString Switch(const char* prefix, bool on)
{
    return QString::fromLatin1(prefix) + (on ? QLatin1Char('1') : QLatin1Char('0'));
}

SetupStepAction Send(const char* label, const QString& command)
{
    SetupStepAction action;
    action.Kind = SetupStepKind::SendCommand;
    action.LogLabel = QString::fromLatin1(label);
    action.Command = command;
    return action;
}

} // namespace

// The order is the order in which the console asks; the labels are never compared with
// what it prints.
SetupStepAction SetupDialogueStep(int step, const ModuleSetupValues& v)
{
    switch (step) {
    case 0:
        return Send("TCP/IP Port -> ", "J" + v.TCPPortEdit);
    case 1:
        return Send("Subnet Mask -> ", "M" + v.TCPMaskEdit);
    case 2:
        return Send("Gateway -> ", "G" + v.TCPGatewayEdit);
    case 3:
        return Send("NVT -> ", Switch("V", v.OutNVTCheck));
    case 4:
        return Send("Keep connection -> ", Switch("K", v.OutKeepConnection));
    case 5:
        return Send("Erase buffer on -> ", "E" + Number(v.OutEraseOn));
    case 6:
        return Send("In IP address -> ", "W" + v.InIPEdit);
    case 7:
        return Send("In IP mask -> ", "N" + v.InMaskEdit);
    case 8:
        return Send("Out IP adress -> ", "S" + v.OutIPEdit);
    case 9:
        return Send("Out IP port -> ", "U" + v.OutPortEdit);
    case 10:
        return Send("Out IP mode -> ", "T" + Number(v.IPModeRadio));
    case 11:
        return Send("TEA key : 0 -> ", "%K0:" + v.TEA0Edit);
    case 12:
        return Send("TEA key : 1 -> ", "%K1:" + v.TEA1Edit);
    case 13:
        return Send("TEA key : 2 -> ", "%K2:" + v.TEA2Edit);
    case 14:
        return Send("TEA key : 3 -> ", "%K3:" + v.TEA3Edit);
    case 15:
        return Send("Serial speed -> ", "&B" + v.SSpeedCombo);
    case 16:
        return Send("Data bits -> ", "&D" + v.SBits);
    case 17: // the console counts parity, stop bits and flow control from 1
        return Send("Parity -> ", "&P" + Number(v.SParityCombo + 1));
    case 18:
        return Send(" Variable parity -> ", Switch("&V", v.SVarParityCheck));
    case 19:
        return Send("Stop bits -> ", "&S" + Number(v.SStopCombo + 1));
    case 20:
        return Send("Flow controll -> ", "&C" + Number(v.SFlowControl + 1));
    case 21:
        return Send("485 / 232 controll -> ", "&R" + Number(v.SRSControll));
    case 22:
        return Send("Serial line timeout -> ", "&T" + v.STimeout);
    case 23:
        return Send("Char transmit delay -> ", "&G" + v.SDelay);
    case 24:
        return Send("Tx controll -> ", "&H" + Number(v.STxControll));
    case 25:
        return Send(" Buffer space compression -> ", Switch("&O", v.SSpaceCommpress));
    case 26:
        return Send("Trigger AND mask -> ", "#T" + v.IOTrigger);
    case 27:
        return Send("Power Up INIT -> ", "#A" + v.IOPUInit);
    case 28:
        return Send("Power Up AND mask -> ", "#B" + v.IOPUAnd);
    case 29:
        return Send("Power Up OR mask -> ", "#C" + v.IOPUOr);
    case 30:
        return Send("KEEP mask -> ", "#X" + v.IOKeep);
    case 31:
        return Send("AND mask -> ", "#Y" + v.IOAnd);
    case 32:
        return Send("OR mask -> ", "#Z" + v.IOOr);
    case 33: // the address the dialog is connected to
        return Send("IP address -> ", "I" + v.TCPIPEdit);
    case SetupResetStep: {
        SetupStepAction action;
        action.Kind = SetupStepKind::ConfirmReset;
        action.LogLines
            = QStringList { QStringLiteral("Setup complete"), QStringLiteral("Reset module ") };
        action.Command = QStringLiteral("R");
        action.BoxText = QStringLiteral("Setup complete. Sending reset to module");
        return action;
    }
    default: {
        // A console that keeps prompting after the reset gets nothing more.
        SetupStepAction action;
        action.Kind = SetupStepKind::Finished;
        action.LogLines = QStringList { QStringLiteral("Setup complete") };
        action.BoxText = QStringLiteral("Setup complete");
        return action;
    }
    }
}

QByteArray SetupCommandBytes(const QString& command)
{
    return command.toLatin1() + SetupCommandEnd;
}

bool IsConsolePrompt(const QByteArray& chunk)
{
    return chunk.contains(ConsolePromptMark);
}

} // namespace vsp
