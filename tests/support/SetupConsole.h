#pragma once
// The simulated module's set-up console for the tests of the "Setup Module" dialog and of
// the settings report's read-out: started on a port the OS picks, with the program pointed
// at it through its platform services, and what the program typed into it read back.

#include "app/Platform.h"
#include "tests/support/SimModule.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace vsptest {

// Starts the tool with args (unless it runs already) and returns platform with the set-up console's
// port pointed at it: for the windows made before the test sets the console up.
vsp::TPlatform AtConsoleOf(
    SimModule& sim, vsp::TPlatform platform = {}, const QStringList& args = {});

// Starts the tool unless it runs already, and applies the console settings (keys of
// CONSOLE_DEFAULTS in tests/sim/simmodule_sessions.py). False with the reason in *why.
bool StartSetupConsole(SimModule& sim, const QJsonObject& console, QString* why);

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
