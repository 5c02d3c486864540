// The settings report.
#include "app/Umainf.h"

namespace vsp {

void TMainForm::ShowSettingsBitBtnClick() {}

} // namespace vsp
