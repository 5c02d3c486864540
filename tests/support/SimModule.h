#pragma once
// A simulated serial-to-Ethernet module for the tests: tests/sim/simmodule.py run by Debian's
// python3 as a child process, driven by JSON commands on its stdin; its JSON events are
// collected here. Waiting for an event keeps the test's event loop running, so the program
// under test (in this same thread) goes on working meanwhile.
//
// The tool's commands and events are documented at the top of tests/sim/simmodule.py.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace vsptest {

class SimModule : public QObject {
    Q_OBJECT
public:
    using Predicate = std::function<bool(const QJsonObject&)>;

    explicit SimModule(QObject* parent = nullptr);
    // Ends the tool (end of its control channel, then a kill if it lingers).
    ~SimModule() override;
    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    // A command put in front of the python interpreter, e.g. {"ip", "netns", "exec", "ns1"}.
    // Set before Start().
    void SetPrefix(const QStringList& prefix) { prefix_ = prefix; }

    // Starts the tool and waits for its "ready" event. The arguments come after
    // "--data-port 0 --setup-port 0 --udp-port 0", so every port is chosen by the OS unless
    // an argument says otherwise (the last occurrence of an option wins). False on failure,
    // with the reason in ErrorString().
    bool Start(const QStringList& args = {}, int timeoutMs = 10000);
    bool IsRunning() const { return proc_.state() != QProcess::NotRunning; }
    QString ErrorString() const { return error_; }
    QByteArray StdErr() const { return stderr_; }
    // The last events and the tool's stderr, for a failure message.
    QString Describe(int lastEvents = 12) const;

    // Ports and addresses from the "ready" event (0 for a part that is off).
    QJsonObject ReadyEvent() const { return ready_; }
    quint16 DataPort() const;
    quint16 SetupPort() const;
    quint16 UdpPort() const;

    // Sends a command as it stands (no waiting).
    void Send(QJsonObject command);
    // Sends a command with a fresh "id" and waits for its "ok" or "error" event, which is
    // returned (an empty object on timeout or when the tool has ended).
    QJsonObject Call(QJsonObject command, int timeoutMs = 5000);
    // Call(), true when the answer is "ok".
    bool Ok(const QJsonObject& command, int timeoutMs = 5000);

    // Typed commands; conn 0 means the latest open data connection. True when accepted.
    bool SendBytes(const QByteArray& bytes, int conn = 0);
    bool SendHex(const QString& hex, int conn = 0)
    {
        return SendBytes(QByteArray::fromHex(hex.toLatin1()), conn);
    }
    // The bytes in several TCP sends: first pieceSizes[0] bytes, then pieceSizes[1], ...
    // (the rest last), delayMs apart.
    bool SendPieces(
        const QByteArray& bytes, const QList<int>& pieceSizes, int delayMs, int conn = 0);
    bool Close(int conn = 0); // graceful: FIN after the queued bytes
    bool Reset(int conn = 0); // abortive: RST
    bool Refuse(const QString& which = QStringLiteral("data")); // stop listening
    bool Listen(const QString& which = QStringLiteral("data")); // again, on the same port
    bool PauseRead(int conn = 0);
    bool ResumeRead(int conn = 0);
    // Data-port settings for new connections (keys of DATA_DEFAULTS in
    // tests/sim/simmodule_sessions.py, e.g. {"mode": "sink"}); with "conn" for that connection
    // only.
    bool Configure(const QJsonObject& settings);
    // Set-up console settings for new connections (keys of CONSOLE_DEFAULTS, same file).
    bool ConfigureConsole(const QJsonObject& settings);
    // Client mode: connect the data port to a server (the program in server mode).
    bool ConnectTo(const QString& host, quint16 port, int retryMs = 0, int retryForMs = 10000);
    // A "stats" event (empty on timeout).
    QJsonObject Stats(int timeoutMs = 5000);
    void Quit();
    // Ends the tool at once, as a crashed module would (the kernel closes its sockets).
    void Kill();

    // Every event so far, oldest first.
    const QList<QJsonObject>& Events() const { return events_; }
    // The index of the next event: pass it as `from` to wait only for later events.
    qsizetype Mark() const { return events_.size(); }
    QList<QJsonObject> EventsNamed(const QString& name, qsizetype from = 0) const;
    // The first event at index >= from that matches, waiting up to timeoutMs for it.
    std::optional<QJsonObject> WaitFor(
        const Predicate& match, int timeoutMs = 5000, qsizetype from = 0);
    std::optional<QJsonObject> WaitForEvent(
        const QString& name, int timeoutMs = 5000, qsizetype from = 0);
    // The event named `name` whose fields include all of `fields`.
    std::optional<QJsonObject> WaitForEvent(
        const QString& name, const QJsonObject& fields, int timeoutMs = 5000, qsizetype from = 0);

    // The data bytes of the "received" events of one connection, concatenated; conn 0
    // takes every data connection (not the set-up console).
    QByteArray Received(int conn = 0) const;
    // Waits until Received(conn) holds at least `size` bytes.
    bool WaitForReceived(qsizetype size, int timeoutMs = 5000, int conn = 0);
    // The id of the latest connection of a role ("data" or "setup"), 0 if none.
    int LatestConn(const QString& role = QStringLiteral("data")) const;

    static bool Matches(
        const QJsonObject& event, const QString& name, const QJsonObject& fields = {});

Q_SIGNALS:
    void EventArrived(const QJsonObject& event);

private:
    void OnStdout();
    void OnStderr();
    // Runs the event loop until an event arrives, the tool ends or ms pass.
    void Pump(int ms);
    QJsonObject WithConn(QJsonObject command, int conn) const;

    QProcess proc_;
    QStringList prefix_;
    QList<QJsonObject> events_;
    QJsonObject ready_;
    QByteArray stderr_;
    QString error_;
    int nextId_ = 1;
};

} // namespace vsptest
