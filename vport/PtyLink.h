#pragma once
// The port's name in the file system: a symbolic link to the pty slave, guarded by a lock file
// beside it. The lock is what tells our own links from anyone else's: a link whose lock file
// nobody holds was left by a port manager that died, and may be replaced; a path without our
// lock file, or whose lock a live process holds, is never touched.

#include "app/PortFolders.h"

#include <QByteArray>
#include <QString>

namespace vsp {

struct TPtyLinkSlot {
    int dirFd = -1; // the folder, held open so that later steps cannot be redirected
    int lockFd = -1; // flock()ed for as long as the port exists
    QByteArray dir;
    QByteArray name; // the link's file name within dir
    QByteArray lockName; // ".<name>.lock"
    bool lockCreated = false;
    bool replaceStale = false; // an unheld link of ours is in the way
};

// Where a port name puts its link, and whether that is in the default folder (which must be a
// private directory of ours) rather than one the user chose.
QString ResolvePortLink(const QString& name, const TPortFolders& folders, bool* defaultFolder);

// The folder bare port names go to, made (private) when it is the default one and missing,
// with the same checks as for a port link. The pty's control channel lives there.
bool PortFolder(const TPortFolders& folders, QByteArray& dir, QString& error);

// Opens (or makes) the folder, takes the lock and checks what the link path holds now.
// On failure nothing is left behind and error says why.
bool ClaimPortLink(
    const QString& name, const TPortFolders& folders, TPtyLinkSlot& slot, QString& error);

// Makes the link point at target, replacing only our own stale link.
bool PlacePortLink(TPtyLinkSlot& slot, const QByteArray& target, QString& error);

// Removes the link if it still points at target and the lock file (unless kept, which a failed
// creation does for a stale link it found, so that the link still reads as ours), and lets go.
void ReleasePortLink(TPtyLinkSlot& slot, const QByteArray& target, bool keepLockFile);

} // namespace vsp
