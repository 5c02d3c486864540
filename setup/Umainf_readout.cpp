// Read-out of the module's set-up console into the settings report.
#include "app/Umainf.h"

namespace vsp {

void TMainForm::StartSetupReadout() {}
void TMainForm::OnTCPSetupClientSocketConnecting(TCustomWinSocket*) {}
void TMainForm::OnTCPSetupClientSocketConnect(TCustomWinSocket*) {}
void TMainForm::OnTCPSetupClientSocketRead(TCustomWinSocket*) {}
void TMainForm::OnTCPSetupClientSocketError(TCustomWinSocket*, int) {}

} // namespace vsp
