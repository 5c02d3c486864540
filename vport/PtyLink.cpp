#include "vport/PtyLink.h"

#include <QFile>
#include <QObject>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vsp {

namespace {

// A link that a port manager of ours made points at a pty slave; anything else at the
// link path was put there by someone else, lock file or not.
constexpr char OurTargetPrefix[] = "/dev/pts/";

QString Text(const QByteArray& path)
{
    return QFile::decodeName(path);
}
QString SysError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

void CloseFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QByteArray ReadLinkAt(int dirFd, const QByteArray& name)
{
    char target[PATH_MAX];
    ssize_t n = ::readlinkat(dirFd, name.constData(), target, sizeof target);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof target)) return {};
    return QByteArray(target, static_cast<int>(n));
}

bool OpenFolder(const QString& name, bool defaultFolder, TPtyLinkSlot& slot, QString& error)
{
    const QString dirText = Text(slot.dir);
    // A bare name lives in a folder of our choosing, made on first use; a path names a
    // folder the user already has.
    if (!name.contains(QLatin1Char('/'))) {
        if (::mkdir(slot.dir.constData(), 0700) < 0 && errno != EEXIST) {
            error = QObject::tr("Cannot make port folder %1: %2").arg(dirText, SysError());
            return false;
        }
    }
    // The default folder must be our own real directory: following a planted symlink, or
    // using a folder someone else can write to, would let them steer where the link goes.
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (defaultFolder ? O_NOFOLLOW : 0);
    slot.dirFd = ::open(slot.dir.constData(), flags);
    if (slot.dirFd < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            error = QObject::tr("Port folder %1 is not a directory").arg(dirText);
        else
            error = QObject::tr("Cannot open port folder %1: %2").arg(dirText, SysError());
        return false;
    }
    if (defaultFolder) {
        struct stat st { };
        if (::fstat(slot.dirFd, &st) < 0 || st.st_uid != ::geteuid()
            || (st.st_mode & (S_IWGRP | S_IWOTH))) {
            error = QObject::tr("Port folder %1 is not a private folder of this user").arg(dirText);
            CloseFd(slot.dirFd);
            return false;
        }
    }
    return true;
}

// Takes the lock beside the link. The lock file may be swapped under us by a port being
// deleted (it unlinks the file while holding it), so after flock() the name must still
// lead to the file we hold; otherwise try again with the new one.
bool TakeLock(TPtyLinkSlot& slot, QString& error)
{
    const QString lockText = Text(slot.dir + '/' + slot.lockName);
    const QString notOurs = QObject::tr("Lock file %1 is not one of ours").arg(lockText);
    for (int attempt = 0; attempt < 8; ++attempt) {
        struct stat before { };
        bool exists
            = ::fstatat(slot.dirFd, slot.lockName.constData(), &before, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            error = QObject::tr("Cannot check lock file %1: %2").arg(lockText, SysError());
            return false;
        }
        if (exists && (!S_ISREG(before.st_mode) || before.st_uid != ::geteuid())) {
            error = notOurs;
            return false;
        }
        const int common = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        int fd = exists
            ? ::openat(slot.dirFd, slot.lockName.constData(), common)
            : ::openat(slot.dirFd, slot.lockName.constData(), common | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            if (errno == ENOENT || errno == EEXIST)
                continue; // lost a race with another creator or deleter
            error = errno == ELOOP
                ? notOurs
                : QObject::tr("Cannot open lock file %1: %2").arg(lockText, SysError());
            return false;
        }
        struct stat held { };
        if (::fstat(fd, &held) < 0 || !S_ISREG(held.st_mode) || held.st_uid != ::geteuid()) {
            ::close(fd);
            error = notOurs;
            return false;
        }
        int rc;
        do
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            int e = errno;
            ::close(fd);
            error = e == EWOULDBLOCK ? QObject::tr("Port %1 is in use by another port manager")
                                           .arg(Text(slot.dir + '/' + slot.name))
                                     : QObject::tr("Cannot lock %1: %2")
                                           .arg(lockText, QString::fromLocal8Bit(std::strerror(e)));
            return false;
        }
        struct stat now { };
        if (::fstatat(slot.dirFd, slot.lockName.constData(), &now, AT_SYMLINK_NOFOLLOW) < 0
            || !SameFile(now, held)) {
            ::close(fd);
            continue;
        }
        // For whoever looks at the folder: which process holds the port.
        QByteArray pid = QByteArray::number(static_cast<qlonglong>(::getpid())) + '\n';
        if (::ftruncate(fd, 0) == 0)
            (void)!::pwrite(fd, pid.constData(), static_cast<size_t>(pid.size()), 0);
        slot.lockFd = fd;
        slot.lockCreated = !exists;
        return true;
    }
    error = QObject::tr("Lock file %1 keeps changing").arg(lockText);
    return false;
}

