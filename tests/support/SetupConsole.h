#pragma once
// The simulated module's set-up console for the tests of the "Setup Module" dialog and of
// the settings report's read-out: started on a port the OS picks, with the program pointed
// at it through VSP_SETUP_PORT, and what the program typed into it read back.

#include "tests/support/SimModule.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace vsptest {

// Starts the tool with `args`, applies the console settings (keys of CONSOLE_DEFAULTS in
// tests/sim/simmodule_sessions.py) and points VSP_SETUP_PORT at its console. False with the
// reason in *why.
bool StartSetupConsole(
    SimModule& sim, const QJsonObject& console, QString* why, const QStringList& args = {});

// The console_line events of one console connection, oldest first.
QList<QJsonObject> ConsoleLines(const SimModule& sim, int conn);
// Their texts.
QStringList ConsoleTexts(const SimModule& sim, int conn);
// Every byte the program sent on one console connection.
QByteArray ConsoleBytes(const SimModule& sim, int conn);

// The first disconnected event of a console connection, waiting up to timeoutMs.
bool WaitForConsoleEnd(
    SimModule& sim, int conn, QJsonObject* event = nullptr, int timeoutMs = 10000);

} // namespace vsptest
