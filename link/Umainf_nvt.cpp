// The Telnet side of the data link on the window: the NVT option boxes, and the handlers of
// the keep-connection message, the TEA answer and the line settings, which forward to the
// data link (link/DataLink.h) with the options the controls hold at that moment.

#include "app/Umainf.h"

#include <QCheckBox>

namespace vsp {

void TMainForm::SendKeepConnection()
{
    Link->SendKeepConnection(LinkOptions());
}

void TMainForm::OnVSPClientSocketWrite(TCustomWinSocket*)
{
    Link->OnVSPClientSocketWrite();
}

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
    if (NVTKeepCheckBox->isChecked()) Link->KeepConnectionChecked();
}

void TMainForm::AnswerTeaChallenge(TCustomWinSocket* socket, const uint8_t* block, int32_t count)
{
    Link->AnswerTeaChallenge(LinkOptions(), socket, block, count);
}

void TMainForm::OnVSPortBaudRate(int32_t baudRate)
{
    Link->OnVSPortBaudRate(LinkOptions(), baudRate);
}

void TMainForm::OnVSPortLineControl(int32_t stopBits, int32_t parity, int32_t wordLength)
{
    Link->OnVSPortLineControl(LinkOptions(), stopBits, parity, wordLength);
}

void TMainForm::OnVSPortHandflow(int32_t controlHandShake, int32_t flowReplace, int32_t, int32_t)
{
    Link->OnVSPortHandflow(LinkOptions(), controlHandShake, flowReplace);
}

void TMainForm::OnVSPortDTR(bool on)
{
    Link->OnVSPortDTR(LinkOptions(), on);
}

void TMainForm::OnVSPortRTS(bool on)
{
    Link->OnVSPortRTS(LinkOptions(), on);
}

void TMainForm::OnVSPortBreak(bool on)
{
    Link->OnVSPortBreak(LinkOptions(), on);
}

} // namespace vsp
