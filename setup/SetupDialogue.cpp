#include "setup/SetupDialogue.h"

namespace vsp {

namespace {

constexpr char ConsolePromptMark = '>';

QString Value(const SetupField& field, const ModuleSetupValues& v)
{
    if (field.Text) return v.*field.Text;
    if (field.Switch) return (v.*field.Switch) ? QStringLiteral("1") : QStringLiteral("0");
    return QString::number(v.*field.Position + field.PositionOffset);
}

constexpr SetupField TextOf(QString ModuleSetupValues::*field)
{
    return { field, {}, {}, 0 };
}
constexpr SetupField SwitchOf(bool ModuleSetupValues::*field)
{
    return { {}, field, {}, 0 };
}
constexpr SetupField PositionOf(int ModuleSetupValues::*field, int offset = 0)
{
    return { {}, {}, field, offset };
}

} // namespace

// The address of the last prompt is the address the dialog is connected to.
using V = ModuleSetupValues;
const SetupPrompt SetupPrompts[SetupResetStep] = {
    { "TCP/IP Port -> ", "J", TextOf(&V::TCPPortEdit) },
    { "Subnet Mask -> ", "M", TextOf(&V::TCPMaskEdit) },
    { "Gateway -> ", "G", TextOf(&V::TCPGatewayEdit) },
    { "NVT -> ", "V", SwitchOf(&V::OutNVTCheck) },
    { "Keep connection -> ", "K", SwitchOf(&V::OutKeepConnection) },
    { "Erase buffer on -> ", "E", PositionOf(&V::OutEraseOn) },
    { "In IP address -> ", "W", TextOf(&V::InIPEdit) },
    { "In IP mask -> ", "N", TextOf(&V::InMaskEdit) },
    { "Out IP adress -> ", "S", TextOf(&V::OutIPEdit) },
    { "Out IP port -> ", "U", TextOf(&V::OutPortEdit) },
    { "Out IP mode -> ", "T", PositionOf(&V::IPModeRadio) },
    { "TEA key : 0 -> ", "%K0:", TextOf(&V::TEA0Edit) },
    { "TEA key : 1 -> ", "%K1:", TextOf(&V::TEA1Edit) },
    { "TEA key : 2 -> ", "%K2:", TextOf(&V::TEA2Edit) },
    { "TEA key : 3 -> ", "%K3:", TextOf(&V::TEA3Edit) },
    { "Serial speed -> ", "&B", TextOf(&V::SSpeedCombo) },
    { "Data bits -> ", "&D", TextOf(&V::SBits) },
    { "Parity -> ", "&P", PositionOf(&V::SParityCombo, 1) },
    { " Variable parity -> ", "&V", SwitchOf(&V::SVarParityCheck) },
    { "Stop bits -> ", "&S", PositionOf(&V::SStopCombo, 1) },
    { "Flow controll -> ", "&C", PositionOf(&V::SFlowControl, 1) },
    { "485 / 232 controll -> ", "&R", PositionOf(&V::SRSControll) },
    { "Serial line timeout -> ", "&T", TextOf(&V::STimeout) },
    { "Char transmit delay -> ", "&G", TextOf(&V::SDelay) },
    { "Tx controll -> ", "&H", PositionOf(&V::STxControll) },
    { " Buffer space compression -> ", "&O", SwitchOf(&V::SSpaceCommpress) },
    { "Trigger AND mask -> ", "#T", TextOf(&V::IOTrigger) },
    { "Power Up INIT -> ", "#A", TextOf(&V::IOPUInit) },
    { "Power Up AND mask -> ", "#B", TextOf(&V::IOPUAnd) },
    { "Power Up OR mask -> ", "#C", TextOf(&V::IOPUOr) },
    { "KEEP mask -> ", "#X", TextOf(&V::IOKeep) },
    { "AND mask -> ", "#Y", TextOf(&V::IOAnd) },
    { "OR mask -> ", "#Z", TextOf(&V::IOOr) },
    { "IP address -> ", "I", TextOf(&V::TCPIPEdit) },
};

SetupStepAction SetupDialogueStep(int step, const ModuleSetupValues& v)
{
    if (step >= 0 && step < SetupResetStep) {
        const SetupPrompt& prompt = SetupPrompts[step];
        SetupStepAction action;
        action.Kind = SetupStepKind::SendCommand;
        action.LogLabel = QString::fromLatin1(prompt.Label);
        action.Command = QString::fromLatin1(prompt.Letter) + Value(prompt.Field, v);
        return action;
    }
    switch (step) {
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
