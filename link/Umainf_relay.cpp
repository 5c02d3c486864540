// The data relay's handlers on the window: each forwards to the data link
// (link/DataLink.h) with the options the controls hold at that moment.

#include "app/Umainf.h"

namespace vsp {

void TMainForm::OnVSPortRxChar(int32_t)
{
    // The count the event carries is not used: the link asks the port itself.
    Link->OnVSPortRxChar(LinkOptions());
}

void TMainForm::MainTimerStep()
{
    Link->TimerStep(LinkOptions());
}

void TMainForm::FlushPending()
{
    Link->FlushPending(LinkOptions());
}

void TMainForm::OnVSPClientSocketRead(TCustomWinSocket* socket)
{
    Link->OnVSPClientSocketRead(LinkOptions(), socket);
}

} // namespace vsp
