#include "tests/support/PtyClient.h"

#include "tests/support/TestSupport.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <unistd.h>

namespace vsptest {

int OrdinaryUserUid()
{
    if (::geteuid() != 0) return -1;
    QFile map(QStringLiteral("/proc/self/uid_map"));
    if (!map.open(QIODevice::ReadOnly)) return -1;
    const QList<QByteArray> fields = map.readLine().simplified().split(' ');
    const bool machineRoot
        = fields.size() == 3 && fields[0] == "0" && fields[1] == "0" && fields[2] == "4294967295";
    return machineRoot ? ThrowawayUid : -1;
}

PtyClient::PtyClient(int uid)
{
    proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString script = SourcePath(QStringLiteral("tests/support/pty_client.py"));
    if (uid < 0) {
        proc_.start(QStringLiteral(VSP_PYTHON), { QStringLiteral("-u"), script });
    } else {
        // The source tree may be closed to that uid: the script goes as text.
        QFile source(script);
        if (!source.open(QIODevice::ReadOnly)) {
            error_ = QStringLiteral("can't read ") + script;
            return;
        }
        const QString id = QString::number(uid);
        proc_.setWorkingDirectory(QStringLiteral("/"));
        proc_.start(QStringLiteral("setpriv"),
            { "--reuid=" + id, "--regid=" + id, QStringLiteral("--clear-groups"),
                QStringLiteral("--"), QStringLiteral(VSP_PYTHON), QStringLiteral("-u"),
                QStringLiteral("-c"), QString::fromUtf8(source.readAll()) });
    }
    if (!proc_.waitForStarted(10000))
        error_ = QStringLiteral("client did not start: ") + proc_.errorString();
}

PtyClient::~PtyClient()
{
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.write("exit\n");
    proc_.closeWriteChannel();
    if (!proc_.waitForFinished(3000)) {
        proc_.kill();
        proc_.waitForFinished(3000);
    }
}

void PtyClient::Send(const QByteArray& line)
{
    proc_.write(line + '\n');
}

QByteArray PtyClient::Reply(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!proc_.canReadLine()) {
        if (proc_.state() == QProcess::NotRunning) {
            error_ = QStringLiteral("client exited");
            return {};
        }
        if (deadline.hasExpired()) {
            error_ = QStringLiteral("no reply within %1 ms").arg(timeoutMs);
            return {};
        }
        QEventLoop loop;
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
        QObject::connect(&proc_, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(std::max<qint64>(1, deadline.remainingTime()), &loop, &QEventLoop::quit);
        loop.exec();
    }
    QByteArray line = proc_.readLine().trimmed();
    if (line == "ok") return QByteArray(""); // not null: success without a value
    if (line.startsWith("ok ")) return line.mid(3);
    error_ = QString::fromUtf8(line);
    return {};
}

void PtyClient::Kill()
{
    proc_.kill();
    proc_.waitForFinished(5000);
}

} // namespace vsptest