// With our lock held: may the link path be (re)used?
bool CheckLinkPath(TPtyLinkSlot& slot, QString& error)
{
    const QString pathText = Text(slot.dir + '/' + slot.name);
    struct stat st { };
    if (::fstatat(slot.dirFd, slot.name.constData(), &st, AT_SYMLINK_NOFOLLOW) < 0) {
        if (errno == ENOENT) return true;
        error = QObject::tr("Cannot check %1: %2").arg(pathText, SysError());
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        // Only a link that came with our lock file (the lock existed before we took it)
        // and points at a pty is the leftover of a port manager that died.
        if (!slot.lockCreated && ReadLinkAt(slot.dirFd, slot.name).startsWith(OurTargetPrefix)) {
            slot.replaceStale = true;
            return true;
        }
        error = QObject::tr("%1 is a symbolic link that this program did not make").arg(pathText);
    } else if (S_ISDIR(st.st_mode)) {
        error = QObject::tr("%1 is a directory").arg(pathText);
    } else if (S_ISREG(st.st_mode)) {
        error = QObject::tr("%1 is a file").arg(pathText);
    } else {
        error = QObject::tr("%1 is in the way").arg(pathText);
    }
    return false;
}

} // namespace

QString ResolvePortLink(const QString& name, const TPortFolders& folders, bool* defaultFolder)
{
    if (defaultFolder) *defaultFolder = false;
    if (name.contains(QLatin1Char('/'))) return name;
    QString dir = folders.chosen;
    if (dir.isEmpty()) {
        if (defaultFolder) *defaultFolder = true;
        dir = folders.runtime.isEmpty() ? QStringLiteral("/tmp/vsp-%1").arg(::geteuid())
                                        : folders.runtime + QStringLiteral("/vsp");
    }
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return dir == QLatin1String("/") ? dir + name : dir + QLatin1Char('/') + name;
}

bool PortFolder(const TPortFolders& folders, QByteArray& dir, QString& error)
{
    const QString anyBareName = QStringLiteral("port");
    bool defaultFolder = false;
    const QByteArray path
        = QFile::encodeName(ResolvePortLink(anyBareName, folders, &defaultFolder));
    TPtyLinkSlot slot;
    const int slash = static_cast<int>(path.lastIndexOf('/'));
    slot.dir = slash <= 0 ? QByteArray("/") : path.left(slash);
    if (!OpenFolder(anyBareName, defaultFolder, slot, error)) return false;
    CloseFd(slot.dirFd);
    dir = slot.dir;
    return true;
}

bool ClaimPortLink(
    const QString& name, const TPortFolders& folders, TPtyLinkSlot& slot, QString& error)
{
    slot = TPtyLinkSlot {};
    bool defaultFolder = false;
    const QByteArray path = QFile::encodeName(ResolvePortLink(name, folders, &defaultFolder));
    const int slash = static_cast<int>(path.lastIndexOf('/'));
    slot.dir = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    slot.name = path.mid(slash + 1);
    if (name.trimmed().isEmpty() || slot.name.isEmpty() || slot.name == "." || slot.name == ".."
        || path.contains('\0')) {
        error = QObject::tr("'%1' is not a valid port name").arg(name);
        return false;
    }
    slot.lockName = '.' + slot.name + ".lock";

    if (!OpenFolder(name, defaultFolder, slot, error)) return false;
    if (!TakeLock(slot, error)) {
        CloseFd(slot.dirFd);
        return false;
    }
    if (!CheckLinkPath(slot, error)) {
        ReleasePortLink(slot, {}, !slot.lockCreated);
        return false;
    }
    return true;
}

