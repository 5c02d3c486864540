#pragma once
// The control channel beside a pty port (vport/PortChannel.h says what crosses it): a Unix
// socket in the port folder, named after the pty, where programs run through vsp-run tell
// what a pty cannot keep: their data size and parity, their modem lines and their breaks.
// Only this user's processes are heard (the socket is 0600 and each peer's uid is
// checked). A request is answered in one line and the connection closed; a peer that says
// nothing is dropped after a second, and only a few may wait at once.

#include "vport/PortChannel.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace vsp {

class TPtyChannel : public QObject {
    Q_OBJECT
public:
    explicit TPtyChannel(QObject* parent = nullptr);
    ~TPtyChannel() override;

    // Listens as folder/.vsp-pts<index>.ctl, replacing a stale socket of ours. The folder
    // must exist. False (and nothing left behind) with the reason in error.
    bool Listen(const QByteArray& folder, unsigned ptsIndex, QString& error);
    // Stops listening, drops waiting peers and removes the socket file.
    void Close();
    bool Listening() const;
    QByteArray Path() const;

    // A valid request; returns the modem lines for the answer, or a negative number to
    // refuse. May close the channel.
    std::function<int(const vsp_channel_request& request)> OnRequest;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The pty index of a slave path "/dev/pts/N"; false for anything else.
bool PtsIndex(const QByteArray& slavePath, unsigned* index);

} // namespace vsp
