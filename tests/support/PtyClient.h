#pragma once
// A real program on the other side of a virtual port: tests/support/pty_client.py run by
// Debian's python3 (which has pyserial), driven one command line at a time. Waiting for a
// reply keeps the test's event loop running, so the port's notifiers fire meanwhile.

#include "tests/support/TestSupport.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

namespace vsptest {

// A uid that no account uses: a client run under it is an ordinary user, as most serial
// programs are, whom root's exemptions (an exclusive port, say) do not cover.
constexpr int ThrowawayUid = 47113;

// The uid under which a client is an ordinary user: ThrowawayUid when this process is the
// machine's root, else -1 (it is an ordinary user already, or root of a user namespace,
// which the tty layer treats as one).
int OrdinaryUserUid();

class PtyClient {
public:
    // uid >= 0: the client runs under that uid and as its group, without other groups.
    explicit PtyClient(int uid = -1);
    ~PtyClient();
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    // Sends a command without waiting; the reply is collected by Reply().
    void Send(const QByteArray& line);
    // The next reply line without its "ok" (null on "err", timeout or a dead client; Error()
    // says which).
    QByteArray Reply(int timeoutMs = 30000);
    QByteArray Call(const QByteArray& line, int timeoutMs = 30000)
    {
        Send(line);
        return Reply(timeoutMs);
    }
    bool Ok(const QByteArray& line, int timeoutMs = 30000)
    {
        return !Call(line, timeoutMs).isNull();
    }
    QString Error() const { return error_; }
    // Ends the client at once, as a crash would (its descriptors close in the kernel).
    void Kill();

private:
    QProcess proc_;
    QString error_;
};

} // namespace vsptest
