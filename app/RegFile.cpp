// The store file on disk: reading it, checking it can be written, replacing it atomically.
#include "app/RegFile.h"

#include "app/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vsp {

namespace {

QString ResolveLinks(QString path)
{
    // A store reached through a link is rewritten where it really lives; renaming over
    // the link would replace it with a plain file.
    for (int hops = 0; hops < 16; ++hops) {
        const QFileInfo fi(path);
        if (!fi.isSymLink()) break;
        path = fi.symLinkTarget();
    }
    return path;
}

} // namespace

using namespace fileops;

TRegFile::TRegFile(const QString& path)
    : path_(ResolveLinks(QFileInfo(path).absoluteFilePath()))
{
}

TRegFile::~TRegFile()
{
    if (lockFd_ >= 0) ::close(lockFd_);
}

QString ConfigFolder(const QString& configHome)
{
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        return QDir::homePath() + QStringLiteral("/.config");
    return configHome;
}

QString TRegFile::StorePathFor(const QString& chosen, const QString& configHome)
{
    if (!chosen.isEmpty()) return QFileInfo(chosen).absoluteFilePath();
    return ConfigFolder(configHome) + QStringLiteral("/vsp/settings.reg");
}

bool TRegFile::Fail(TStoreError error, const QString& text)
{
    error_ = error;
    errorString_ = text;
    return false;
}

bool TRegFile::Read(TRegDocument& doc)
{
    error_ = TStoreError::None;
    errorString_.clear();
    exists_ = false;
    onDisk_.clear();
    doc = TRegDocument();
    // O_NONBLOCK: a store path naming a FIFO must not hang the program.
    const int fd = ::open(Native(path_).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;
        return Fail(TStoreError::Unreadable, QStringLiteral("%1: %2").arg(path_, ErrnoText(errno)));
    }
    struct stat st { };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(TStoreError::Unreadable, QStringLiteral("%1: not a regular file").arg(path_));
    }
    mode_ = st.st_mode & 07777;
    QByteArray data;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            return Fail(TStoreError::Unreadable, QStringLiteral("%1: %2").arg(path_, ErrnoText(e)));
        }
        if (n == 0) break;
        data.append(buf, n);
        if (data.size() > MaxFileSize) {
            ::close(fd);
            return Fail(TStoreError::Unreadable,
                QStringLiteral("%1: too large for a settings file").arg(path_));
        }
    }
    ::close(fd);
    exists_ = true;
    onDisk_ = data;
    if (!doc.Parse(data))
        return Fail(TStoreError::Corrupt,
            QStringLiteral("%1, line %2: %3")
                .arg(path_)
                .arg(doc.ErrorLine())
                .arg(doc.ErrorString()));
    return true;
}

bool TRegFile::CheckWritable()
{
    // Asked, not tried: opening the file for writing would tell file watchers it changed.
    const QByteArray native = Native(path_);
    struct stat st { };
    if (::stat(native.constData(), &st) == 0
        && ::faccessat(AT_FDCWD, native.constData(), W_OK, AT_EACCESS) != 0)
        return Fail(
            TStoreError::NotWritable, QStringLiteral("%1: %2").arg(path_, ErrnoText(errno)));
    QString error;
    if (!FolderWritable(ParentOf(path_), error)) return Fail(TStoreError::NotWritable, error);
    return true;
}

bool TRegFile::BeginUpdate(TRegDocument& doc)
{
    QString error;
    const QString dir = ParentOf(path_);
    if (!MakeFolders(dir, error)) return Fail(TStoreError::NotWritable, error);
    // Two programs updating at once (the window and vsp-driver-install, or two windows)
    // take turns, so neither rewrites the file from a copy that misses the other's change.
    lockFd_ = ::open(Native(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lockFd_ < 0)
        return Fail(TStoreError::NotWritable, QStringLiteral("%1: %2").arg(dir, ErrnoText(errno)));
    while (::flock(lockFd_, LOCK_EX) != 0 && errno == EINTR) { }
    if (!Read(doc)) {
        ::close(lockFd_); // releases the lock
        lockFd_ = -1;
        return false;
    }
    return true;
}

bool TRegFile::EndUpdate(const TRegDocument& doc)
{
    const QByteArray bytes = doc.Serialize();
    bool ok = true;
    const bool unchanged = exists_ ? bytes == onDisk_ : doc.Keys().isEmpty();
    if (!unchanged) {
        QString error;
        ok = WriteAtomically(path_, bytes, exists_ ? mode_ : 0600, error);
        if (ok) {
            exists_ = true;
            onDisk_ = bytes;
        } else {
            Fail(TStoreError::WriteFailed, error);
        }
    }
    ::close(lockFd_);
    lockFd_ = -1;
    return ok;
}

} // namespace vsp
