#include "link/Sockets.h"

#include <cerrno>

namespace vsp {

int WsaErrorFromErrno(int err) { return err; }

TCustomWinSocket::TCustomWinSocket(QObject* parent) : QObject(parent) {}
TCustomWinSocket::~TCustomWinSocket() = default;
int TCustomWinSocket::ReceiveBuf(void*, int) { return 0; }
int TCustomWinSocket::ReceiveLength() const { return 0; }
int TCustomWinSocket::SendBuf(const void*, int) { return -1; }
void TCustomWinSocket::Close() {}
QString TCustomWinSocket::RemoteAddress() const { return {}; }
int TCustomWinSocket::RemotePort() const { return 0; }

TClientSocket::TClientSocket(QObject* parent) : QObject(parent), socket_(new TCustomWinSocket(this)) {}
TClientSocket::~TClientSocket() = default;
void TClientSocket::Open() {}
void TClientSocket::Close() {}
bool TClientSocket::Active() const { return false; }

TServerSocket::TServerSocket(QObject* parent) : QObject(parent) {}
TServerSocket::~TServerSocket() = default;
int TServerSocket::Open() { return WSAEINVAL; }
void TServerSocket::Close() {}
int TServerSocket::LocalPort() const { return 0; }

} // namespace vsp
