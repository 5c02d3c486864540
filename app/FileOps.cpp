// File operations shared by the store file and the autostart entries.
#include "app/FileOps.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vsp::fileops {

namespace {

bool WriteAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

} // namespace

QString ErrnoText(int e)
{
    return qt_error_string(e);
}

QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
}

QString ParentOf(const QString& path)
{
    return QFileInfo(path).absolutePath();
}

bool MakeFolders(const QString& dir, QString& error)
{
    struct stat st { };
    if (::stat(Native(dir).constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        error = QStringLiteral("%1: %2").arg(dir, ErrnoText(ENOTDIR));
        return false;
    }
    const QString parent = ParentOf(dir);
    if (parent != dir && !MakeFolders(parent, error)) return false;
    // Settings folders are private: the store holds the authentication key.
    if (::mkdir(Native(dir).constData(), 0700) != 0 && errno != EEXIST) {
        error = QStringLiteral("%1: %2").arg(dir, ErrnoText(errno));
        return false;
    }
    return true;
}

bool FolderWritable(const QString& dir, QString& error)
{
    QString d = dir;
    struct stat st { };
    while (::stat(Native(d).constData(), &st) != 0) {
        const QString up = ParentOf(d);
        if (up == d) break;
        d = up;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = QStringLiteral("%1: %2").arg(d, ErrnoText(ENOTDIR));
        return false;
    }
    // The effective identity decides, as it will when the file is written.
    if (::faccessat(AT_FDCWD, Native(d).constData(), W_OK | X_OK, AT_EACCESS) != 0) {
        error = QStringLiteral("%1: %2").arg(d, ErrnoText(errno));
        return false;
    }
    return true;
}

// The temporary name is fixed so that a crash leaves at most one stray file, which the next
// write reuses.
bool WriteAtomically(const QString& path, const QByteArray& bytes, unsigned mode, QString& error)
{
    const QString tmp = path + QStringLiteral(".tmp");
    const QByteArray nativeTmp = Native(tmp);
    const int fd = ::open(nativeTmp.constData(),
        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
    if (fd < 0) {
        error = QStringLiteral("%1: %2").arg(tmp, ErrnoText(errno));
        return false;
    }
    int failure = 0;
    errno = 0;
    if (::fchmod(fd, mode) != 0 || !WriteAll(fd, bytes) || ::fsync(fd) != 0)
        failure = errno != 0 ? errno : EIO;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(nativeTmp.constData(), Native(path).constData()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(nativeTmp.constData());
        error = QStringLiteral("%1: %2").arg(path, ErrnoText(failure));
        return false;
    }
    // The rename itself must reach the disk, or a crash could bring the old file back.
    const int dirFd
        = ::open(Native(ParentOf(path)).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace vsp::fileops
