#include "tests/support/TestSupport.h"

#include <cstdio>

#include <fcntl.h>
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
