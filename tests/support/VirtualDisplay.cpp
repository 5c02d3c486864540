#include "tests/support/VirtualDisplay.h"

#include "tests/support/TestSupport.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <unistd.h>

namespace vsptest {

VirtualDisplay::~VirtualDisplay()
{
    if (server_.state() == QProcess::NotRunning) return;
    server_.terminate();
    if (!server_.waitForFinished(5000)) {
        server_.kill();
        server_.waitForFinished(3000);
    }
}

bool VirtualDisplay::Start(QString* why)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        *why = QStringLiteral("Xvfb is not installed");
        return false;
    }
    // A display number no one else uses: Xvfb refuses one that is taken (its lock file).
    const int base = 200 + int(::getpid() % 500);
    for (int n = base; n < base + 40; ++n) {
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n))) continue;
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // No reset when the last client leaves: each look at the windows is a client of its
        // own, and a program that connects while the server resets loses its connection.
        server_.start(xvfb,
            { QStringLiteral(":%1").arg(n), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                QStringLiteral("-noreset"), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("640x480x24") });
        if (!server_.waitForStarted(5000)) continue;
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
        QDeadlineTimer deadline(10000);
        while (server_.state() == QProcess::Running && !QFileInfo::exists(socket)
            && !deadline.hasExpired())
            QThread::msleep(20);
        if (server_.state() == QProcess::Running && QFileInfo::exists(socket)) {
            name_ = QStringLiteral(":%1").arg(n);
            return true;
        }
        server_.kill();
        server_.waitForFinished(3000);
    }
    *why = QStringLiteral("no virtual display came up");
    return false;
}

QString VirtualDisplay::Tool(const QString& command, const QString& title) const
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), name_);
    tool.setProcessEnvironment(env);
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(QStringLiteral(VSP_PYTHON),
        { SourcePath(QStringLiteral("tests/support/x11_window.py")), command, title });
    if (!tool.waitForFinished(10000)) {
        tool.kill();
        tool.waitForFinished(3000);
        return QString();
    }
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}

QString VirtualDisplay::WindowState(const QString& title) const
{
    return Tool(QStringLiteral("state"), title);
}

bool VirtualDisplay::WaitShown(const QString& title, const QProcess& program, int limitMs) const
{
    // Each look starts a tool, which takes long on a loaded machine: the limit is in time,
    // not in looks, and a program that has ended will show nothing more.
    QDeadlineTimer deadline(limitMs);
    while (WindowState(title) != QLatin1String("viewable")) {
        if (program.state() == QProcess::NotRunning || deadline.hasExpired()) return false;
        QTest::qWait(50);
    }
    return true;
}

int VirtualDisplay::CloseWindow(const QString& title) const
{
    return Tool(QStringLiteral("close"), title).toInt();
}

} // namespace vsptest
