#pragma once
// The client endpoint of the socket layer; link/Sockets.h tells how it behaves.

#include "link/Connection.h"

#include <QObject>
#include <QString>

namespace vsp {

// The client endpoint: one connection to Host:Port at a time.
class TClientSocket : public QObject {
    Q_OBJECT
public:
    explicit TClientSocket(QObject* parent = nullptr);
    ~TClientSocket() override;

    QString Host; // dotted IPv4 text, or a name that is looked up without blocking
    int Port = 0; // outside 1..65535 the attempt ends in an error event (0: 10049, else 10022)
    // A connect not answered in time ends with 10060 (0 or less: only the kernel's own limit).
    int ConnectTimeoutMs = 21000;
    // How a connection finds its peer gone (taken at each Open).
    TPeerWatch PeerWatch;

    // Starts a new connection attempt (raising the connecting event first) unless the
    // endpoint is connected; an earlier failed or pending attempt is dropped.
    void Open();
    // If connected: closes and raises the disconnect event before returning. A pending or
    // failed attempt is dropped silently.
    void Close();
    // Connecting (name lookup included), connected, or failed and not yet closed.
    bool Active() const;
    // An attempt is under way (name lookup included) and has not ended yet.
    bool Connecting() const;
    bool Connected() const { return socket_->Connected(); }
    TCustomWinSocket* Socket() const { return socket_; }

    TSocketNotifyEvent OnConnecting, OnConnect, OnDisconnect, OnRead, OnWrite;
    TSocketErrorEvent OnError;

private:
    TCustomWinSocket* socket_;
};

} // namespace vsp
