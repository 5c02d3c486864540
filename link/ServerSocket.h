#pragma once
// The listening endpoint of the socket layer and the connections it accepts;
// link/Sockets.h tells how they behave.

#include "link/Connection.h"

#include <QObject>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace vsp {

// The listening endpoint; every accepted connection raises its own events through the
// OnClient* handlers.
class TServerSocket : public QObject {
    Q_OBJECT
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    int Port = 0; // listens on all local addresses
    // How an accepted connection finds its peer gone.
    TPeerWatch PeerWatch;

    // Starts listening; on failure returns the Windows Sockets error number (0 on success).
    int Open(); // when already listening: nothing, 0
    // Stops listening and closes every accepted connection without their disconnect events.
    void Close();
    bool Active() const { return listenFd_ >= 0; }
    int LocalPort() const; // the bound port (useful when Port is 0)
    int ActiveConnections() const { return int(connections_.size()); }
    TCustomWinSocket* Connections(int index) const { return connections_.at(size_t(index)); }

    TSocketNotifyEvent OnClientConnect; // accepted
    TSocketNotifyEvent OnClientDisconnect, OnClientRead, OnClientWrite;
    TSocketErrorEvent OnClientError;

private:
    void OnAcceptable();
    void Forget(TCustomWinSocket* socket);
    void Route(TCustomWinSocket* socket);

    int listenFd_ = -1;
    QSocketNotifier* acceptNotifier_ = nullptr;
    QTimer* acceptRetry_ = nullptr;
    std::vector<TCustomWinSocket*> connections_;
};

} // namespace vsp
