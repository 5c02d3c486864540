// NVT options and codec hooks, keep-connection, TEA answer, remote port settings.
#include "app/Umainf.h"

namespace vsp {

int32_t TMainForm::EscapeOutgoing(uint8_t*, int32_t count) { return count; }
int32_t TMainForm::StripLeadingCommands(uint8_t*, int32_t count) { return count; }
int32_t TMainForm::UnescapeIncoming(uint8_t*, int32_t count) { return count; }
void TMainForm::SendKeepConnection() { KeepTicks = 0; }
void TMainForm::NVTEnabledCheckBoxClick() {}
void TMainForm::NVTKeepCheckBoxClick() {}
void TMainForm::OnVSPClientSocketWrite(TCustomWinSocket*) {}
void TMainForm::AnswerTeaChallenge(TCustomWinSocket*, const uint8_t*, int32_t) {}
void TMainForm::OnVSPortBaudRate(int32_t) {}
void TMainForm::OnVSPortLineControl(int32_t, int32_t, int32_t) {}
void TMainForm::OnVSPortHandflow(int32_t, int32_t, int32_t, int32_t) {}

} // namespace vsp
