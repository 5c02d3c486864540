// The Telnet side of the data link: the NVT option boxes, the hooks the relay calls to
// escape and unescape 0xFF and to drop leading commands, the keep-connection message, the
// answer to a module's TEA challenge and the RFC 2217 frames that carry the virtual port's
// line settings to the module. The byte work is done by the codecs (Nvt, Tea, Rfc2217);
// the handlers here only gather the inputs, send and report.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "link/Nvt.h"
#include "link/Rfc2217.h"
#include "link/Sockets.h"
#include "link/Tea.h"
#include "link/Telnet.h"

#include "app/Controls.h"

#include <QCheckBox>
#include <QLabel>
#include <array>
#include <cstring>

namespace vsp {

namespace {

// Whether the last byte is a 0xFF that is not the second half of an escaped pair, walking
// the pairs from the front as the incoming unescape does.
bool EndsInLoneIac(const uint8_t* bytes, int32_t count)
{
    int32_t i = 0;
    while (i < count) {
        if (bytes[i] != telnet::IAC) {
            ++i;
            continue;
        }
        if (i + 1 == count) return true;
        i += bytes[i + 1] == telnet::IAC ? 2 : 1;
    }
    return false;
}

} // namespace

// ---- Hooks of the relay ----

int32_t TMainForm::EscapeOutgoing(uint8_t* bytes, int32_t count)
{
    return NvtEscapeOutgoing(bytes, count);
}

int32_t TMainForm::StripLeadingCommands(uint8_t* block, int32_t count)
{
    if (count <= 0) return 0;
    // A read takes at most 512 bytes, so an escaped 0xFF (IAC IAC) can be cut in two: its
    // first half ended the last block and went to the port as one data byte, and its
    // second half opens this block. Taken on its own it would look like a command and
    // swallow the byte after it (or pair up with the next 0xFF).
    const bool loneIacBefore = TelnetLoneIac;
    TelnetLoneIac = false;
    int32_t start = 0;
    bool atFront = true;
    if (loneIacBefore && block[0] == telnet::IAC) {
        start = 1; // its 0xFF is already with the program
        atFront = false; // what follows comes after a data byte
    } else if (loneIacBefore && block[0] >= telnet::SE && count <= ReceiveBlockSize) {
        // It was a command cut in two after all: drop the rest of it (and any commands
        // behind it) as if it had come whole at the front.
        uint8_t whole[ReceiveBlockSize + 1];
        whole[0] = telnet::IAC;
        memcpy(whole + 1, block, size_t(count));
        count = qMax(0, vsp::StripLeadingCommands(whole, count + 1));
        memcpy(block, whole, size_t(count));
        atFront = false;
    }
    uint8_t* rest = block + start;
    int32_t n = count - start;
    if (atFront && n > 0 && rest[0] == telnet::IAC) n = vsp::StripLeadingCommands(rest, n);
    TelnetLoneIac = EndsInLoneIac(rest, n);
    if (start > 0) memmove(block, rest, size_t(n));
    return n;
}

int32_t TMainForm::UnescapeIncoming(uint8_t* block, int32_t count)
{
    return NvtUnescapeIncoming(block, count);
}

// ---- Keep-connection message ----

void TMainForm::SendKeepConnection()
{
    KeepTicks = 0;
    if (!NVTKeepCheckBox->isChecked()) return;
    if (!LinkActivity && LinkUsable()) {
        const TelnetFrame nop = KeepConnectionMessage();
        // A link too busy to take two bytes is not idle: the next check tries again.
        if (SendMessage(DataConnection, nop.Bytes, nop.Size, true) != TSendResult::Whole)
            return;
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
            ApplicationTitle(), MsgIcon::Error, MsgButtons::Ok });
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

void TMainForm::OnVSPortBaudRate(int32_t baudRate)
{
    if (!NVTPortSetupCheckBox->isChecked() || !LinkUsable()) {
        Log(QStringLiteral("Can't set remonte baudrate, not connected to module"));
        return;
    }
    if (!SendPortControl(BaudRateFrame(baudRate))) return;
    BaudLabel->setText(QString::number(baudRate));
    Log(QStringLiteral("Remonte baudrate set"));
}

void TMainForm::OnVSPortLineControl(int32_t stopBits, int32_t parity, int32_t wordLength)
{
    if (!NVTPortSetupCheckBox->isChecked() || !LinkUsable()) {
        Log(QStringLiteral("Remonte control options couldn't be set, not connected to module"));
        return;
    }
    // Always parity, stop size, data size, in this order.
    ParityLabel->setText(ParityText(parity));
    if (!SendPortControl(PortControlFrame(telnet::SET_PARITY, SetParityValue(parity))))
        return;
    if (const auto text = StopBitsText(stopBits)) StopBitsLabel->setText(*text);
    if (!SendPortControl(PortControlFrame(telnet::SET_STOPSIZE, SetStopSizeValue(stopBits))))
        return;
    BitsLabel->setText(QString::number(wordLength));
    if (!SendPortControl(
            PortControlFrame(telnet::SET_DATASIZE, SetDataSizeValue(wordLength))))
        return;
    Log(QStringLiteral("Remonte control options set"));
}

void TMainForm::OnVSPortHandflow(int32_t controlHandShake, int32_t flowReplace, int32_t, int32_t)
{
    if (!NVTPortSetupCheckBox->isChecked() || !LinkUsable()) {
        Log(QStringLiteral("Remonte handshake couldn't be set, not connected to module"));
        return;
    }
    const uint8_t value = SetControlValue(controlHandShake, flowReplace);
    if (!SendPortControl(PortControlFrame(telnet::SET_CONTROL, value))) return;
    Log(QStringLiteral("Remonte handshake set"));
}

} // namespace vsp
