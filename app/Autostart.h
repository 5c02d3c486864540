#pragma once
// The desktop's autostart entries, which stand for the Run key's values: a value named N
// is the file N.desktop in the autostart folder, whose Exec line holds the value's text as
// one quoted argument.

#include <QByteArray>
#include <QString>
#include <optional>

namespace vsp {

// The autostart entry's Exec line for one program path, quoted and escaped so that any path
// reaches the desktop as that one argument; and its reading back (nullopt when the line is
// not a single argument).
QString DesktopExecLine(const QString& program);
std::optional<QString> ParseDesktopExecLine(const QString& line);

// The entry file for the value name in the autostart folder dir.
QString AutostartEntryPath(const QString& dir, const QString& name);
// The command of an autostart entry, or nothing when the entry is absent or switched off
// (Hidden=true: the desktop treats the entry as deleted).
std::optional<QString> ReadAutostartEntry(const QString& file);
// The whole text of the entry that runs command.
QByteArray AutostartEntryText(const QString& command);

} // namespace vsp
