#pragma once
// Helpers shared by the tests.

#include <QString>

namespace vsptest {

// Path of a file in the source tree.
QString SourcePath(const QString& relative);
// Path of a file in the build tree.
QString BinaryPath(const QString& relative);
// True when the process may build network namespaces and raw sockets (root).
bool IsRoot();

} // namespace vsptest
