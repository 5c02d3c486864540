#pragma once
// File operations shared by the store file and the autostart entries.

#include <QByteArray>
#include <QString>

namespace vsp::fileops {

// Nothing the program writes comes near this; a bigger file is someone else's.
inline constexpr qint64 MaxFileSize = 1024 * 1024;

QString ErrnoText(int e);
QByteArray Native(const QString& path);
QString ParentOf(const QString& path);
// Creates dir and the folders above it that are missing, each private to the user.
bool MakeFolders(const QString& dir, QString& error);
// Whether a file could be created in dir, or in the folders that would have to be made
// for it: the nearest folder that exists decides.
bool FolderWritable(const QString& dir, QString& error);
// path is replaced by a file holding bytes, or left as it was: the new bytes go to
// "<path>.tmp" in the same folder, are flushed to disk, and are renamed over path.
bool WriteAtomically(const QString& path, const QByteArray& bytes, unsigned mode, QString& error);

} // namespace vsp::fileops
