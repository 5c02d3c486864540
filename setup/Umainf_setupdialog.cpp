// How the "Setup Module" dialog is reached: the "Setup module" button of the "UDP Setup"
// page stays hidden and inert; a double click on a module in the "Modules MAC list" opens
// the dialog aimed at that module.

#include "app/Controls.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "setup/Discovery.h"
#include "setup/ModuleList.h"
#include "setup/Udpthread.h"
#include "setup/Umodulesetupf.h"

namespace vsp {

void TMainForm::UDPMACListBoxDblClick()
{
    if (!ModuleSetupForm) return;
    const ModuleEntry* entry = SelectedModule(UDPMACListBox, UDPThread);
    if (!entry) return;
    const QString address = ReplyIpText(entry->Reply);

    // While the dialog talks to a module its address is part of what it writes (the "I"
    // command): a dialogue under way keeps its address, the dialog is only brought up.
    if (!ModuleSetupForm->ClientSocket1->Active()) ModuleSetupForm->TCPIPEdit->setText(address);
    ModuleSetupForm->show();
    ModuleSetupForm->raise();
    ModuleSetupForm->activateWindow();
}

} // namespace vsp
