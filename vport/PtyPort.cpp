#include "vport/PtyPort.h"

namespace vsp {

struct TPtyVSPort::Impl {
    QString error;
};

QString PortLinkPath(const QString& name) { return name; }

TPtyVSPort::TPtyVSPort(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
}
TPtyVSPort::~TPtyVSPort() = default;
bool TPtyVSPort::CreatePort(const QString&) { return false; }
bool TPtyVSPort::Delete() { return true; }
bool TPtyVSPort::IsOpened() const { return false; }
int32_t TPtyVSPort::GetInCount() { return 0; }
int32_t TPtyVSPort::Read(uint8_t*, int32_t) { return 0; }
int32_t TPtyVSPort::Write(const uint8_t*, int32_t) { return 0; }
QString TPtyVSPort::LinkPath() const { return {}; }
QString TPtyVSPort::SlavePath() const { return {}; }
QString TPtyVSPort::LastError() const { return d->error; }

} // namespace vsp
