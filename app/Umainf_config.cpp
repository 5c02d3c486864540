// Settings store, command line and start on boot.
#include "app/Umainf.h"

namespace vsp {

void TMainForm::LoadSettings() {}
bool TMainForm::SaveSettings() { return true; }
int TMainForm::ApplyCommandLine() { return 0; }

} // namespace vsp
