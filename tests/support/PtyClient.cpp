#include "tests/support/PtyClient.h"

#include "tests/support/TestSupport.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace vsptest {

PtyClient::PtyClient()
{
    Start(QStringLiteral(VSP_PYTHON), {});
}

PtyClient::PtyClient(const Preloaded& preloaded)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VSP_PORT_DIR"), preloaded.portDir);
    proc_.setProcessEnvironment(env);
    Start(QStringLiteral(VSP_BINARY_DIR "/vsp-run"), { QStringLiteral(VSP_PYTHON) });
}

void PtyClient::Start(const QString& program, QStringList args)
{
    args << QStringLiteral("-u") << SourcePath(QStringLiteral("tests/support/pty_client.py"));
    proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc_.start(program, args);
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
