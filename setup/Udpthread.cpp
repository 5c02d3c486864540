#include "setup/Udpthread.h"

namespace vsp {

TUDPThread::TUDPThread(QObject* mainWindow) : mainWindow_(mainWindow) {}
TUDPThread::~TUDPThread() = default;
void TUDPThread::PostThreadMessage(int) {}
int TUDPThread::BoundPort() const { return boundPort_; }
void TUDPThread::run() {}

} // namespace vsp
