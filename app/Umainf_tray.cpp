// Notification-area icon, hiding the window, and the logo link.
#include "app/Umainf.h"

namespace vsp {

QString BuildTrayTip(const QString& portName) { return QStringLiteral("Orvane Virtual port manager ") + portName; }
void TMainForm::AddTrayIcon() {}
void TMainForm::RemoveTrayIcon() {}
void TMainForm::ComPortComboBoxChange() {}
void TMainForm::HideBitBtnClick() { hide(); }
void TMainForm::LogoImageClick() {}

} // namespace vsp
