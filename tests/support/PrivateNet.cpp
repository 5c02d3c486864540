#include "tests/support/PrivateNet.h"

#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vsptest {

namespace {

QString SystemError(const char* what)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool WriteProcFile(const char* path, const QByteArray& text, QString* why)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, text.constData(), size_t(text.size())) != text.size()) {
        *why = SystemError(path);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

bool LoopbackUp(QString* why)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = SystemError("socket");
        return false;
    }
    ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = short(request.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok) *why = SystemError("bringing loopback up");
    ::close(fd);
    return ok;
}

std::atomic<int> pairCounter { 0 };

constexpr char RerunVariable[] = "VSP_TST_PRIVATE_NETNS";

} // namespace

bool InPrivateRerun()
{
    return qEnvironmentVariableIsSet(RerunVariable);
}

RerunResult RerunInPrivateNetwork()
{
    QString function = QString::fromLatin1(QTest::currentTestFunction());
    if (const char* tag = QTest::currentDataTag(); tag && *tag)
        function += QLatin1Char(':') + QString::fromLatin1(tag);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(RerunVariable), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(SourcePath(QStringLiteral("scripts/private-netns")),
        { QCoreApplication::applicationFilePath(), function });
    RerunResult result;
    const bool finished = p.waitForFinished(240000);
    if (!finished) p.kill();
    result.Output = p.readAll();
    result.Unavailable = result.Output.contains("cannot make a private network namespace");
    result.Passed = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    // What the rerun said of itself, for whoever reads this run's output.
    for (const QByteArray& line : result.Output.split('\n'))
        if (line.startsWith("QINFO"))
            qInfo("rerun: %s", line.mid(line.indexOf(") ") + 2).constData());
    return result;
}

NamespaceScope::NamespaceScope(const QString& name)
    : home_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
{
    const int target
        = ::open(QFile::encodeName(QStringLiteral("/var/run/netns/") + name).constData(),
            O_RDONLY | O_CLOEXEC);
    entered_ = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
}

NamespaceScope::~NamespaceScope()
{
    if (entered_) (void)::setns(home_, CLONE_NEWNET);
    if (home_ >= 0) ::close(home_);
}

bool EnterPrivateNetwork(QString* why)
{
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNET) != 0) {
            *why = SystemError("unshare(CLONE_NEWNET)");
            return false;
        }
    } else {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            *why = SystemError("not root, and unshare(CLONE_NEWUSER | CLONE_NEWNET)");
            return false;
        }
        if (!WriteProcFile("/proc/self/setgroups", "deny", why)
            || !WriteProcFile(
                "/proc/self/uid_map", QByteArray("0 ") + QByteArray::number(uid) + " 1", why)
            || !WriteProcFile(
                "/proc/self/gid_map", QByteArray("0 ") + QByteArray::number(gid) + " 1", why))
            return false;
    }
    return LoopbackUp(why);
}

NamespacePair::NamespacePair()
{
    const qint64 pid = QCoreApplication::applicationPid();
    const int n = ++pairCounter;
    nsA_ = QStringLiteral("vspdisc%1-%2a").arg(pid).arg(n);
    nsB_ = QStringLiteral("vspdisc%1-%2b").arg(pid).arg(n);
    // Interface names hold at most 15 characters.
    vethA_ = QStringLiteral("vd%1x%2a").arg(pid).arg(n);
    vethB_ = QStringLiteral("vd%1x%2b").arg(pid).arg(n);
}

NamespacePair::~NamespacePair()
{
    // Deleting a namespace deletes the veth end inside it, and with it the other end.
    for (const QString& ns : { nsA_, nsB_ }) {
        QProcess ip;
        ip.setProcessChannelMode(QProcess::MergedChannels);
        ip.start(QStringLiteral("ip"), { QStringLiteral("netns"), QStringLiteral("del"), ns });
        ip.waitForFinished(10000);
    }
}

bool NamespacePair::Ip(const QStringList& args)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(QStringLiteral("ip"), args);
    const bool done = ip.waitForFinished(10000);
    if (done && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0) return true;
    error_ = QStringLiteral("ip %1: %2")
                 .arg(args.join(QLatin1Char(' ')),
                     done ? QString::fromLocal8Bit(ip.readAll()).trimmed() : ip.errorString());
    return false;
}

bool NamespacePair::Build()
{
    const QString link = QStringLiteral("link"), set = QStringLiteral("set"),
                  up = QStringLiteral("up");
    if (!Ip({ QStringLiteral("netns"), QStringLiteral("add"), nsA_ })
        || !Ip({ QStringLiteral("netns"), QStringLiteral("add"), nsB_ })
        || !Ip({ link, QStringLiteral("add"), vethA_, QStringLiteral("netns"), nsA_,
            QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"),
            QStringLiteral("name"), vethB_, QStringLiteral("netns"), nsB_ }))
        return false;
    const struct {
        QString ns, veth, address;
    } sides[] = { { nsA_, vethA_, AddressA() }, { nsB_, vethB_, AddressB() } };
    for (const auto& s : sides) {
        if (!Ip({ QStringLiteral("-n"), s.ns, link, set, QStringLiteral("lo"), up })
            || !Ip({ QStringLiteral("-n"), s.ns, QStringLiteral("addr"), QStringLiteral("add"),
                s.address + QStringLiteral("/24"), QStringLiteral("dev"), s.veth })
            || !Ip({ QStringLiteral("-n"), s.ns, link, set, s.veth, up })
            // The limited broadcast needs a route; this one keeps it on the veth.
            || !Ip({ QStringLiteral("-n"), s.ns, QStringLiteral("route"), QStringLiteral("add"),
                QStringLiteral("default"), QStringLiteral("dev"), s.veth }))
            return false;
    }
    return true;
}

bool NamespacePair::SetLinkB(bool up)
{
    return Ip({ QStringLiteral("-n"), nsB_, QStringLiteral("link"), QStringLiteral("set"), vethB_,
        up ? QStringLiteral("up") : QStringLiteral("down") });
}

QStringList NamespacePair::ExecA() const
{
    return { QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), nsA_ };
}

QStringList NamespacePair::ExecB() const
{
    return { QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), nsB_ };
}

} // namespace vsptest
