// The module list of the "UDP Setup" page.
#include "app/Umainf.h"

namespace vsp {

void TMainForm::UDPSearchBitBtnClick() {}
void TMainForm::UDPMACListBoxClick() {}
void TMainForm::UDPUseThisIPBitBtnClick() {}
void TMainForm::UDPSetupModuleBtnClick() {}
void TMainForm::UDPModuleFound() {}

} // namespace vsp
