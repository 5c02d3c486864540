// TCP link manager: client and server endpoints, ping results.
#include "app/Umainf.h"

namespace vsp {

void TMainForm::OpenClientLink() {}
void TMainForm::CloseClientLink() {}
void TMainForm::OpenServerLink() {}
void TMainForm::CloseServerLink() {}
void TMainForm::OnVSPClientSocketConnecting(TCustomWinSocket*) {}
void TMainForm::OnVSPClientSocketConnect(TCustomWinSocket*) {}
void TMainForm::OnVSPClientSocketDisconnect(TCustomWinSocket*) {}
void TMainForm::OnVSPClientSocketError(TCustomWinSocket*, int) {}
void TMainForm::OnVSPServerSocketAccept(TCustomWinSocket*) {}
void TMainForm::OnVSPServerSocketClientDisconnect(TCustomWinSocket*) {}
void TMainForm::OnVSPServerSocketClientError(TCustomWinSocket*, int) {}
void TMainForm::PingResult(uint32_t) {}
void TMainForm::RequestPing(uint32_t, uint32_t) {}

} // namespace vsp
