#pragma once
// The settings report's lines as the user reads them, written once for the tests of the
// report builder and of the window that shows it.

#include <QString>
#include <QStringList>

namespace vsptest::report {

inline const QString OsSeparator = QStringLiteral("-------------- OS type -----------------");
inline const QString LogSeparator = QStringLiteral("--------------- Log ------------------");
inline const QString ModuleSeparator = QStringLiteral("---------- Module settings -------------");

// Lines 1 to 22 with every switch off and every field empty.
inline const QStringList AllOffHead {
    "Parameter list:",
    "---------- Virtual SP ----------------",
    "IP          : ",
    "Port        : ",
    "Server port : ",
    "Serial name : ",
    "Port link   : ",
    "--------------- NVT ------------------",
    "NVT enable  : off",
    "NVT filter  : off",
    "NVT port setup : off",
    "Keep connection: off",
    "--------------- TEA ------------------",
    "Use TEA auth. : off",
    "TEA Key::::",
    "--------------- Settings -------------",
    "Log enabled : off",
    "TCP server mode : off",
    "Create port on start VSP : off",
    "Hide on startup : off",
    "Don't create if ping fail : off",
    "Connect closed : off",
};

} // namespace vsptest::report
