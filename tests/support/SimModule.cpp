#include "tests/support/SimModule.h"

#include "tests/support/TestSupport.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcessEnvironment>
#include <QTimer>
#include <algorithm>

namespace vsptest {

SimModule::SimModule(QObject* parent)
    : QObject(parent)
{
    proc_.setProcessChannelMode(QProcess::SeparateChannels);
    connect(&proc_, &QProcess::readyReadStandardOutput, this, &SimModule::OnStdout);
    connect(&proc_, &QProcess::readyReadStandardError, this, &SimModule::OnStderr);
}

SimModule::~SimModule()
{
    disconnect(&proc_, nullptr, this, nullptr);
    if (proc_.state() == QProcess::NotRunning) return;
    // The tool ends by itself when its control channel closes; a kill is the fallback.
    proc_.closeWriteChannel();
    if (!proc_.waitForFinished(2000)) {
        proc_.kill();
        proc_.waitForFinished(2000);
    }
}

bool SimModule::Start(const QStringList& args, int timeoutMs)
{
    QStringList command = prefix_;
    command << QStringLiteral(VSP_PYTHON) << SourcePath(QStringLiteral("tests/sim/simmodule.py"))
            << QStringLiteral("--data-port") << QStringLiteral("0")
            << QStringLiteral("--setup-port") << QStringLiteral("0") << QStringLiteral("--udp-port")
            << QStringLiteral("0") << args;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    proc_.setProcessEnvironment(env);
    proc_.start(command.first(), command.mid(1));
    if (!proc_.waitForStarted(timeoutMs)) {
        error_ = QStringLiteral("cannot start %1: %2").arg(command.first(), proc_.errorString());
        return false;
    }
    const auto ready = WaitFor(
        [](const QJsonObject& e) {
            const QString name = e.value(QStringLiteral("event")).toString();
            return name == QStringLiteral("ready")
                || (name == QStringLiteral("error") && e.value(QStringLiteral("fatal")).toBool());
        },
        timeoutMs);
    if (!ready || ready->value(QStringLiteral("event")).toString() != QStringLiteral("ready")) {
        error_ = QStringLiteral("no ready event: ") + Describe();
        return false;
    }
    ready_ = *ready;
    return true;
}

QString SimModule::Describe(int lastEvents) const
{
    QString text;
    const qsizetype first = std::max<qsizetype>(0, events_.size() - lastEvents);
    for (qsizetype i = first; i < events_.size(); ++i)
        text += QString::fromUtf8(QJsonDocument(events_[i]).toJson(QJsonDocument::Compact))
            + QLatin1Char('\n');
    if (!stderr_.isEmpty()) text += QStringLiteral("stderr: ") + QString::fromUtf8(stderr_);
    if (proc_.state() == QProcess::NotRunning)
        text += QStringLiteral("(tool not running, exit code %1)").arg(proc_.exitCode());
    return text;
}

quint16 SimModule::DataPort() const
{
    return static_cast<quint16>(ready_.value(QStringLiteral("data_port")).toInt());
}

quint16 SimModule::SetupPort() const
{
    return static_cast<quint16>(ready_.value(QStringLiteral("setup_port")).toInt());
}

quint16 SimModule::UdpPort() const
{
    return static_cast<quint16>(ready_.value(QStringLiteral("udp_port")).toInt());
}

void SimModule::Send(QJsonObject command)
{
    if (proc_.state() != QProcess::Running) return;
    QByteArray line = QJsonDocument(command).toJson(QJsonDocument::Compact);
    line += '\n';
    proc_.write(line);
}

QJsonObject SimModule::Call(QJsonObject command, int timeoutMs)
{
    const int id = nextId_++;
    command.insert(QStringLiteral("id"), id);
    const qsizetype from = Mark();
    Send(command);
    const auto answer = WaitFor(
        [id](const QJsonObject& e) {
            const QString name = e.value(QStringLiteral("event")).toString();
            return e.value(QStringLiteral("id")).toInt(-1) == id
                && (name == QStringLiteral("ok") || name == QStringLiteral("error"));
        },
        timeoutMs, from);
    return answer.value_or(QJsonObject {});
}

bool SimModule::Ok(const QJsonObject& command, int timeoutMs)
{
    return Call(command, timeoutMs).value(QStringLiteral("event")).toString()
        == QStringLiteral("ok");
}

QJsonObject SimModule::WithConn(QJsonObject command, int conn) const
{
    if (conn != 0) command.insert(QStringLiteral("conn"), conn);
    return command;
}

bool SimModule::SendBytes(const QByteArray& bytes, int conn)
{
    return Ok(WithConn({ { QStringLiteral("cmd"), QStringLiteral("send") },
                           { QStringLiteral("hex"), QString::fromLatin1(bytes.toHex()) } },
        conn));
}

bool SimModule::SendPieces(
    const QByteArray& bytes, const QList<int>& pieceSizes, int delayMs, int conn)
{
    QJsonArray pieces;
    for (int size : pieceSizes)
        pieces.append(size);
    return Ok(WithConn(
        { { QStringLiteral("cmd"), QStringLiteral("send") },
            { QStringLiteral("hex"), QString::fromLatin1(bytes.toHex()) },
            { QStringLiteral("pieces"), pieces }, { QStringLiteral("delay_ms"), delayMs } },
        conn));
}

bool SimModule::Close(int conn)
{
    return Ok(WithConn({ { QStringLiteral("cmd"), QStringLiteral("close") } }, conn));
}

bool SimModule::Reset(int conn)
{
    return Ok(WithConn({ { QStringLiteral("cmd"), QStringLiteral("reset") } }, conn));
}

bool SimModule::Refuse(const QString& which)
{
    return Ok({ { QStringLiteral("cmd"), QStringLiteral("refuse") },
        { QStringLiteral("which"), which } });
}

bool SimModule::Listen(const QString& which)
{
    return Ok({ { QStringLiteral("cmd"), QStringLiteral("listen") },
        { QStringLiteral("which"), which } });
}

bool SimModule::PauseRead(int conn)
{
    return Ok(WithConn({ { QStringLiteral("cmd"), QStringLiteral("pause_read") } }, conn));
}

bool SimModule::ResumeRead(int conn)
{
    return Ok(WithConn({ { QStringLiteral("cmd"), QStringLiteral("resume_read") } }, conn));
}

bool SimModule::Configure(const QJsonObject& settings)
{
    QJsonObject command = settings;
    command.insert(QStringLiteral("cmd"), QStringLiteral("data"));
    return Ok(command);
}

bool SimModule::ConfigureConsole(const QJsonObject& settings)
{
    QJsonObject command = settings;
    command.insert(QStringLiteral("cmd"), QStringLiteral("console"));
    return Ok(command);
}

bool SimModule::ConnectTo(const QString& host, quint16 port, int retryMs, int retryForMs)
{
    return Ok({ { QStringLiteral("cmd"), QStringLiteral("connect") },
        { QStringLiteral("host"), host }, { QStringLiteral("port"), port },
        { QStringLiteral("retry_ms"), retryMs }, { QStringLiteral("retry_for_ms"), retryForMs } });
}

QJsonObject SimModule::Stats(int timeoutMs)
{
    const int id = nextId_++;
    const qsizetype from = Mark();
    Send({ { QStringLiteral("cmd"), QStringLiteral("stats") }, { QStringLiteral("id"), id } });
    const auto stats
        = WaitForEvent(QStringLiteral("stats"), { { QStringLiteral("id"), id } }, timeoutMs, from);
    return stats.value_or(QJsonObject {});
}

void SimModule::Kill()
{
    proc_.kill();
    proc_.waitForFinished(2000);
}

void SimModule::Quit()
{
    Send({ { QStringLiteral("cmd"), QStringLiteral("quit") } });
    proc_.closeWriteChannel();
}

QList<QJsonObject> SimModule::EventsNamed(const QString& name, qsizetype from) const
{
    QList<QJsonObject> out;
    for (qsizetype i = from; i < events_.size(); ++i)
        if (events_[i].value(QStringLiteral("event")).toString() == name) out.append(events_[i]);
    return out;
}

bool SimModule::Matches(const QJsonObject& event, const QString& name, const QJsonObject& fields)
{
    if (event.value(QStringLiteral("event")).toString() != name) return false;
    for (auto it = fields.begin(); it != fields.end(); ++it)
        if (event.value(it.key()) != it.value()) return false;
    return true;
}

std::optional<QJsonObject> SimModule::WaitFor(const Predicate& match, int timeoutMs, qsizetype from)
{
    const QDeadlineTimer deadline(timeoutMs);
    qsizetype next = from;
    for (;;) {
        for (; next < events_.size(); ++next)
            if (match(events_[next])) return events_[next];
        if (proc_.state() == QProcess::NotRunning) {
            // Lines the tool wrote just before it ended may still wait in the buffer.
            OnStdout();
            for (; next < events_.size(); ++next)
                if (match(events_[next])) return events_[next];
            return std::nullopt;
        }
        if (deadline.hasExpired()) return std::nullopt;
        Pump(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 50)));
    }
}

