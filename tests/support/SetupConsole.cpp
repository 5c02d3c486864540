#include "tests/support/SetupConsole.h"

#include "setup/Umodulesetupf.h"

namespace vsptest {

vsp::TPlatform AtConsoleOf(SimModule& sim, vsp::TPlatform platform, const QStringList& args)
{
    if (!sim.IsRunning() && !sim.Start(args))
        qWarning("simulated module: %s", qPrintable(sim.ErrorString()));
    platform.SetupPort = sim.SetupPort();
    return platform;
}

bool StartSetupConsole(SimModule& sim, const QJsonObject& console, QString* why)
{
    if (!sim.IsRunning() && !sim.Start()) {
        *why = sim.ErrorString();
        return false;
    }
    if (!console.isEmpty() && !sim.ConfigureConsole(console)) {
        *why = QStringLiteral("console settings refused: ") + sim.Describe();
        return false;
    }
    if (sim.SetupPort() == 0) {
        *why = QStringLiteral("the tool has no console port");
        return false;
    }
    return true;
}

QList<QJsonObject> ConsoleLines(const SimModule& sim, int conn)
{
    QList<QJsonObject> lines;
    for (const QJsonObject& e : sim.EventsNamed(QStringLiteral("console_line")))
        if (e.value(QStringLiteral("conn")).toInt() == conn) lines << e;
    return lines;
}

QStringList ConsoleTexts(const SimModule& sim, int conn)
{
    QStringList texts;
    for (const QJsonObject& e : ConsoleLines(sim, conn))
        texts << e.value(QStringLiteral("text")).toString();
    return texts;
}

QByteArray ConsoleBytes(const SimModule& sim, int conn)
{
    QByteArray bytes;
    for (const QJsonObject& e : sim.EventsNamed(QStringLiteral("received")))
        if (e.value(QStringLiteral("conn")).toInt() == conn)
            bytes += QByteArray::fromHex(e.value(QStringLiteral("hex")).toString().toLatin1());
    return bytes;
}

bool WaitForConsoleEnd(SimModule& sim, int conn, QJsonObject* event, int timeoutMs)
{
    const auto e = sim.WaitForEvent(QStringLiteral("disconnected"),
        QJsonObject { { QStringLiteral("conn"), conn } }, timeoutMs);
    if (e && event) *event = *e;
    return e.has_value();
}

} // namespace vsptest
