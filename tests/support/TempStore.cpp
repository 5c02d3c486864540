#include "tests/support/TempStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <ctime>
#include <utime.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vsptest {

namespace {

// capget/capset act on the calling thread only, which is what makes the override local.
bool GetCaps(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    return syscall(SYS_capget, &header, data) == 0;
}

bool SetCaps(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    return syscall(SYS_capset, &header, data) == 0;
}

constexpr uint32_t OverrideCaps = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

} // namespace

TempStore::TempStore(bool driverInstalled)
{
    if (!dir_.isValid()) qFatal("TempStore: no temporary folder");
    QDir(dir_.path()).mkpath(QStringLiteral("config"));
    if (driverInstalled)
        Write("REGEDIT4\n\n[Software\\Kelmar\\VSPDriver]\n\"DriverInstalled\"=dword:00000001\n");
}

TempStore::~TempStore() = default;

vsp::TPlatform TempStore::Platform(vsp::TPlatform platform) const
{
    platform.StorePath = StorePath();
    platform.AutostartDir = AutostartDir();
    return platform;
}

QString TempStore::StorePath() const
{
    return dir_.filePath(QStringLiteral("settings.reg"));
}
QString TempStore::ConfigHome() const
{
    return dir_.filePath(QStringLiteral("config"));
}
QString TempStore::AutostartDir() const
{
    return ConfigHome() + QStringLiteral("/autostart");
}
QString TempStore::AutostartFile() const
{
    return AutostartDir() + QStringLiteral("/KelmarVSP.desktop");
}

void TempStore::Write(const QByteArray& text) const
{
    QFile f(StorePath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        qFatal("TempStore: can't write the store");
}

QByteArray TempStore::Read() const
{
    QFile f(StorePath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

NoPermissionOverride::NoPermissionOverride()
{
    __user_cap_data_struct data[2] {};
    if (!GetCaps(data) || !(data[0].effective & OverrideCaps)) return;
    data[0].effective &= ~OverrideCaps;
    changed_ = SetCaps(data);
    if (!changed_) qFatal("NoPermissionOverride: capset failed");
}

NoPermissionOverride::~NoPermissionOverride()
{
    if (!changed_) return;
    __user_cap_data_struct data[2] {};
    GetCaps(data);
    data[0].effective |= OverrideCaps; // still permitted, so this may be taken back
    SetCaps(data);
}

FileSizeLimit::FileSizeLimit(rlim_t limit)
{
    getrlimit(RLIMIT_FSIZE, &old_);
    // The write must fail with EFBIG instead of the process being killed.
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit r = old_;
    r.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &r);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
}

qint64 Backdate(const QString& path)
{
    const time_t past = time(nullptr) - 3600;
    const utimbuf times { past, past };
    utime(QFile::encodeName(path).constData(), &times);
    return ModifiedAt(path);
}

qint64 ModifiedAt(const QString& path)
{
    return QFileInfo(path).lastModified().toSecsSinceEpoch();
}

} // namespace vsptest
