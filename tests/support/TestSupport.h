#pragma once
// Helpers shared by the tests.

#include <QByteArray>
#include <QString>
#include <functional>

namespace vsptest {

// Path of a file in the source tree.
QString SourcePath(const QString& relative);
// Path of a file in the build tree.
QString BinaryPath(const QString& relative);
// True when the process may build network namespaces and raw sockets (root).
bool IsRoot();
// Runs body with file descriptor 2 going into a pipe and returns what was written there
// (a chatty body loses lines rather than hangs).
QByteArray CaptureStderr(const std::function<void()>& body);

} // namespace vsptest