std::optional<QJsonObject> SimModule::WaitForEvent(
    const QString& name, int timeoutMs, qsizetype from)
{
    return WaitForEvent(name, QJsonObject {}, timeoutMs, from);
}

std::optional<QJsonObject> SimModule::WaitForEvent(
    const QString& name, const QJsonObject& fields, int timeoutMs, qsizetype from)
{
    return WaitFor([&](const QJsonObject& e) { return Matches(e, name, fields); }, timeoutMs, from);
}

QByteArray SimModule::Received(int conn) const
{
    QByteArray data;
    for (const QJsonObject& e : events_) {
        if (e.value(QStringLiteral("event")).toString() != QStringLiteral("received")) continue;
        if (conn != 0 ? e.value(QStringLiteral("conn")).toInt() != conn
                      : e.contains(QStringLiteral("role")))
            continue; // console input carries "role": "setup"
        data += QByteArray::fromHex(e.value(QStringLiteral("hex")).toString().toLatin1());
    }
    return data;
}

bool SimModule::WaitForReceived(qsizetype size, int timeoutMs, int conn)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (Received(conn).size() >= size) return true;
        if (deadline.hasExpired() || proc_.state() == QProcess::NotRunning) return false;
        Pump(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 50)));
    }
}

int SimModule::LatestConn(const QString& role) const
{
    for (qsizetype i = events_.size() - 1; i >= 0; --i)
        if (Matches(events_[i], QStringLiteral("connected"), { { QStringLiteral("role"), role } }))
            return events_[i].value(QStringLiteral("conn")).toInt();
    return 0;
}

void SimModule::Pump(int ms)
{
    QEventLoop loop;
    connect(this, &SimModule::EventArrived, &loop, &QEventLoop::quit);
    connect(&proc_, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(std::max(ms, 0), &loop, &QEventLoop::quit);
    loop.exec();
}

void SimModule::OnStdout()
{
    while (proc_.canReadLine()) {
        const QByteArray line = proc_.readLine().trimmed();
        if (line.isEmpty()) continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (!doc.isObject()) {
            stderr_ += "unparsable event: " + line + '\n';
            continue;
        }
        events_.append(doc.object());
        Q_EMIT EventArrived(events_.constLast());
    }
}

void SimModule::OnStderr()
{
    stderr_ += proc_.readAllStandardError();
}

} // namespace vsptest
