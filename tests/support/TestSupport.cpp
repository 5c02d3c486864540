#include "tests/support/TestSupport.h"

#include <unistd.h>

namespace vsptest {

QString SourcePath(const QString& relative) { return QStringLiteral(VSP_SOURCE_DIR "/") + relative; }
QString BinaryPath(const QString& relative) { return QStringLiteral(VSP_BINARY_DIR "/") + relative; }
bool IsRoot() { return geteuid() == 0; }

} // namespace vsptest
