#include "vport/Uping.h"

#include "app/Messages.h"

namespace vsp {

uint16_t InternetChecksum(const uint8_t*, size_t) { return 0; }

CPing::CPing(bool) : identifier_(0), sequence_(0) {}
CPing::~CPing() = default;
bool CPing::SetTarget(const QString&) { return false; }
bool CPing::Ping() { return false; }
std::array<uint8_t, 38> CPing::EchoRequest() const { return {}; }

TPingThread::TPingThread(QObject* owner) : owner_(owner) {}
TPingThread::~TPingThread() { Stop(); }
void TPingThread::RequestPing(uint32_t, uint32_t failureCode) { PostMessage(owner_, WM_PINGRESULT, failureCode); }
void TPingThread::Stop() {}
bool TPingThread::Busy() const { return false; }
void TPingThread::run() {}

} // namespace vsp
