// vsp-driver-install: makes sure this machine can provide virtual serial ports (pseudo-
// terminals), and records that in the store as "DriverInstalled" = 1 under
// "Software\Kelmar\VSPDriver", which the port manager checks before it starts.
//
//   vsp-driver-install              check, then record (again: no change, exit 0)
//   vsp-driver-install --uninstall  remove the record (absent already: exit 0)
//
// Exit codes: 0 done, 1 the virtual ports don't work here, 2 wrong usage, 3 the store
// can't be read or written. The store is $VSP_STORE when set.

#include "app/Registry.h"

#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitNoPorts = 1;
constexpr int ExitUsage = 2;
constexpr int ExitStore = 3;

// How long a byte may take to cross the pty before the check gives up.
constexpr int TransferTimeoutMs = 2000;

class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd)
    {
    }
    ~Fd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool MakeRaw(int fd, std::string& error)
{
    termios t {};
    if (::tcgetattr(fd, &t) != 0) {
        error = Errno("tcgetattr");
        return false;
    }
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        error = Errno("tcsetattr");
        return false;
    }
    return true;
}

// Writes bytes on one side and expects exactly them on the other, within the time-out.
bool Pass(int from, int to, const std::string& bytes, const char* direction, std::string& error)
{
    if (::write(from, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
        error = Errno(direction);
        return false;
    }
    std::string got;
    while (got.size() < bytes.size()) {
        pollfd p { to, POLLIN, 0 };
        const int r = ::poll(&p, 1, TransferTimeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            error = std::string(direction) + ": nothing arrived";
            return false;
        }
        char buf[16];
        const ssize_t n = ::read(to, buf, sizeof buf);
        if (n <= 0) {
            error = Errno(direction);
            return false;
        }
        got.append(buf, size_t(n));
    }
    if (got != bytes) {
        error = std::string(direction) + ": the bytes arrived changed";
        return false;
    }
    return true;
}

// The facility the port manager builds its ports on: a pty, made raw, opened through its
// slave path as another program would, with bytes passing unchanged both ways. CR, LF,
// 0x00 and 0xFF are the bytes a terminal that is not raw would alter or swallow.
bool CheckVirtualPorts(std::string& slavePath, std::string& error)
{
    const Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0) {
        error = Errno("posix_openpt");
        return false;
    }
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
        error = Errno("grantpt/unlockpt");
        return false;
    }
    char name[256];
    if (::ptsname_r(master.get(), name, sizeof name) != 0) {
        error = Errno("ptsname");
        return false;
    }
    slavePath = name;
    const Fd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave.get() < 0) {
        error = Errno(name);
        return false;
    }
    if (!MakeRaw(slave.get(), error)) return false;
    return Pass(master.get(), slave.get(), std::string("\r\xff\0A", 4), "to the port", error)
        && Pass(slave.get(), master.get(), std::string("\n\xff\0B", 4), "from the port", error);
}

int Usage(FILE* out, int code)
{
    std::fputs("usage: vsp-driver-install [--uninstall]\n"
               "Checks that virtual serial ports (pseudo-terminals) work on this machine and\n"
               "records that for the VSP port manager; --uninstall removes the record.\n"
               "The record is kept in $VSP_STORE, else $XDG_CONFIG_HOME/vsp/settings.reg.\n",
        out);
    return code;
}

int StoreFailure(const vsp::TRegistry& reg)
{
    std::fprintf(stderr, "vsp-driver-install: %s\n", qPrintable(reg.ErrorString()));
    return ExitStore;
}

int Install(const QString& storePath)
{
    std::string slave, error;
    if (!CheckVirtualPorts(slave, error)) {
        std::fprintf(stderr,
            "vsp-driver-install: virtual serial ports don't work on this machine (%s)\n"
            "Nothing was recorded.\n",
            error.c_str());
        return ExitNoPorts;
    }
    std::printf("Virtual serial ports work (tried %s).\n", slave.c_str());

    vsp::TRegistry reg(storePath, vsp::TRegistry::AutostartDirFor(QString()));
    const QString value = QString::fromLatin1(vsp::DriverValueName);
    if (!reg.OpenKey(QString::fromLatin1(vsp::DriverKeyPath), true)) return StoreFailure(reg);
    uint32_t n = 0;
    if (reg.ReadInteger(value, n) == vsp::TReadStatus::Ok && n != 0) {
        std::printf("Already recorded as installed in %s.\n", qPrintable(reg.StorePath()));
        return ExitOk;
    }
    reg.WriteInteger(value, 1);
    if (!reg.CloseKey()) return StoreFailure(reg);
    std::printf("Recorded as installed in %s.\n", qPrintable(reg.StorePath()));
    return ExitOk;
}

int Uninstall(const QString& storePath)
{
    vsp::TRegistry reg(storePath, vsp::TRegistry::AutostartDirFor(QString()));
    const QString value = QString::fromLatin1(vsp::DriverValueName);
    if (!reg.OpenKey(QString::fromLatin1(vsp::DriverKeyPath), true)) return StoreFailure(reg);
    if (!reg.ValueExists(value)) {
        std::printf(
            "Not recorded as installed in %s; nothing to do.\n", qPrintable(reg.StorePath()));
        return ExitOk;
    }
    reg.DeleteValue(value);
    if (!reg.CloseKey()) return StoreFailure(reg);
    std::printf("Removed the record from %s.\n", qPrintable(reg.StorePath()));
    return ExitOk;
}

} // namespace

int main(int argc, char* argv[])
{
    // The same store the program reads.
    const QString storePath = vsp::TRegFile::StorePathFor(
        qEnvironmentVariable("VSP_STORE"), qEnvironmentVariable("XDG_CONFIG_HOME"));
    if (argc == 1) return Install(storePath);
    if (argc == 2 && std::strcmp(argv[1], "--uninstall") == 0) return Uninstall(storePath);
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return Usage(stdout, ExitOk);
    return Usage(stderr, ExitUsage);
}