bool PlacePortLink(TPtyLinkSlot& slot, const QByteArray& target, QString& error)
{
    const QString pathText = Text(slot.dir + '/' + slot.name);
    if (!slot.replaceStale) {
        // symlinkat never replaces: if something appeared meanwhile, it stays.
        if (::symlinkat(target.constData(), slot.dirFd, slot.name.constData()) == 0) return true;
        error = errno == EEXIST
            ? QObject::tr("%1 appeared while the port was being made").arg(pathText)
            : QObject::tr("Cannot make link %1: %2").arg(pathText, SysError());
        return false;
    }

    // Replacing a stale link: make the new one aside, then swap it in at once, so the name
    // never dangles and nothing but the old link can be what we remove.
    const QByteArray temp = '.' + slot.name + ".new-" + QByteArray::number(::getpid());
    if (::symlinkat(target.constData(), slot.dirFd, temp.constData()) < 0) {
        struct stat st { };
        if (errno != EEXIST || ::fstatat(slot.dirFd, temp.constData(), &st, AT_SYMLINK_NOFOLLOW) < 0
            || !S_ISLNK(st.st_mode) || ::unlinkat(slot.dirFd, temp.constData(), 0) < 0
            || ::symlinkat(target.constData(), slot.dirFd, temp.constData()) < 0) {
            error = QObject::tr("Cannot make link %1: %2").arg(pathText, SysError());
            return false;
        }
    }
    if (::renameat2(
            slot.dirFd, temp.constData(), slot.dirFd, slot.name.constData(), RENAME_EXCHANGE)
        == 0) {
        struct stat old { };
        if (::fstatat(slot.dirFd, temp.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(old.st_mode)) {
            ::unlinkat(slot.dirFd, temp.constData(), 0);
            return true;
        }
        // Something else took the old link's place in the meantime: give it back untouched.
        ::renameat2(
            slot.dirFd, temp.constData(), slot.dirFd, slot.name.constData(), RENAME_EXCHANGE);
        ::unlinkat(slot.dirFd, temp.constData(), 0);
        error = QObject::tr("%1 was replaced while the port was being made").arg(pathText);
        return false;
    }
    // File systems without RENAME_EXCHANGE: a plain rename still never leaves the name empty.
    if ((errno == EINVAL || errno == ENOSYS)
        && ::renameat(slot.dirFd, temp.constData(), slot.dirFd, slot.name.constData()) == 0)
        return true;
    error = QObject::tr("Cannot make link %1: %2").arg(pathText, SysError());
    ::unlinkat(slot.dirFd, temp.constData(), 0);
    return false;
}

void ReleasePortLink(TPtyLinkSlot& slot, const QByteArray& target, bool keepLockFile)
{
    if (slot.dirFd < 0) return;
    struct stat st { };
    if (!target.isEmpty()
        && ::fstatat(slot.dirFd, slot.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(st.st_mode) && ReadLinkAt(slot.dirFd, slot.name) == target)
        ::unlinkat(slot.dirFd, slot.name.constData(), 0);
    if (slot.lockFd >= 0) {
        // Unlinked while still held, so that a creator waiting on this file sees it go.
        struct stat held {
        }, now {};
        if (!keepLockFile && ::fstat(slot.lockFd, &held) == 0
            && ::fstatat(slot.dirFd, slot.lockName.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
            && SameFile(held, now))
            ::unlinkat(slot.dirFd, slot.lockName.constData(), 0);
        CloseFd(slot.lockFd);
    }
    CloseFd(slot.dirFd);
    slot = TPtyLinkSlot {};
}

} // namespace vsp
