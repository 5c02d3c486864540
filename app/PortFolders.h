#pragma once
// Where the user lets the program put its ports: given to the window with the machine's other
// services, read by the pty backend when it makes a port's link.

#include <QString>

namespace vsp {

// Where bare port names go: the folder the user chose; else "vsp" in the session's runtime
// folder; else /tmp/vsp-<uid>.
struct TPortFolders {
    QString chosen;
    QString runtime;
};

} // namespace vsp
