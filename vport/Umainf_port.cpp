// Creating and deleting the virtual port, and the reactions to its opening and closing.
#include "app/Umainf.h"

namespace vsp {

void TMainForm::CreateCOMBitBtnClick() {}
void TMainForm::DeleteCOMBitBtnClick() {}
void TMainForm::OnVSPortOpenClose(bool) {}
int TMainForm::PingAddressNow(const QString&) { return -1; }

} // namespace vsp
