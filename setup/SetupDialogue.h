#pragma once
// The "Setup Module" dialogue with a module's set-up console: each prompt is answered
// with the next command built from the dialog's fields. Pure: the dialog gathers its
// fields into ModuleSetupValues, asks for the step's action and carries it out.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace vsp {

// The module's set-up console, written by the "Setup Module" dialog and read by the
// settings report.
constexpr uint16_t SetupConsolePort = 99;

// The dialog's fields as they stand: texts exactly as typed (nothing is validated),
// positions as the list or radio group reports them (-1 when nothing is selected), and
// check states. Each member is named after its control; the initial values are the
// dialog's own defaults.
struct ModuleSetupValues {
    // "TCP/IP"
    QString TCPIPEdit = QStringLiteral("192.168.1.1");
    QString TCPPortEdit = QStringLiteral("23");
    QString TCPMaskEdit = QStringLiteral("255.255.255.0");
    QString TCPGatewayEdit = QStringLiteral("192.168.1.26");
    bool OutNVTCheck = false;
    bool OutKeepConnection = false;
    int OutEraseOn = 0;
    // "In IP setup"
    QString InIPEdit = QStringLiteral("0.0.0.0");
    QString InMaskEdit = QStringLiteral("0.0.0.0");
    // "Out IP setup"
    QString OutIPEdit = QStringLiteral("192.168.0.9");
    QString OutPortEdit = QStringLiteral("23");
    int IPModeRadio = 0;
    // "Security setup"
    QString TEA0Edit = QStringLiteral("3A:7F:19:C2");
    QString TEA1Edit = QStringLiteral("B0:4E:6D:15");
    QString TEA2Edit = QStringLiteral("5C:92:E8:A1");
    QString TEA3Edit = QStringLiteral("0F:63:D7:B4");
    // "Serial setup"
    QString SSpeedCombo = QStringLiteral("9600");
    QString SBits = QStringLiteral("8");
    int SParityCombo = 0;
    bool SVarParityCheck = false;
    int SStopCombo = 0;
    bool SSpaceCommpress = false;
    int SFlowControl = 0;
    int SRSControll = 0;
    QString STimeout = QStringLiteral("0");
    QString SDelay = QStringLiteral("0");
    int STxControll = 0;
    // "I/O Controll setup"
    QString IOTrigger = QStringLiteral("255");
    QString IOPUInit = QStringLiteral("0");
    QString IOPUAnd = QStringLiteral("255");
    QString IOPUOr = QStringLiteral("0");
    QString IOKeep = QStringLiteral("0");
    QString IOAnd = QStringLiteral("255");
    QString IOOr = QStringLiteral("0");
};

// Steps 0-33 set one value each, step 34 resets the module, later prompts get nothing.
constexpr int SetupResetStep = 34;

// Where a prompt's value comes from: one field of the dialog, as text, as a switch ("1" when
// ticked, else "0") or as a list position in decimal; the console counts some lists from 1.
struct SetupField {
    QString ModuleSetupValues::*Text = nullptr;
    bool ModuleSetupValues::*Switch = nullptr;
    int ModuleSetupValues::*Position = nullptr;
    int PositionOffset = 0;
};

// One prompt of the console: the dialog's log label, the command's letters, its value.
struct SetupPrompt {
    const char* Label; // inserted without a line break
    const char* Letter; // the command is these letters followed by the value
    SetupField Field;
};

// The prompts in the order the console asks them (the labels are never compared with what
// it prints).
extern const SetupPrompt SetupPrompts[SetupResetStep];

enum class SetupStepKind {
    SendCommand, // insert LogLabel, then Command + " | ", send Command + CR LF
    ConfirmReset, // append LogLines, show the box, once confirmed insert and send Command
    Finished, // append LogLines, show the box; nothing is sent
};

struct SetupStepAction {
    SetupStepKind Kind = SetupStepKind::Finished;
    QString LogLabel; // SendCommand: inserted without a line break
    QStringList LogLines; // ConfirmReset, Finished: appended as lines
    QString Command; // SendCommand, ConfirmReset: without CR LF
    QString BoxText; // ConfirmReset, Finished: the "TCP setup" information box
};

constexpr char SetupBoxCaption[] = "TCP setup";
constexpr char SetupCommandLogEnd[] = " | "; // after the command in the log
constexpr char SetupCommandEnd[] = "\r\n"; // after the command on the wire

// What to do for the step-th prompt (step = SetupStep before it is incremented).
SetupStepAction SetupDialogueStep(int step, const ModuleSetupValues& values);

// The bytes to send for a command: its text, one byte per character, then CR LF.
QByteArray SetupCommandBytes(const QString& command);

// A received piece holding ">" anywhere is one prompt, however many it holds.
bool IsConsolePrompt(const QByteArray& chunk);

} // namespace vsp
