// The data relay between the virtual port and the module connection.
#include "app/Umainf.h"

namespace vsp {

void TMainForm::OnVSPortRxChar(int32_t) {}
void TMainForm::MainTimerStep() {}
void TMainForm::FlushPending() {}
void TMainForm::OnVSPClientSocketRead(TCustomWinSocket*) {}

} // namespace vsp
