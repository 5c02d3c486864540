#pragma once
// A real program on the other side of a virtual port: tests/support/pty_client.py run by
// Debian's python3 (which has pyserial), driven one command line at a time. Waiting for a
// reply keeps the test's event loop running, so the port's notifiers fire meanwhile.

#include "tests/support/TestSupport.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

namespace vsptest {

class PtyClient {
public:
    PtyClient();
    // The client run through vsp-run (the preload library), finding the port's control
    // channel in portDir as a program given VSP_PORT_DIR does.
    struct Preloaded {
        QString portDir;
    };
    explicit PtyClient(const Preloaded& preloaded);
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
    void Start(const QString& program, QStringList args);
    QProcess proc_;
    QString error_;
};

} // namespace vsptest
