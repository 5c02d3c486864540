// The Telnet side of the data link: the NVT option boxes, the hook the relay calls to
// escape 0xFF towards the module, the keep-connection message, the
// answer to a module's TEA challenge and the RFC 2217 frames that carry the virtual port's
// line settings to the module, on each change and at the start of each connection. The byte work is
// done by the codecs (Nvt, Tea, Rfc2217); the handlers here only gather the inputs, send and
// report.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "link/Nvt.h"
#include "link/Rfc2217.h"
#include "link/Sockets.h"
#include "link/Tea.h"
#include "link/Telnet.h"
#include "vport/PtyPort.h"

#include "app/Controls.h"

#include <QCheckBox>
#include <QLabel>
#include <array>
#include <cstring>

namespace vsp {

// ---- Hook of the relay ----

int32_t TMainForm::EscapeOutgoing(uint8_t* bytes, int32_t count)
{
    return NvtEscapeOutgoing(bytes, count);
}

// ---- Keep-connection message ----

void TMainForm::SendKeepConnection()
{
    KeepTicks = 0;
    if (!NVTKeepCheckBox->isChecked()) return;
    // Bytes that wait (the program's, a TEA answer still to come) are no idleness, and a NOP
    // sent past them could land ahead of the answer or inside a frame the store cut.
    if (!LinkActivity && LinkUsable() && PendingCount == 0 && !AwaitingTeaChallenge()) {
        const TelnetFrame nop = KeepConnectionMessage();
        // A link too busy to take two bytes is not idle: the next check tries again.
        if (SendMessage(DataConnection, nop.Bytes, nop.Size, true) != TSendResult::Whole) return;
        Log(QStringLiteral("Keep connection message sent"));
        // The message itself counts as activity: on an idle link it goes out on every
        // second check.
        LinkActivity = true;
        return;
    }
    LinkActivity = false;
}

void TMainForm::OnVSPClientSocketWrite(TCustomWinSocket*)
{
    LinkActivity = true;
}

// ---- Option boxes ----

void TMainForm::NVTEnabledCheckBoxClick()
{
    const bool on = NVTEnabledCheckBox->isChecked();
    for (QCheckBox* box : { NVTFilterCheckBox, NVTPortSetupCheckBox, NVTKeepCheckBox }) {
        if (!on) box->setChecked(false);
        box->setEnabled(on);
    }
}

void TMainForm::NVTKeepCheckBoxClick()
{
    // The first message then waits a full idle period instead of going out at once.
    if (NVTKeepCheckBox->isChecked()) LinkActivity = true;
}

// ---- TEA challenge ----

void TMainForm::AnswerTeaChallenge(TCustomWinSocket* socket, const uint8_t* block, int32_t count)
{
    // The key is read from the boxes for every challenge: an edit counts from the next one,
    // and no other user of TEA can change it meanwhile.
    const std::array<QString, 4> boxes { UKEdit1->text(), UKEdit2->text(), UKEdit3->text(),
        UKEdit4->text() };
    const TeaKeyParse key = ParseTeaKey(boxes);
    if (!key.Key) {
        // Shown from the event loop: a modal box inside the read event would let further
        // socket events run underneath it.
        PostMessageBox({ this, TeaKeyErrorText(key.BadBox, boxes[size_t(key.BadBox - 1)]),
                           ApplicationTitle(), MsgIcon::Error, MsgButtons::Ok },
            Platform.MessageBox, this);
        return;
    }
    const TeaAnswer answer = AnswerTeaChallengeBytes(block, count, *key.Key);
    if (!answer.CrcOk) {
        Log(QStringLiteral("Input TEA string CRC error"));
        return;
    }
    // The module's verdict is not awaited: one that rejects the answer closes the link.
    const auto* response = reinterpret_cast<const uint8_t*>(answer.Response);
    // Should the new connection not take it at once, it still goes out before any data.
    if (SendMessage(socket, response, TeaChallengeChars, true) == TSendResult::Nothing
        && socket == DataConnection)
        StorePending(response, TeaChallengeChars, true);
}

// ---- Line settings to the module (RFC 2217) ----

namespace {
void AddLineControl(TelnetFrames& frames, const TLineSettings::TLineControl& line)
{
    // Always parity, stop size, data size, in this order.
    frames.Add(PortControlFrame(telnet::SET_PARITY, SetParityValue(line.Parity)));
    frames.Add(PortControlFrame(telnet::SET_STOPSIZE, SetStopSizeValue(line.StopBits)));
    frames.Add(PortControlFrame(telnet::SET_DATASIZE, SetDataSizeValue(line.WordLength)));
}

void AddHandflow(TelnetFrames& frames, const TLineSettings::THandflow& flow)
{
    frames.Add(PortControlFrame(
        telnet::SET_CONTROL, SetControlValue(flow.ControlHandShake, flow.FlowReplace)));
}
} // namespace

// A line the program switches with SET-CONTROL: its setting, its two values, its name.
struct TControlLine {
    std::optional<bool> TLineSettings::*Setting;
    uint8_t On, Off;
    const char* Name;
};

namespace {
constexpr TControlLine BreakLine { &TLineSettings::Break, telnet::CONTROL_BREAK_ON,
    telnet::CONTROL_BREAK_OFF, "break" };
constexpr TControlLine DtrLine { &TLineSettings::Dtr, telnet::CONTROL_DTR_ON,
    telnet::CONTROL_DTR_OFF, "DTR" };
constexpr TControlLine RtsLine { &TLineSettings::Rts, telnet::CONTROL_RTS_ON,
    telnet::CONTROL_RTS_OFF, "RTS" };
constexpr TControlLine ControlLines[] = { BreakLine, DtrLine, RtsLine };

QString ControlLineSetText(const TControlLine& line, bool on)
{
    return QStringLiteral("Remote %1 set %2")
        .arg(QLatin1String(line.Name), on ? QStringLiteral("on") : QStringLiteral("off"));
}
} // namespace

// With "NVT port setup" on, a change is never lost for the module: made while the link is
// down, it is logged as refused at that moment and shown, and the module is told on the next
// connection, in its place among the bytes that wait.

void TMainForm::OnVSPortBaudRate(int32_t baudRate)
{
    TLineSettings now = PendingSettings.Current();
    now.BaudRate = baudRate;
    const bool connected = LinkUsable();
    if (!PortSetupWanted() || !connected)
        Log(QStringLiteral("Can't set remonte baudrate, not connected to module"));
    if (PortSetupWanted()) BaudLabel->setText(QString::number(baudRate));
    TelnetFrames frames;
    frames.Add(BaudRateFrame(baudRate));
    if (SendLineChange(now, frames) && connected) Log(QStringLiteral("Remonte baudrate set"));
}

void TMainForm::OnVSPortLineControl(int32_t stopBits, int32_t parity, int32_t wordLength)
{
    TLineSettings now = PendingSettings.Current();
    // A pty knows the program's data bits and parity only from a program run through
    // vsp-run; whoever wonders whether the library reached a program reads it here.
    const bool fromLibrary = parity != PARITY_UNKNOWN && wordLength != WORDLENGTH_UNKNOWN
        && dynamic_cast<const TPtyVSPort*>(VSPort.get());
    if (fromLibrary
        && (!now.LineControl || now.LineControl->Parity != parity
            || now.LineControl->WordLength != wordLength))
        Log(QStringLiteral("Line format from the program through vsp-run: %1 data bits, %2 parity")
                .arg(DataBitsText(wordLength), ParityText(parity)));
    now.LineControl = TLineSettings::TLineControl { stopBits, parity, wordLength };
    const bool connected = LinkUsable();
    if (!PortSetupWanted() || !connected)
        Log(QStringLiteral("Remonte control options couldn't be set, not connected to module"));
    if (PortSetupWanted()) {
        ParityLabel->setText(ParityText(parity));
        if (const auto text = StopBitsText(stopBits)) StopBitsLabel->setText(*text);
        BitsLabel->setText(DataBitsText(wordLength));
    }
    TelnetFrames frames;
    AddLineControl(frames, *now.LineControl);
    if (SendLineChange(now, frames) && connected)
        Log(QStringLiteral("Remonte control options set"));
}

void TMainForm::OnVSPortHandflow(int32_t controlHandShake, int32_t flowReplace, int32_t, int32_t)
{
    TLineSettings now = PendingSettings.Current();
    now.Handflow = TLineSettings::THandflow { controlHandShake, flowReplace };
    const bool connected = LinkUsable();
    if (!PortSetupWanted() || !connected)
        Log(QStringLiteral("Remonte handshake couldn't be set, not connected to module"));
    TelnetFrames frames;
    AddHandflow(frames, *now.Handflow);
    if (SendLineChange(now, frames) && connected) Log(QStringLiteral("Remonte handshake set"));
}

void TMainForm::OnVSPortDTR(bool on)
{
    SendControlLine(DtrLine, on);
}

void TMainForm::OnVSPortRTS(bool on)
{
    SendControlLine(RtsLine, on);
}

void TMainForm::OnVSPortBreak(bool on)
{
    SendControlLine(BreakLine, on);
}

void TMainForm::SendControlLine(const TControlLine& line, bool on)
{
    TLineSettings now = PendingSettings.Current();
    now.*line.Setting = on;
    const bool connected = LinkUsable();
    if (!PortSetupWanted() || !connected)
        Log(QStringLiteral("Remote %1 couldn't be set, not connected to module")
                .arg(QLatin1String(line.Name)));
    TelnetFrames frames;
    frames.Add(PortControlFrame(telnet::SET_CONTROL, on ? line.On : line.Off));
    if (SendLineChange(now, frames) && connected) Log(ControlLineSetText(line, on));
}

void TMainForm::ModuleModemState(int32_t state)
{
    VSPort->SetCTS(state & telnet::MODEMSTATE_CTS);
    VSPort->SetDSR(state & telnet::MODEMSTATE_DSR);
    VSPort->SetRING(state & telnet::MODEMSTATE_RI);
    VSPort->SetDCD(state & telnet::MODEMSTATE_CD);
}

void TMainForm::TellLineSettings()
{
    // The module may have opened its line with settings of its own (ser2net does at every
    // connection, many modules after a reboot): the program's bytes must not cross at those.
    if (!PortSetupWanted()) return;
    const TLineSettings head = PendingSettings.AtHead(PendingCount);
    TelnetFrames frames;
    if (head.BaudRate) frames.Add(BaudRateFrame(*head.BaudRate));
    if (head.LineControl) AddLineControl(frames, *head.LineControl);
    if (head.Handflow) AddHandflow(frames, *head.Handflow);
    for (const TControlLine& line : ControlLines)
        if (const std::optional<bool> on = head.*line.Setting)
            frames.Add(PortControlFrame(telnet::SET_CONTROL, *on ? line.On : line.Off));
    // At the head of the store and bound to this connection: behind the TEA answer, which
    // goes first, and ahead of every byte that waits.
    if (frames.Size == 0 || !StorePending(frames.Bytes, frames.Size, true)) return;
    if (head.BaudRate) Log(QStringLiteral("Remonte baudrate set"));
    if (head.LineControl) Log(QStringLiteral("Remonte control options set"));
    if (head.Handflow) Log(QStringLiteral("Remonte handshake set"));
    for (const TControlLine& line : ControlLines)
        if (const std::optional<bool> on = head.*line.Setting) Log(ControlLineSetText(line, *on));
}

} // namespace vsp
