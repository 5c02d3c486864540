// How the "Setup Module" dialog is reached: the "Setup module" button of the "UDP Setup"
// page stays hidden and inert; a double click on a module in the "Modules MAC list" opens
// the dialog aimed at that module.

#include "app/Controls.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "setup/Discovery.h"
#include "setup/Udpthread.h"
#include "setup/Umodulesetupf.h"

#include <QListWidget>
#include <QMutexLocker>

namespace vsp {

void TMainForm::UDPMACListBoxDblClick()
{
    if (!ModuleSetupForm || !UDPThread) return;
    const QList<QListWidgetItem*> selected = UDPMACListBox->selectedItems();
    if (selected.isEmpty()) return;
    // List position i shows table entry i; entries below the count stay as they are until
    // the next search, which only this thread starts.
    const int row = UDPMACListBox->row(selected.first());
    int32_t count;
    {
        QMutexLocker lock(&UDPThread->Lock);
        count = UDPThread->ModuleCount;
    }
    if (row < 0 || row >= count) return;
    const QString address = ReplyIpText(UDPThread->ModuleTable[row].Reply);

    // While the dialog talks to a module its address is part of what it writes (the "I"
    // command): a dialogue under way keeps its address, the dialog is only brought up.
    if (!ModuleSetupForm->ClientSocket1->Active()) ModuleSetupForm->TCPIPEdit->setText(address);
    ModuleSetupForm->show();
    ModuleSetupForm->raise();
    ModuleSetupForm->activateWindow();
}

} // namespace vsp
