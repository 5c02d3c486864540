#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <cstdio>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vsptest {

QString SourcePath(const QString& relative)
{
    return QStringLiteral(VSP_SOURCE_DIR "/") + relative;
}
QString BinaryPath(const QString& relative)
{
    return QStringLiteral(VSP_BINARY_DIR "/") + relative;
}
QStringList OpenDescriptors()
{
    QStringList held;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name :
        fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(name));
        if (!target.contains(QLatin1String("anon_inode:")))
            held << name + QStringLiteral(" -> ") + target;
    }
    return held;
}

int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool IsRoot()
{
    return geteuid() == 0;
}

QByteArray CaptureStderr(const std::function<void()>& body)
{
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    body();
    fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(fds[1]);
    QByteArray out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, n);
    ::close(fds[0]);
    return out;
}

QByteArray Pattern(int size, uint32_t seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        uint32_t word = static_cast<uint32_t>(i / 4) * 2654435761u + seed;
        out[i] = static_cast<char>((word >> (8 * (i % 4))) & 0xFF);
    }
    return out;
}

} // namespace vsptest
